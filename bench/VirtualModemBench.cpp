// Throughput of a call between two virtual modems: paced at a line rate (reported as bytes per
// second and the deviation from rate / 10) and unlimited, measured in the same run.
#include "platform/VirtualModem.h"

#include <chrono>
#include <cmath>
#include <string>

#include <benchmark/benchmark.h>

using namespace platform;

namespace {

// Reads from `modem` until `text` has arrived or the cap passes.
bool WaitFor(VirtualModem& modem, const std::string& text, std::chrono::seconds cap) {
    std::string seen;
    auto end = std::chrono::steady_clock::now() + cap;
    unsigned char buffer[4096];
    while (seen.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        modem.Wait(50, true, false);
        int n = modem.Read(buffer, sizeof buffer);
        if (n > 0)
            seen.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
    }
    return true;
}

void Type(VirtualModem& modem, const std::string& text) {
    modem.Write(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
}

// One call, then `seconds` of line time worth of data (at least 1 MiB when unlimited) from
// caller to callee; the time is from the first byte written to the last byte read.
void MeasureLine(benchmark::State& state, std::uint32_t rate, double seconds) {
    VirtualModemConfig config;
    config.listenPort = 0;
    config.lineRate = rate;
    int error = 0;
    auto caller = VirtualModem::Open(config, error);
    auto callee = VirtualModem::Open(config, error);
    if (!caller || !callee) {
        state.SkipWithError("cannot open the modems");
        return;
    }
    Type(*caller, "ATE0\r");
    Type(*callee, "ATE0\r");
    Type(*caller, "ATDT127.0.0.1:" + std::to_string(callee->ListenPort()) + "\r");
    if (!WaitFor(*callee, "RING", std::chrono::seconds(5))) {
        state.SkipWithError("no ring");
        return;
    }
    Type(*callee, "ATA\r");
    if (!WaitFor(*caller, "CONNECT", std::chrono::seconds(5)) ||
        !WaitFor(*callee, "CONNECT", std::chrono::seconds(5))) {
        state.SkipWithError("no connect");
        return;
    }
    const std::size_t total =
        rate == 0 ? std::size_t{1} << 20 : static_cast<std::size_t>(rate / 10.0 * seconds);
    std::string data(total, 'x');
    for (auto _ : state) {
        std::size_t sent = 0, received = 0;
        unsigned char buffer[16384];
        auto start = std::chrono::steady_clock::now();
        while (received < total) {
            if (sent < total) {
                int n = caller->Write(reinterpret_cast<const unsigned char*>(data.data()) + sent,
                                      static_cast<int>(total - sent));
                sent += static_cast<std::size_t>(std::max(n, 0));
            }
            callee->Wait(20, true, false);
            int n = callee->Read(buffer, sizeof buffer);
            received += static_cast<std::size_t>(std::max(n, 0));
        }
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
        double perSecond = static_cast<double>(total) / elapsed.count();
        state.counters["bytes_per_second"] = perSecond;
        if (rate != 0) {
            double nominal = rate / 10.0;
            state.counters["nominal"] = nominal;
            state.counters["deviation_pct"] = 100.0 * (perSecond - nominal) / nominal;
        }
    }
}

void BM_PacedLine(benchmark::State& state) {
    MeasureLine(state, static_cast<std::uint32_t>(state.range(0)), 3.0);
}
BENCHMARK(BM_PacedLine)
    ->Arg(28800)
    ->Arg(115200)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_UnlimitedLine(benchmark::State& state) {
    MeasureLine(state, 0, 0.0);
}
BENCHMARK(BM_UnlimitedLine)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
