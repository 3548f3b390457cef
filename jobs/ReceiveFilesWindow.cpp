// Waiting for calls and receiving them, one transfer window per answered call.
#include "jobs/ReceiveFilesWindow.h"

#include <sys/statvfs.h>

#include <cstdio>

#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "data/UserMessages.h"
#include "jobs/JobOutcome.h"
#include "jobs/ReceiveJob.h"
#include "jobs/WindowStatusReporter.h"
#include "platform/ResourceStrings.h"
#include "platform/Threads.h"

namespace jobs {

std::int64_t FreeSpaceBytes(const std::string& path) {
    struct statvfs info {};
    if (path.empty() || ::statvfs(path.c_str(), &info) != 0)
        return -1;
    return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

std::string FreeSpaceText(std::int64_t bytes) {
    std::string format(platform::LoadResourceString(kTextMegabytes));
    char text[64];
    std::snprintf(text, sizeof text, format.c_str(), static_cast<long>(bytes / 1000000));
    return text;
}

ReceiveFilesLogic::ReceiveFilesLogic(JobContext& context) : m_context{context} {
    m_parameter.block = &m_block;
    m_parameter.context = &m_context;
    m_block.Reporter().WatchRequests(&m_context.requests);
    if (context.settings)
        m_freeSpaceFolder = context.settings->generalReceiveFolder;
}

ReceiveFilesLogic::~ReceiveFilesLogic() {
    if (m_worker.joinable()) {
        m_context.requests.RequestStop();
        m_worker.join();
    }
}

void ReceiveFilesLogic::RefreshCounters() {
    m_calls = std::to_string(m_context.callsAnswered);
    m_files = std::to_string(m_context.filesReceived);
    // Measured where the files go; when it cannot be asked, the old figure stays.
    std::int64_t free = FreeSpaceBytes(m_freeSpaceFolder);
    if (free < 0 && !m_context.receiveFolder.empty())
        free = FreeSpaceBytes(m_context.receiveFolder);
    if (free >= 0)
        m_freeSpace = FreeSpaceText(free);
}

std::string ReceiveFilesLogic::ControlText(int control) const {
    switch (control) {
    case kControlCallsAnswered:
        return m_calls;
    case kControlFilesReceivedCount:
        return m_files;
    case kControlFreeSpace:
        return m_freeSpace;
    default:
        return {};
    }
}

void ReceiveFilesLogic::Open() {
    RefreshCounters();
    StartWaiting();
}

void ReceiveFilesLogic::StartWaiting() {
    JoinWorker();
    m_doneRequested = false;
    if (m_target)
        m_block.SetWindow(m_target);
    else
        m_block.SetWindow(m_queue);
    m_block.finalResult = kJobSucceeded;
    m_block.errorCode = 0;
    m_block.statusAtError = 0;
    m_context.requests.Clear();
    m_worker = platform::StartThread(platform::ThreadPriority::Normal,
                                     [this] { WaitForCallThread(m_parameter); });
}

void ReceiveFilesLogic::JoinWorker() {
    if (m_worker.joinable())
        m_worker.join();
}

ReceiveFilesLogic::Next ReceiveFilesLogic::HandleMessage(const platform::PostedMessage& message) {
    if (message.id == WM_JOB_STATUS) {
        const int stored = m_block.CurrentStatus();
        m_statusText = platform::ResourceText(stored ? stored : static_cast<int>(message.first));
        return Next::Wait;
    }
    if (message.id != WM_CALL_WAIT_DONE)
        return Next::Wait;
    // The worker ends right after this message.
    JoinWorker();
    switch (static_cast<int>(message.second)) {
    case kCallAnswered:
        // "Done" was pressed as the call came in: the call is dropped with the line.
        if (m_doneRequested)
            return Next::CloseOk;
        ++m_context.callsAnswered;
        RefreshCounters();
        if (!data::CreateFolderPath(m_context.receiveFolder)) {
            // No worker runs from here on: "Done" closes the window at once.
            data::ShowMessage(data::MessageKind::Exclamation, kMsgCannotCreateFolder,
                              m_context.receiveFolder);
            return Next::Wait;
        }
        return Next::RunTransfer;
    case kCallWaitFailed:
        ShowJobError(false, m_block);
        return Next::ShowErrorAndClose;
    case kCallWaitAborted:
        return Next::CloseOk;
    default:
        return Next::CloseCancelled;
    }
}

bool ReceiveFilesLogic::CallFinished(bool isSend, int filesDone,
                                     const JobStatusBlock& transferBlock) {
    ShowJobOutcome(isSend, filesDone, transferBlock);
    RefreshCounters();
    if (m_doneRequested)
        return false;
    StartWaiting();
    return true;
}

bool ReceiveFilesLogic::PressDone() {
    m_doneRequested = true;
    m_context.requests.RequestStop();
    return !m_worker.joinable();
}

bool ReceiveFilesLogic::RunModal(const std::function<void()>& runTransfer,
                                 const std::function<bool()>& stop) {
    Open();
    for (;;) {
        std::optional<platform::PostedMessage> message = m_queue->Wait(250);
        if (!message) {
            if (stop && stop() && PressDone())
                return true;
            continue;
        }
        switch (HandleMessage(*message)) {
        case Next::RunTransfer:
            runTransfer();
            if (!m_worker.joinable())
                return true;
            break;
        case Next::ShowErrorAndClose:
            return false;
        case Next::CloseOk:
        case Next::CloseCancelled:
            return true;
        case Next::Wait:
            // No worker and none to come: the receive folder could not be made.
            if (!m_worker.joinable())
                return false;
            break;
        }
    }
}

} // namespace jobs
