// Serial link figures over a pseudo-terminal mapped as COM3 in a temporary machine hive:
// the processor time a port uses while it waits for a modem line, and the rate GFSerial
// moves 32 MiB at against a plain read/write loop on the same kind of pair.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include "comm/GFSerial.h"
#include "comm/JobSerialPort.h"
#include "platform/Registry.h"
#include "tests/support/PtyPair.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kTransferBytes = 32u << 20;
constexpr std::size_t kChunk = 4096;
constexpr int kPort = 2; // COM3

// A temporary configuration folder holding the machine hive with the port map.
class TempConfig {
  public:
    TempConfig() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "sendari-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        m_path = pattern;
        setenv("XDG_CONFIG_HOME", m_path.c_str(), 1);
        setenv("SENDARI_TEST", "1", 1); // no fallback to the machine's serial devices
        platform::ReloadRegistry();
    }
    ~TempConfig() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }

  private:
    std::filesystem::path m_path;
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Writes `total` bytes to a non-blocking descriptor, sleeping in poll while it is full.
void PumpOut(int fd, std::size_t total) {
    std::vector<char> chunk(kChunk, 'z');
    std::size_t done = 0;
    while (done < total) {
        ssize_t n = ::write(fd, chunk.data(), std::min(kChunk, total - done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
}

// Reads and drops `total` bytes from a non-blocking descriptor.
void Drain(int fd, std::size_t total) {
    std::vector<char> chunk(kChunk);
    std::size_t done = 0;
    while (done < total) {
        ssize_t n = ::read(fd, chunk.data(), kChunk);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 10);
    }
}

int OpenRawSlave(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// A fresh pair mapped as COM3 before anything opens the port.
struct MappedPty {
    MappedPty() { testsupport::MapComPort(kPort + 1, pty.SlavePath()); }
    testsupport::PtyPair pty;
};

// The job's port on that pair, wrapped in GFSerial as the job driver does.
struct PortOnPty : MappedPty {
    PortOnPty() {
        if (port.LastStatus() != 0)
            std::abort(); // a figure over a port that did not open would be meaningless
    }
    comm::JobSerialPort port{kPort, comm::Win32SerialPort::kJobReceiveQueue,
                             comm::Win32SerialPort::kJobTransmitQueue};
    comm::GFSerial link{&port};
};

// Waiting for a modem line: ReadString with nothing arriving, as the job driver waits for a
// connect message. Ten seconds of real waiting stand for the two minutes (the rate is steady).
void BM_IdleWaitingForALine(benchmark::State& state) {
    TempConfig config;
    PortOnPty p;
    comm::GFSerial& link = p.link;
    for (auto _ : state) {
        char line[256];
        double cpu = CpuSeconds();
        auto start = Clock::now();
        link.ReadString(line, 255, '\n', static_cast<long>(state.range(0)));
        auto spent = Clock::now() - start;
        double used = CpuSeconds() - cpu;
        state.SetIterationTime(Seconds(spent));
        state.counters["cpu_percent_of_one_core"] = 100.0 * used / Seconds(spent);
        state.counters["cpu_ms_per_2min"] = used / Seconds(spent) * 120000.0;
    }
}
BENCHMARK(BM_IdleWaitingForALine)
    ->Arg(10000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One transfer of kTransferBytes; returns the seconds it took.
using Transfer = double (*)();

double PlainReceive() {
    testsupport::PtyPair pty;
    int slave = OpenRawSlave(pty.SlavePath());
    auto start = Clock::now();
    std::thread modem([&] { PumpOut(pty.Master(), kTransferBytes); });
    Drain(slave, kTransferBytes);
    auto spent = Clock::now() - start;
    modem.join();
    ::close(slave);
    return Seconds(spent);
}

double PlainSend() {
    testsupport::PtyPair pty;
    int slave = OpenRawSlave(pty.SlavePath());
    auto start = Clock::now();
    std::thread modem([&] { Drain(pty.Master(), kTransferBytes); });
    PumpOut(slave, kTransferBytes);
    modem.join();
    auto spent = Clock::now() - start;
    ::close(slave);
    return Seconds(spent);
}

double GFSerialReceive() {
    PortOnPty p;
    std::vector<unsigned char> buffer(kChunk + 1);
    auto start = Clock::now();
    std::thread modem([&] { PumpOut(p.pty.Master(), kTransferBytes); });
    std::size_t done = 0;
    while (done < kTransferBytes)
        done += static_cast<std::size_t>(p.link.ReadBuffer(
            buffer.data(), static_cast<int>(std::min(kChunk, kTransferBytes - done)), 5000));
    auto spent = Clock::now() - start;
    modem.join();
    return Seconds(spent);
}

// One ReadChar per byte, as a protocol decoder reads.
double GFSerialReceivePerByte() {
    PortOnPty p;
    auto start = Clock::now();
    std::thread modem([&] { PumpOut(p.pty.Master(), kTransferBytes); });
    std::size_t done = 0;
    while (done < kTransferBytes) {
        if (p.link.ReadChar(5000) >= 0)
            ++done;
    }
    auto spent = Clock::now() - start;
    modem.join();
    return Seconds(spent);
}

double GFSerialSend() {
    PortOnPty p;
    std::vector<unsigned char> chunk(kChunk, 'z');
    auto start = Clock::now();
    std::thread modem([&] { Drain(p.pty.Master(), kTransferBytes); });
    std::size_t done = 0;
    while (done < kTransferBytes) {
        int n = p.link.WriteBuffer(chunk.data(),
                                   static_cast<int>(std::min(kChunk, kTransferBytes - done)));
        done += static_cast<std::size_t>(n);
        if (n < static_cast<int>(kChunk)) {
            p.port.TakeLastStatus(); // "buffer full" is the expected answer of a full queue
            p.link.Idle();
        }
    }
    comm::QueueStatus q;
    while (p.port.GetQueueStatus(q) > 0)
        p.link.Idle();
    modem.join();
    auto spent = Clock::now() - start;
    return Seconds(spent);
}

// Runs the plain loop and the GFSerial loop alternately (the machine is shared, so load
// changes hit both alike) and reports the best rate of each and their ratio.
void Compare(benchmark::State& state, Transfer plain, Transfer link) {
    TempConfig config;
    double bestPlain = 1e9, bestLink = 1e9;
    for (auto _ : state) {
        bestPlain = std::min(bestPlain, plain());
        double t = link();
        bestLink = std::min(bestLink, t);
        state.SetIterationTime(t);
    }
    double mib = static_cast<double>(kTransferBytes) / (1 << 20);
    state.counters["plain_MiBps"] = mib / bestPlain;
    state.counters["GFSerial_MiBps"] = mib / bestLink;
    state.counters["ratio_percent"] = 100.0 * bestPlain / bestLink;
    state.SetBytesProcessed(static_cast<std::int64_t>(kTransferBytes) * state.iterations());
}

BENCHMARK_CAPTURE(Compare, receive_ReadBuffer, PlainReceive, GFSerialReceive)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Compare, send_WriteBuffer, PlainSend, GFSerialSend)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Compare, receive_ReadChar_per_byte, PlainReceive, GFSerialReceivePerByte)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
