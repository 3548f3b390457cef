// Notifications from a job's worker thread to its window: the posted message numbers, the
// progress record that travels with WM_JOB_PROGRESS, and the status reporter that the protocol
// calls at every poll, which turns the status record into at most about one message a second.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "jobs/JobContext.h"
#include "platform/PostedMessages.h"
#include "protocol/TransferStatus.h"

namespace jobs {

inline constexpr unsigned WM_JOB_STATUS = platform::kWmUser + 300;
inline constexpr unsigned WM_JOB_PROGRESS = platform::kWmUser + 301;
inline constexpr unsigned WM_JOB_DONE = platform::kWmUser + 302;
inline constexpr unsigned WM_CALL_WAIT_DONE = platform::kWmUser + 303;

// Second parameter of WM_CALL_WAIT_DONE.
inline constexpr int kCallAnswered = 2;
inline constexpr int kCallWaitFailed = 3;
inline constexpr int kCallWaitAborted = 4;

// Owned by the message that carries it and freed with it by the window.
struct ProgressRecord : platform::MessagePayload {
    std::string fileName; // the whole path: the log and the sent-file list need it
    int filesDone{0};
    // Files the receiver skipped because it has them already.
    int filesSkipped{0};
    // Files to send that could not be read when their turn came.
    int filesFailed{0};
    int statusCode{0};
    int errors{0};
    std::int64_t fileSize{0};
    std::int64_t position{0};
    // Non-zero only in the first record after a file began at an offset above the threshold.
    std::int64_t resumeOffset{0};
    // 1: a new connection cycle begins (only this field is meaningful); 0: progress.
    int resetFlag{0};
    // The line's carrier when the record was made: 1 present, 0 lost, -1 not known. Read by
    // the worker, the only thread that uses the port while a job runs.
    int carrier{-1};
};

// A file that starts above this many bytes was resumed, not merely well under way by the
// first poll.
inline constexpr int kResumeThreshold = 5000;
// Within one file at most one record per this many milliseconds.
inline constexpr std::uint32_t kProgressIntervalMs = 1000;

class WindowStatusReporter : public protocol::TransferStatus {
  public:
    using TickSource = std::function<std::uint32_t()>;
    // 1 while the job's line has a carrier, 0 when it is lost; called on the worker thread.
    using CarrierProbe = std::function<int()>;
    // Bytes handed to the line that it has not carried yet; called on the worker thread.
    using QueueProbe = std::function<long()>;

    // The clock defaults to the platform tick count; tests hand in their own.
    explicit WindowStatusReporter(TickSource clock = {});

    void SetWindow(platform::WindowHandle window) { m_window = std::move(window); }
    const platform::WindowHandle& Window() const { return m_window; }
    // Set by the window before it starts the worker; each record then carries the carrier.
    void SetCarrierProbe(CarrierProbe probe) { m_carrierProbe = std::move(probe); }
    // With a probe, a sender's records show what the line has carried, not what was queued.
    void SetQueueProbe(QueueProbe probe) { m_queueProbe = std::move(probe); }
    // The job's requests, which end a running protocol (none: it runs to its end).
    void WatchRequests(const JobRequests* requests) { m_requests = requests; }

    void ResetStatus(int newDirection) override;
    int Progress(int status) override;
    // Stop and a lost carrier stop a running protocol; the job driver tells them apart
    // afterwards. A "Dial Now" that arrives late means nothing here.
    int AbortRequested() override;

    // The file the protocol worked on last, and whether it was finished with (sent whole and
    // confirmed, skipped or refused) since it began: a send job resumes its list from the first
    // file not yet finished after an error.
    const std::string& CurrentFileName() const { return m_currentName; }
    bool CurrentFileFinished() const { return FilesFinished() > m_finishedWhenCurrentBegan; }

  private:
    int FilesFinished() const { return filesDone + filesSkipped + filesFailed; }

    TickSource m_clock;
    CarrierProbe m_carrierProbe;
    QueueProbe m_queueProbe;
    const JobRequests* m_requests{nullptr};
    platform::WindowHandle m_window;
    bool m_firstCall{true};
    // The full name, not the record's shortened copy, so a long name does not look new at
    // every poll.
    std::string m_lastPostedName;
    int m_lastPostedFilesDone{0};
    int m_lastPostedFilesSkipped{0};
    int m_lastPostedFilesFailed{0};
    // A failure is posted at once, with the figures it left.
    int m_lastPostedStatus{0};
    std::uint32_t m_lastPostTime{0};
    bool m_posted{false};
    int m_lastSeenPosition{0};
    std::int64_t m_pendingResumeOffset{0};
    std::string m_currentName;
    int m_finishedWhenCurrentBegan{0};
};

// Tells the window that a new connection cycle begins: it closes the file in progress and clears
// its counters. Returns whether the window still existed.
bool PostResetRecord(const platform::WindowHandle& window);

} // namespace jobs
