// What a running job and its window share: the current status id under the only lock of a job,
// the window to post to, the status reporter, and the job's result with its error.
#pragma once

#include <mutex>

#include "jobs/JobOutcome.h"
#include "jobs/WindowStatusReporter.h"
#include "platform/PostedMessages.h"

namespace jobs {

// Status ids: numbered strings the window shows as the job's phase.
inline constexpr int kStatusInitializingModem = 50000;
inline constexpr int kStatusDialing = 50001;
inline constexpr int kStatusSendingFiles = 50002;
inline constexpr int kStatusReceivingFiles = 50003;
inline constexpr int kStatusDisconnecting = 50004;
inline constexpr int kStatusRecovering = 50006;
inline constexpr int kStatusNoAnswer = 50007;
inline constexpr int kStatusWaitingToRedial = 50008;
inline constexpr int kStatusStarting = 50009;
inline constexpr int kStatusConnected = 50010;
inline constexpr int kStatusAnswering = 50011;
inline constexpr int kStatusConvertingMacBinary = 50012;
inline constexpr int kStatusNegotiating = 50013;
inline constexpr int kStatusBusy = 50014;
inline constexpr int kStatusExtraSettings = 50015;
inline constexpr int kStatusOpeningPort = 50016;
inline constexpr int kStatusSvdConnection = 50017;
inline constexpr int kStatusWaitingForRing = 50019;
inline constexpr int kStatusRetry = 50020;

class JobStatusBlock {
  public:
    explicit JobStatusBlock(platform::WindowHandle window = {},
                            WindowStatusReporter::TickSource clock = {})
        : m_reporter{std::move(clock)} {
        SetWindow(std::move(window));
    }
    JobStatusBlock(const JobStatusBlock&) = delete;
    JobStatusBlock& operator=(const JobStatusBlock&) = delete;

    // Set by the window when it is created, before it starts a worker.
    void SetWindow(platform::WindowHandle window) {
        m_window = window;
        m_reporter.SetWindow(std::move(window));
    }
    const platform::WindowHandle& Window() const { return m_window; }
    WindowStatusReporter& Reporter() { return m_reporter; }

    int CurrentStatus() const {
        std::lock_guard lock(m_lock);
        return m_currentStatus;
    }
    void SetCurrentStatus(int id) {
        std::lock_guard lock(m_lock);
        m_currentStatus = id;
    }

    // Records a failure with the phase the job is in, so the message after the job can say
    // what went wrong where.
    void StoreError(int code) {
        errorCode = code;
        statusAtError = CurrentStatus();
        finalResult = kJobFailed;
    }

    // The decision's view of a finished job.
    JobEnd End(bool isSend, int files) const {
        return JobEnd{isSend,        files,       finalResult, errorCode,
                      statusAtError, fileRecords, refusedFiles};
    }

    // Written by the window on its own thread.
    int fileRecords{0};
    // Files to send that could not be read when their turn came (names without folders).
    std::vector<std::string> refusedFiles;
    // Written by the worker only, and read by the window only after the job posted its end.
    int finalResult{kJobSucceeded};
    int errorCode{0};
    int statusAtError{0};

  private:
    mutable std::mutex m_lock;
    platform::WindowHandle m_window;
    WindowStatusReporter m_reporter;
    int m_currentStatus{0};
};

// Stores the id as the current status, then tells the window, which takes the text from the
// stored id.
void SetJobStatus(JobStatusBlock& block, int statusId);

// The job is over; the final result is in the block. Posted after every other message of the
// job, so the window has seen the last progress record when this arrives.
void PostJobDone(const JobStatusBlock& block);

// Waiting for a call ended: kCallAnswered, kCallWaitFailed or kCallWaitAborted.
void PostCallWaitDone(const JobStatusBlock& block, int result);

} // namespace jobs
