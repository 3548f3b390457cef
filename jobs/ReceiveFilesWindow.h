// The "Receive Files" window's logic without a toolkit: it starts the worker that waits for a
// call, counts the calls answered and the files received, shows the free space of the receive
// folder's filesystem, hands each answered call to a transfer window and starts waiting again,
// until the user presses "Done" and the worker has reported its end. The desktop dialog and
// `sendari-cli receive` both run it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "jobs/JobContext.h"
#include "jobs/JobStatusBlock.h"
#include "jobs/TransferWindow.h"
#include "platform/PostedMessages.h"

namespace jobs {

// Controls of the Receive Files window.
inline constexpr int kControlFilesReceivedCount = 1034;
inline constexpr int kControlCallsAnswered = 1035;
inline constexpr int kControlFreeSpace = 1036;
inline constexpr int kMsgCannotCreateFolder = 50206;
inline constexpr int kTextMegabytes = 50300;

// Free bytes for an unprivileged user on the filesystem that holds `path`; -1 when unknown.
std::int64_t FreeSpaceBytes(const std::string& path);
// "%ld MB", with 1 MB = 1,000,000 bytes.
std::string FreeSpaceText(std::int64_t bytes);

class ReceiveFilesLogic {
  public:
    // What the window does after a message.
    enum class Next {
        Wait,              // go on waiting
        RunTransfer,       // a call was answered: run the transfer window, then CallFinished
        ShowErrorAndClose, // waiting failed: the error was presented; close as cancelled
        CloseOk,           // waiting was stopped
        CloseCancelled,    // anything else
    };

    explicit ReceiveFilesLogic(JobContext& context);
    ~ReceiveFilesLogic();
    ReceiveFilesLogic(const ReceiveFilesLogic&) = delete;
    ReceiveFilesLogic& operator=(const ReceiveFilesLogic&) = delete;

    // Where the worker posts (a window's event queue); the logic's own queue by default.
    void SetPostTarget(std::shared_ptr<platform::PostTarget> target) {
        m_target = std::move(target);
    }

    // Refreshes the counters and starts waiting for a call.
    void Open();
    // One posted message of the worker.
    Next HandleMessage(const platform::PostedMessage& message);
    // The transfer window of an answered call has closed: its outcome is presented, the
    // counters are refreshed and waiting starts again, unless "Done" was pressed meanwhile
    // (false: the window closes).
    bool CallFinished(bool isSend, int filesDone, const JobStatusBlock& transferBlock);
    // "Done" or Escape: asks the worker to stop. True when no worker runs (the window closes
    // at once, as after a receive folder that could not be created).
    bool PressDone();
    // Joins a worker that has reported its end (or is being stopped).
    void JoinWorker();
    bool WorkerRunning() const { return m_worker.joinable(); }

    // Blocking form for the command line: waits, runs `runTransfer` for each answered call
    // (which runs the transfer window and then calls CallFinished), and ends when the waiting
    // stops or fails, or once `stop` (polled) returns true and the worker has ended. Returns
    // false when waiting failed or could not go on.
    bool RunModal(const std::function<void()>& runTransfer, const std::function<bool()>& stop);

    void RefreshCounters();
    std::string ControlText(int control) const;
    // The waiting worker's current status text ("Waiting for a Ring", ...).
    const std::string& StatusText() const { return m_statusText; }
    JobStatusBlock& Block() { return m_block; }
    JobContext& Context() { return m_context; }

  private:
    void StartWaiting();

    JobContext& m_context;
    std::shared_ptr<platform::MessageQueue> m_queue{std::make_shared<platform::MessageQueue>()};
    std::shared_ptr<platform::PostTarget> m_target;
    JobStatusBlock m_block;
    JobThreadParameter m_parameter;
    std::thread m_worker;
    std::string m_freeSpaceFolder;
    std::string m_calls;
    std::string m_files;
    std::string m_freeSpace;
    std::string m_statusText;
    bool m_doneRequested{false};
};

} // namespace jobs
