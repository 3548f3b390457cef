// The application's status reporter: posts progress to the transfer window and answers the
// protocol's question whether to stop.
#include "jobs/WindowStatusReporter.h"

#include <algorithm>
#include <cstring>

#include "comm/StatusCodes.h"
#include "jobs/JobContext.h"
#include "platform/Clock.h"

namespace jobs {

WindowStatusReporter::WindowStatusReporter(TickSource clock) : m_clock{std::move(clock)} {
    if (!m_clock)
        m_clock = [] { return platform::GetTickCount(); };
}

void WindowStatusReporter::ResetStatus(int newDirection) {
    protocol::TransferStatus::ResetStatus(newDirection);
    // A new connection cycle counts its files from 0 again.
    m_currentName.clear();
    m_finishedWhenCurrentBegan = 0;
}

int WindowStatusReporter::Progress(int status) {
    if (fileName != m_currentName && !fileName.empty() && fileName != protocol::kNoFileName) {
        m_currentName = fileName;
        m_finishedWhenCurrentBegan = FilesFinished();
    }
    // The first call of the job, not of each connection cycle: a reconnection keeps comparing
    // with what the window already shows.
    if (m_firstCall) {
        m_firstCall = false;
        m_lastPostedName = fileName;
        m_lastPostedFilesDone = filesDone;
        m_lastPostedFilesSkipped = filesSkipped;
        m_lastPostedFilesFailed = filesFailed;
        m_lastPostTime = 0;
    }
    // The protocol jumped into the file instead of starting at 0: it resumes a broken transfer.
    if (m_lastSeenPosition == 0 && position > kResumeThreshold)
        m_pendingResumeOffset = position;
    m_lastSeenPosition = position;

    std::uint32_t now = m_clock();
    // The very first record is always due, whatever the tick count happens to be.
    if (m_posted && fileName == m_lastPostedName && filesDone == m_lastPostedFilesDone &&
        filesSkipped == m_lastPostedFilesSkipped && filesFailed == m_lastPostedFilesFailed &&
        statusCode == m_lastPostedStatus && now - m_lastPostTime <= kProgressIntervalMs)
        return status;

    m_posted = true;
    m_lastPostTime = now;
    auto record = std::make_unique<ProgressRecord>();
    record->fileName = fileName;
    record->filesDone = filesDone;
    record->filesSkipped = filesSkipped;
    record->filesFailed = filesFailed;
    record->statusCode = statusCode;
    record->errors = errors;
    record->fileSize = fileSize;
    record->position = position;
    if (direction == protocol::kDirectionSend && m_queueProbe) {
        // What waits in the transmit queue has not reached the other side: the window's
        // bytes, speed and efficiency count only what the line has taken.
        const long queued = m_queueProbe() + unsent;
        if (queued > 0)
            record->position = static_cast<int>(std::max<long>(0, position - queued));
    }
    record->resumeOffset = m_pendingResumeOffset;
    record->resetFlag = 0;
    record->carrier = m_carrierProbe ? m_carrierProbe() : -1;
    m_lastPostedName = fileName;
    m_lastPostedFilesDone = filesDone;
    m_lastPostedFilesSkipped = filesSkipped;
    m_lastPostedFilesFailed = filesFailed;
    m_lastPostedStatus = statusCode;
    m_pendingResumeOffset = 0;
    // A window that is already gone takes the record with it; nothing is reported back.
    platform::PostMessage(m_window, WM_JOB_PROGRESS, status, 0, std::move(record));
    return status;
}

int WindowStatusReporter::AbortRequested() {
    return m_requests && m_requests->TransferStopRequested() ? comm::kUserCancelled
                                                             : comm::kSuccess;
}

bool PostResetRecord(const platform::WindowHandle& window) {
    auto record = std::make_unique<ProgressRecord>();
    record->resetFlag = 1;
    return platform::PostMessage(window, WM_JOB_PROGRESS, 0, 0, std::move(record));
}

} // namespace jobs
