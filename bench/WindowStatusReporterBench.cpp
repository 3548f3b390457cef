// What the progress reporter adds to each protocol poll, against the library's own reporter
// that publishes nothing.
#include <memory>

#include <benchmark/benchmark.h>

#include "jobs/WindowStatusReporter.h"
#include "platform/PostedMessages.h"

namespace {

void BM_BaseReporterPoll(benchmark::State& state) {
    protocol::TransferStatus status;
    status.fileName = "C:/Transfers/quarterly report.doc";
    for (auto _ : state) {
        status.position = (status.position + 1024) & 0xFFFFFF; // stays a valid file offset
        benchmark::DoNotOptimize(status.Progress(0));
    }
}
BENCHMARK(BM_BaseReporterPoll);

// Polls within one file: a name compare and a tick read, a posted record about once a second.
void BM_WindowReporterPoll(benchmark::State& state) {
    auto window = std::make_shared<platform::MessageQueue>();
    jobs::WindowStatusReporter reporter;
    reporter.SetWindow(window);
    reporter.fileName = "C:/Transfers/quarterly report.doc";
    for (auto _ : state) {
        reporter.position = (reporter.position + 1024) & 0xFFFFFF;
        benchmark::DoNotOptimize(reporter.Progress(0));
    }
    state.counters["records"] = static_cast<double>(window->Size());
}
BENCHMARK(BM_WindowReporterPoll);

} // namespace
