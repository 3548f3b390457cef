// The "Transfer Files" window's logic without a toolkit: it starts a job's worker, turns the
// job's posted messages into the texts of its controls, keeps one record per file, watches the
// carrier, and when the job is done post-processes received files and writes the log.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "data/FileRecord.h"
#include "jobs/JobContext.h"
#include "jobs/JobStatusBlock.h"
#include "platform/PostedMessages.h"

namespace jobs {

// Controls of the transfer window.
inline constexpr int kControlStatusLine = 1027;
inline constexpr int kControlFiles = 1025;
inline constexpr int kControlElapsed = 1028;
inline constexpr int kControlTimeLeft = 1029;
inline constexpr int kControlBytes = 1031;
inline constexpr int kControlBytesLabel = 1030;
inline constexpr int kControlSpeed = 1032;
inline constexpr int kControlConnectSpeed = 1026;
inline constexpr int kControlErrors = 1033;
inline constexpr int kControlProgress = 1012;
inline constexpr int kControlStopButton = 1078;

// How long the carrier may stay down before the job is stopped, in seconds.
inline constexpr int kCarrierGraceSendSeconds = 10;
inline constexpr int kCarrierGraceReceiveSeconds = 30;

// Separates the entries of a send list text.
inline constexpr char kFileListSeparator = '|';

// What a job's worker gets: the send list text (changed in place by the send job when it
// resumes), the status block and the job context.
struct JobThreadParameter {
    std::string fileList;
    JobStatusBlock* block{nullptr};
    JobContext* context{nullptr};
};

using JobThreadProcedure = int (*)(JobThreadParameter&);

class TransferWindowLogic {
  public:
    // Seconds of the wall clock; the default follows the platform tick count from the wall
    // time at construction, so accelerated tests see accelerated seconds.
    using SecondsClock = std::function<std::time_t()>;
    // Whether the job's line still has a carrier. Without one the window takes the carrier
    // that each progress record carries, which the worker reads from the link's DCD line.
    using CarrierProbe = std::function<bool()>;

    // A send job has the view's file list (the sent files are taken out of it when the job is
    // done); a receive job has none.
    TransferWindowLogic(JobThreadProcedure procedure, JobContext& context,
                        std::vector<std::string>* viewFileList, SecondsClock clock = {});
    ~TransferWindowLogic();
    TransferWindowLogic(const TransferWindowLogic&) = delete;
    TransferWindowLogic& operator=(const TransferWindowLogic&) = delete;

    // Where the worker posts its messages (a window's event queue); by default the logic's own
    // queue, which RunModal reads. Set before Open.
    void SetPostTarget(std::shared_ptr<platform::PostTarget> target) {
        m_target = std::move(target);
    }
    void SetCarrierProbe(CarrierProbe probe) { m_carrierProbe = std::move(probe); }
    // Where the log lines go (the data folder's log by default).
    void SetLogPath(std::string path) { m_logPath = std::move(path); }
    // Called after every handled message (a user interface redraws; tests press buttons).
    void SetObserver(std::function<void(TransferWindowLogic&, const platform::PostedMessage&)> f) {
        m_observer = std::move(f);
    }

    // Fills the opening texts and points the status block at this window. Start also clears
    // the abort flag and starts the worker below normal priority.
    void Open();
    void Start();
    // Handles messages until the job is done and the window has done its closing work; joins
    // the worker. Returns the job's final result.
    int RunModal();

    // Waits for the worker, which ends right after its done message.
    void JoinWorker();

    // One posted message; true once the job is done.
    bool HandleMessage(const platform::PostedMessage& message);

    // The Stop button (which reads "Dial Now" while a redial is pending) and the close command.
    void PressStopButton();
    void CloseCommand();

    std::string ControlText(int control) const;
    int ProgressBar() const { return m_progress; }
    const std::string& Caption() const { return m_caption; }
    bool DialNowShown() const { return m_dialNowShown; }
    bool Done() const { return m_done; }

    JobStatusBlock& Block() { return m_block; }
    JobThreadParameter& Parameter() { return m_parameter; }
    const std::vector<data::FileRecord>& FileRecords() const { return m_fileRecords; }
    // Files done as last shown: the caller's count for the outcome message.
    int ShownFilesDone() const { return m_shownFilesDone < 0 ? 0 : m_shownFilesDone; }
    int FileCount() const { return m_fileCount; }

  private:
    void ResetTexts();
    void HandleStatus(int id, std::intptr_t detail);
    void HandleReset();
    // "Destination phone line busy. Waiting to redial: 00:00:59".
    std::string RedialLine() const;
    void HandleProgress(const ProgressRecord& record);
    // The per-file records a progress record ends, begins, or closes as refused.
    void CloseEndedRecord(const ProgressRecord& record, std::time_t now);
    void OpenBeginningRecord(const ProgressRecord& record, std::time_t now);
    void CloseRefusedRecord(const ProgressRecord& record);
    void WatchCarrier(std::time_t now, int reportedCarrier);
    void HandleDone();
    void RemoveSentFiles();
    void SetText(int control, std::string text) { m_texts[control] = std::move(text); }
    bool IsSend() const { return m_context.isSend != 0; }
    std::string PeerText() const;
    // Where the receiver writes this call's files.
    const std::string& ReceivingFolder() const;

    JobThreadProcedure m_procedure;
    JobContext& m_context;
    std::vector<std::string>* m_viewFileList;
    SecondsClock m_clock;
    // Milliseconds for the speed: whole seconds at both ends of a few seconds' measurement
    // read up to a tenth too fast. Follows an injected seconds clock in tests.
    std::function<std::int64_t()> m_msClock;
    CarrierProbe m_carrierProbe;
    std::string m_logPath;
    std::function<void(TransferWindowLogic&, const platform::PostedMessage&)> m_observer;

    std::shared_ptr<platform::MessageQueue> m_queue{std::make_shared<platform::MessageQueue>()};
    std::shared_ptr<platform::PostTarget> m_target;
    JobStatusBlock m_block;
    JobThreadParameter m_parameter;
    std::thread m_worker;

    std::map<int, std::string> m_texts;
    int m_progress{0};
    std::string m_caption;

    int m_fileCount{0};
    std::vector<data::FileRecord> m_fileRecords;
    int m_lastFilesDone{0};
    int m_lastFilesSkipped{0};
    int m_lastFilesFailed{0};
    // Indexes of the records of files the receiver skipped: it has them, so they leave the
    // view's list like the files sent.
    std::vector<std::size_t> m_skippedByReceiver;
    std::string m_currentFileName;
    std::string m_shownFileName;
    int m_shownFilesDone{-1};
    int m_shownErrors{-1};
    std::int64_t m_lastElapsedShown{0};
    std::time_t m_fileStartTime{0};
    std::int64_t m_fileStartMs{0}; // the same moment in milliseconds, for the speed
    std::int64_t m_fileStartOffset{0};
    bool m_dialNowShown{false};
    std::string m_redialReason; // the failed call's status line, while a redial is waited for
    bool m_carrierLost{false};
    bool m_carrierAbortRaised{false};
    std::time_t m_carrierLostSince{0};
    bool m_done{false};
};

// The number of entries in a send list text: one more than its separators.
int CountListEntries(const std::string& fileList);

// The figures of one progress record, as the window shows them. Exposed for the formulas'
// own tests; `elapsed` is in whole seconds, `elapsedMs` in milliseconds.
std::string TimeLeftText(std::int64_t position, std::int64_t fileSize, std::int64_t startOffset,
                         std::int64_t elapsed);
std::string SpeedText(std::int64_t position, std::int64_t startOffset, std::int64_t elapsedMs,
                      int connectSpeed);
std::string BytesText(std::int64_t position, std::int64_t fileSize);
int ProgressPercent(std::int64_t position, std::int64_t fileSize);

} // namespace jobs
