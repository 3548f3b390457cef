// The transfer window's handling of a running job: control texts from status ids and progress
// records, one record per file, the carrier watch, Stop and "Dial Now", and the closing work.
#include "jobs/TransferWindow.h"

#include "jobs/ReceivedFiling.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "comm/ComLink.h"
#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "data/TextFields.h"
#include "data/TransferLog.h"
#include "data/UserMessages.h"
#include "platform/Clock.h"
#include "platform/ResourceStrings.h"
#include "platform/Threads.h"

namespace jobs {
namespace {

// Texts of the window.
constexpr int kTextNoTime = 50100;
constexpr int kTextNoBytes = 50101;
constexpr int kTextBytes = 50102;
constexpr int kTextNoSpeed = 50103;
constexpr int kTextSpeed = 50104;
constexpr int kTextNoConnectSpeed = 50105;
constexpr int kTextConnectSpeed = 50106;
constexpr int kTextBytesSent = 50107;
constexpr int kTextBytesReceived = 50108;
constexpr int kTextFilesRemaining = 50109;
constexpr int kTextFilesReceived = 50110;
constexpr int kTextUnknownSize = 50112;
constexpr int kTextNoErrors = 50113;
constexpr int kTextNoFilesReceived = 50114;
constexpr int kTextSending = 50115;
constexpr int kTextReceiving = 50116;
constexpr int kTextWaitingForPeer = 50247;
constexpr int kTextSendingTo = 50118;
constexpr int kTextReceivingFrom = 50119;
constexpr int kTextUnknownSender = 50120;
constexpr int kTextDialNow = 50122;
constexpr int kTextStop = 50123;
constexpr int kQuestionStop = 50221;

// The receiver names the file "<none>" (any case) before the first one.
constexpr const char* kNoFile = "<none>";

// A numbered string whose "%ld" fields take the values. The formats come from the program's own
// string table, never from the line.
std::string FormatLongs(int id, long first, long second = 0) {
    std::string format(platform::LoadResourceString(id));
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format.c_str(), first, second);
    return buffer;
}

bool IsNoFile(const std::string& name) {
    return name.empty() || data::CompareTextsNoCase(name, kNoFile) == 0;
}

} // namespace

int CountListEntries(const std::string& fileList) {
    return 1 + static_cast<int>(std::count(fileList.begin(), fileList.end(), kFileListSeparator));
}

std::string TimeLeftText(std::int64_t position, std::int64_t fileSize, std::int64_t startOffset,
                         std::int64_t elapsed) {
    // Single precision from unsigned 32-bit operands, as the figure has always been computed.
    float fraction = static_cast<float>(static_cast<std::uint32_t>(position - startOffset)) /
                     static_cast<float>(static_cast<std::uint32_t>(fileSize - startOffset));
    if (fraction == 0.0f)
        return platform::ResourceText(kTextNoTime);
    float left = (1.0f / fraction - 1.0f) * static_cast<float>(elapsed);
    // A position past the announced size would make the estimate negative: nothing is left.
    std::int64_t seconds = left > 0.0f ? static_cast<std::int64_t>(left) : 0;
    return data::FormatLogDuration(seconds);
}

std::string SpeedText(std::int64_t position, std::int64_t startOffset, std::int64_t elapsedMs,
                      int connectSpeed) {
    if (elapsedMs < 1000 || connectSpeed <= 0)
        return platform::ResourceText(kTextNoSpeed);
    // The line carries ten bits per byte, so a tenth of the connect speed is the best possible
    // rate. 64-bit products: a few megabytes times 100 no longer fit in 32 bits.
    std::int64_t bytes = static_cast<std::int64_t>(position) - startOffset;
    std::int64_t best = (elapsedMs * connectSpeed) / 10000;
    if (best == 0)
        return platform::ResourceText(kTextNoSpeed);
    std::int64_t cps = bytes * 1000 / elapsedMs;
    std::int64_t efficiency = bytes * 100 / best;
    return FormatLongs(kTextSpeed, static_cast<long>(cps), static_cast<long>(efficiency));
}

std::string BytesText(std::int64_t position, std::int64_t fileSize) {
    if (fileSize == 0)
        return platform::ResourceText(kTextUnknownSize);
    // "K" is 1000 bytes here.
    return FormatLongs(kTextBytes, position / 1000, fileSize / 1000);
}

int ProgressPercent(std::int64_t position, std::int64_t fileSize) {
    if (fileSize <= 0)
        return 0;
    std::int64_t percent = static_cast<std::int64_t>(position) * 100 / fileSize;
    return static_cast<int>(std::clamp<std::int64_t>(percent, 0, 100));
}

namespace {
TransferWindowLogic::SecondsClock DefaultClock() {
    std::time_t wallAtStart = std::time(nullptr);
    std::uint32_t tickAtStart = platform::GetTickCount();
    return [wallAtStart, tickAtStart] {
        return wallAtStart + static_cast<std::time_t>(platform::TicksSince(tickAtStart) / 1000);
    };
}
} // namespace

TransferWindowLogic::TransferWindowLogic(JobThreadProcedure procedure, JobContext& context,
                                         std::vector<std::string>* viewFileList, SecondsClock clock)
    : m_procedure{procedure}, m_context{context}, m_viewFileList{viewFileList},
      m_clock{clock ? clock : DefaultClock()}, m_logPath{data::TransferLogPath()} {
    if (clock)
        m_msClock = [this] { return static_cast<std::int64_t>(m_clock()) * 1000; };
    else
        m_msClock = [] { return static_cast<std::int64_t>(platform::GetTickCount()); };
    if (m_viewFileList) {
        for (const std::string& path : *m_viewFileList) {
            if (!m_parameter.fileList.empty())
                m_parameter.fileList += kFileListSeparator;
            m_parameter.fileList += path;
        }
    }
    m_fileCount = CountListEntries(m_parameter.fileList);
    m_parameter.block = &m_block;
    m_parameter.context = &m_context;
    m_block.Reporter().WatchRequests(&m_context.requests);
}

TransferWindowLogic::~TransferWindowLogic() {
    // A window that goes away while its job still runs stops the job first.
    if (m_worker.joinable()) {
        m_context.requests.RequestStop();
        m_worker.join();
    }
}

const std::string& TransferWindowLogic::ReceivingFolder() const {
    return m_context.callFolder.empty() ? m_context.receiveFolder : m_context.callFolder;
}

std::string TransferWindowLogic::PeerText() const {
    if (IsSend())
        return m_context.destinationName.empty() ? m_context.destinationPhone
                                                 : m_context.destinationName;
    if (!m_context.peerUser.empty())
        return m_context.peerUser;
    if (!m_context.peerPhone.empty())
        return m_context.peerPhone;
    return platform::ResourceText(kTextUnknownSender);
}

void TransferWindowLogic::ResetTexts() {
    SetText(kControlElapsed, platform::ResourceText(kTextNoTime));
    SetText(kControlTimeLeft, platform::ResourceText(kTextNoTime));
    SetText(kControlBytes, platform::ResourceText(kTextNoBytes));
    SetText(kControlSpeed, platform::ResourceText(kTextNoSpeed));
    SetText(kControlConnectSpeed, platform::ResourceText(kTextNoConnectSpeed));
    SetText(kControlErrors, platform::ResourceText(kTextNoErrors));
}

void TransferWindowLogic::Open() {
    SetText(kControlStatusLine, platform::ResourceText(kStatusStarting));
    ResetTexts();
    SetText(kControlStopButton, platform::ResourceText(kTextStop));
    m_progress = 0;
    if (IsSend()) {
        m_caption = platform::ResourceText(kTextSendingTo) + " " + PeerText();
        SetText(kControlFiles, FormatLongs(kTextFilesRemaining, m_fileCount));
        SetText(kControlBytesLabel, platform::ResourceText(kTextBytesSent));
    } else {
        m_caption = platform::ResourceText(kTextReceivingFrom) + " " +
                    platform::ResourceText(kTextUnknownSender);
        SetText(kControlFiles, platform::ResourceText(kTextNoFilesReceived));
        SetText(kControlBytesLabel, platform::ResourceText(kTextBytesReceived));
    }
    if (m_target)
        m_block.SetWindow(m_target);
    else
        m_block.SetWindow(m_queue);
    // The port is the worker's while the job runs; it reads the carrier for each record.
    m_block.Reporter().SetCarrierProbe([this] {
        comm::ComLink* link = m_context.link ? m_context.link->Link() : m_context.port;
        return !link || link->Line(comm::kLineDcd, -1) == 1 ? 1 : 0;
    });
    m_block.Reporter().SetQueueProbe([this]() -> long {
        comm::ComLink* link = m_context.link ? m_context.link->Link() : m_context.port;
        comm::QueueStatus queue;
        return link && link->GetQueueStatus(queue) >= 0 ? queue.transmitCount : 0;
    });
}

void TransferWindowLogic::Start() {
    m_context.requests.Clear();
    m_worker = platform::StartThread(platform::ThreadPriority::BelowNormal,
                                     [this] { m_procedure(m_parameter); });
}

int TransferWindowLogic::RunModal() {
    while (!m_done) {
        std::optional<platform::PostedMessage> message = m_queue->Wait(100);
        if (message)
            HandleMessage(*message);
    }
    JoinWorker();
    return m_block.finalResult;
}

void TransferWindowLogic::JoinWorker() {
    if (m_worker.joinable())
        m_worker.join();
}

bool TransferWindowLogic::HandleMessage(const platform::PostedMessage& message) {
    if (m_done)
        return true;
    switch (message.id) {
    case WM_JOB_STATUS:
        HandleStatus(static_cast<int>(message.first), message.second);
        break;
    case WM_JOB_PROGRESS:
        if (const auto* record = dynamic_cast<const ProgressRecord*>(message.payload.get())) {
            if (record->resetFlag)
                HandleReset();
            else
                HandleProgress(*record);
        }
        break;
    case WM_JOB_DONE:
        HandleDone();
        break;
    default:
        break;
    }
    if (m_observer)
        m_observer(*this, message);
    return m_done;
}

void TransferWindowLogic::HandleStatus(int id, std::intptr_t detail) {
    // The stored id is the latest phase, which may already be past the one this message told;
    // its text gets its inserts whichever message brought the window here.
    int stored = m_block.CurrentStatus();
    switch (stored) {
    case kStatusDialing:
        SetText(kControlStatusLine, platform::FormatMessage1(platform::ResourceText(kStatusDialing),
                                                             m_context.destinationPhone));
        break;
    case kStatusConnected:
        SetText(kControlStatusLine, FormatLongs(kStatusConnected, m_context.connectSpeed.load()));
        break;
    case kStatusRetry: {
        // The error travels with the message: the worker clears its stored error before the
        // window may have read it.
        int error = id == kStatusRetry ? static_cast<int>(detail) : 0;
        std::string errorText =
            error < 0 ? platform::ResourceText(comm::StatusTextId(error)) : std::string();
        SetText(kControlStatusLine,
                platform::FormatMessage1(platform::ResourceText(kStatusRetry), errorText));
        break;
    }
    case kStatusWaitingToRedial:
        SetText(kControlStatusLine, RedialLine());
        break;
    case kStatusSendingFiles:
    case kStatusReceivingFiles:
        // Connected, but no file has begun: the other computer has not spoken yet.
        SetText(kControlStatusLine,
                m_shownFileName.empty()
                    ? platform::FormatMessage1(platform::ResourceText(kTextWaitingForPeer),
                                               platform::ResourceText(stored))
                    : platform::ResourceText(stored));
        break;
    default:
        SetText(kControlStatusLine, platform::ResourceText(stored));
        break;
    }
    // Why the last call failed stays on screen while the next one is waited for.
    if (stored == kStatusNoAnswer || stored == kStatusBusy || stored == kStatusRetry)
        m_redialReason = ControlText(kControlStatusLine);
    else if (stored != kStatusWaitingToRedial)
        m_redialReason.clear();
    switch (id) {
    case kStatusReceivingFiles:
        if (!m_context.peerUser.empty())
            m_caption = platform::ResourceText(kTextReceivingFrom) + " " + m_context.peerUser;
        else if (!m_context.peerPhone.empty())
            m_caption = platform::ResourceText(kTextReceivingFrom) + " " + m_context.peerPhone;
        break;
    case kStatusWaitingToRedial: {
        int countdown = m_context.redialCountdown.load();
        if (countdown < 1) {
            SetText(kControlStopButton, platform::ResourceText(kTextStop));
            m_dialNowShown = false;
            SetText(kControlTimeLeft, platform::ResourceText(kTextNoTime));
        } else {
            if (!m_dialNowShown) {
                SetText(kControlStopButton, platform::ResourceText(kTextDialNow));
                m_dialNowShown = true;
            }
            SetText(kControlTimeLeft, data::FormatLogDuration(countdown));
        }
        break;
    }
    case kStatusConnected: {
        int speed = m_context.connectSpeed.load();
        SetText(kControlConnectSpeed, FormatLongs(kTextConnectSpeed, speed));
        break;
    }
    default:
        break;
    }
}

std::string TransferWindowLogic::RedialLine() const {
    std::string line = platform::ResourceText(kStatusWaitingToRedial);
    if (const int countdown = m_context.redialCountdown.load(); countdown >= 1)
        line += ": " + data::FormatLogDuration(countdown);
    return m_redialReason.empty() ? line : m_redialReason + ". " + line;
}

void TransferWindowLogic::HandleReset() {
    std::time_t now = m_clock();
    // Only a record still open belongs to the file the broken call was moving; one closed
    // before keeps its result.
    if (!m_fileRecords.empty() && !m_fileRecords.back().closed) {
        data::FileRecord& last = m_fileRecords.back();
        last.duration = now - last.start;
        last.failed = data::kRecordFailed;
        last.closed = 1;
    }
    m_lastFilesDone = 0;
    m_lastFilesSkipped = 0;
    m_lastFilesFailed = 0;
    // The file that failed is offered again in the next cycle and gets a record of its own, so
    // a resume that completes is logged as the success it is.
    m_currentFileName.clear();
    // The worker shortened the list before it posted the reset record.
    m_fileCount = CountListEntries(m_parameter.fileList);
    m_shownFileName.clear();
    m_shownFilesDone = -1;
    m_shownErrors = -1;
    m_lastElapsedShown = 0;
    m_fileStartOffset = 0;
    m_carrierLost = false;
    m_carrierAbortRaised = false;
    ResetTexts();
    m_progress = 0;
}

void TransferWindowLogic::CloseEndedRecord(const ProgressRecord& r, std::time_t now) {
    const std::string& fileName = r.fileName;
    // Close the record of the file that just ended.
    bool changed = IsSend() ? r.filesDone != m_lastFilesDone : fileName != m_currentFileName;
    if (changed) {
        if (!m_fileRecords.empty() && !m_fileRecords.back().closed) {
            data::FileRecord& last = m_fileRecords.back();
            last.duration = now - last.start;
            // A received file that the receiver did not count (skipped, or refused because it
            // could not be stored) did not arrive.
            const bool arrived = IsSend() || r.filesDone > m_lastFilesDone;
            last.failed =
                r.statusCode == 0 && arrived ? data::kRecordSuccessful : data::kRecordFailed;
            last.closed = 1;
        }
        m_lastFilesDone = r.filesDone;
    }

    // The receiver skipped the file in progress (one the count of files sent has not just
    // closed): its record closes, and the log writer calls it skipped when no data had moved.
    if (IsSend() && r.filesSkipped > m_lastFilesSkipped && !m_fileRecords.empty() &&
        !m_fileRecords.back().closed) {
        data::FileRecord& last = m_fileRecords.back();
        last.duration = now - last.start;
        last.closed = 1;
        m_skippedByReceiver.push_back(m_fileRecords.size() - 1);
    }
    m_lastFilesSkipped = r.filesSkipped;
}

void TransferWindowLogic::OpenBeginningRecord(const ProgressRecord& r, std::time_t now) {
    const std::string& fileName = r.fileName;
    if (fileName == m_currentFileName)
        return;
    if (!IsNoFile(fileName)) {
        data::FileRecord record;
        record.closed = 0;
        record.start = now;
        record.duration = 0;
        record.size = r.fileSize;
        record.failed = data::kRecordFailed;
        record.isReceive = IsSend() ? 0 : 1;
        record.path = IsSend() ? fileName : ReceivingFolder() + "/" + data::FileNamePart(fileName);
        record.peer = PeerText();
        record.lastTime = now;
        record.lastPosition = 0;
        m_fileRecords.push_back(std::move(record));
        m_block.fileRecords = static_cast<int>(m_fileRecords.size());
        m_lastFilesDone = r.filesDone;
    }
    m_currentFileName = fileName;
}

void TransferWindowLogic::CloseRefusedRecord(const ProgressRecord& r) {
    // A file to send that could not be read when its turn came: its record (opened just now
    // from the same record) closes as failed, and the outcome names it.
    if (IsSend() && r.filesFailed > m_lastFilesFailed && !m_fileRecords.empty() &&
        !m_fileRecords.back().closed) {
        data::FileRecord& last = m_fileRecords.back();
        last.duration = 0;
        last.closed = 1;
        last.refused = true;
        m_block.refusedFiles.push_back(data::FileNamePart(last.path));
    }
    m_lastFilesFailed = r.filesFailed;
}

void TransferWindowLogic::HandleProgress(const ProgressRecord& r) {
    std::time_t now = m_clock();
    const std::string& fileName = r.fileName;
    CloseEndedRecord(r, now);
    OpenBeginningRecord(r, now);
    CloseRefusedRecord(r);

    // No file ("" counts as "<None>") keeps the name shown last; before the first file the
    // status line keeps the phase's text rather than a "Sending: " without a name.
    if (!IsNoFile(fileName) && fileName != m_shownFileName) {
        m_shownFileName = fileName;
        SetText(kControlStatusLine,
                platform::FormatMessage1(
                    platform::ResourceText(IsSend() ? kTextSending : kTextReceiving),
                    data::FileNamePart(m_shownFileName)));
    }

    // A new count of files done restarts the measurements of speed and time.
    if (r.filesDone != m_shownFilesDone) {
        m_shownFilesDone = r.filesDone;
        SetText(kControlFiles, IsSend()
                                   ? FormatLongs(kTextFilesRemaining, m_fileCount - r.filesDone)
                                   : FormatLongs(kTextFilesReceived, r.filesDone));
        m_fileStartOffset = 0;
        m_fileStartTime = now;
        m_fileStartMs = m_msClock();
    }

    std::int64_t elapsed = now - m_fileStartTime;
    if (elapsed != m_lastElapsedShown) {
        SetText(kControlElapsed, data::FormatLogDuration(elapsed));
        m_lastElapsedShown = elapsed;
    }

    // A resumed file is measured from where it resumed.
    if (r.resumeOffset != 0)
        m_fileStartOffset = r.resumeOffset;
    if (m_fileStartOffset > r.position)
        m_fileStartOffset = 0;

    SetText(kControlBytes, BytesText(r.position, r.fileSize));

    if (!m_fileRecords.empty() && !m_fileRecords.back().closed) {
        m_fileRecords.back().lastTime = now;
        m_fileRecords.back().lastPosition = r.position;
    }

    if (r.fileSize != m_fileStartOffset)
        SetText(kControlTimeLeft, TimeLeftText(r.position, r.fileSize, m_fileStartOffset, elapsed));

    SetText(kControlSpeed, SpeedText(r.position, m_fileStartOffset,
                                     static_cast<std::uint32_t>(m_msClock() - m_fileStartMs),
                                     m_context.connectSpeed.load()));

    if (r.errors != m_shownErrors) {
        m_shownErrors = r.errors;
        SetText(kControlErrors, std::to_string(r.errors));
    }

    m_progress = ProgressPercent(r.position, r.fileSize);
    WatchCarrier(now, r.carrier);
}

void TransferWindowLogic::WatchCarrier(std::time_t now, int reportedCarrier) {
    bool present = m_carrierProbe ? m_carrierProbe() : reportedCarrier != 0;
    if (present)
        return;
    // The clock starts at the first loss and is cleared only by the next reset record.
    if (!m_carrierLost) {
        m_carrierLost = true;
        m_carrierLostSince = now;
    }
    int grace = IsSend() ? kCarrierGraceSendSeconds : kCarrierGraceReceiveSeconds;
    // Raised once per loss: a late record must not raise it again after the worker took it
    // back, and it never turns the user's Stop into a lost carrier (which would redial).
    if (now - m_carrierLostSince > grace && !m_carrierAbortRaised) {
        m_carrierAbortRaised = true;
        m_context.requests.RaiseCarrierLost();
    }
}

void TransferWindowLogic::HandleDone() {
    if (IsSend()) {
        data::AppendTransferLog(m_fileRecords, m_context.filesReceived, m_logPath);
        RemoveSentFiles();
    } else {
        ReceivedFiling(m_context, m_logPath)
            .File(m_fileRecords, m_block.finalResult == kJobSucceeded, m_clock(), [this] {
                SetText(kControlStatusLine, platform::ResourceText(kStatusConvertingMacBinary));
                if (m_observer)
                    m_observer(*this, platform::PostedMessage{});
            });
    }
    m_done = true;
}

void TransferWindowLogic::RemoveSentFiles() {
    if (!m_viewFileList)
        return;
    // The log writer calls every file that failed before its data "Skipped"; only those the
    // receiver skipped are done with. A file that was stopped or cut off during its offer was
    // never delivered and stays on the list.
    for (std::size_t i = 0; i < m_fileRecords.size(); ++i) {
        const data::FileRecord& record = m_fileRecords[i];
        if (!record.Completed() && std::find(m_skippedByReceiver.begin(), m_skippedByReceiver.end(),
                                             i) == m_skippedByReceiver.end())
            continue;
        auto it = std::find_if(m_viewFileList->begin(), m_viewFileList->end(),
                               [&](const std::string& path) {
                                   return data::CompareTextsNoCase(path, record.path) == 0;
                               });
        if (it != m_viewFileList->end())
            m_viewFileList->erase(it);
    }
}

void TransferWindowLogic::PressStopButton() {
    if (m_dialNowShown) {
        m_context.requests.RequestDialNow();
        return;
    }
    CloseCommand();
}

void TransferWindowLogic::CloseCommand() {
    // A second Stop, or a stop while the carrier watch already ended the job, asks nothing.
    if (m_context.requests.Any()) {
        m_context.requests.RequestStop();
        return;
    }
    if (data::ShowMessage(data::MessageKind::QuestionYesNo, kQuestionStop) !=
        data::MessageAnswer::No)
        m_context.requests.RequestStop();
}

std::string TransferWindowLogic::ControlText(int control) const {
    if (control == kControlProgress)
        return std::to_string(m_progress);
    auto it = m_texts.find(control);
    return it == m_texts.end() ? std::string() : it->second;
}

} // namespace jobs
