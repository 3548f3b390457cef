// Outcome and error messages of a finished job.
#include "jobs/JobOutcome.h"

#include <cstdio>

#include "comm/ModemResponse.h"
#include "comm/StatusCodes.h"
#include "jobs/JobStatusBlock.h"
#include "platform/PortLock.h"
#include "platform/ResourceStrings.h"

namespace jobs {
namespace {

using comm::kResponseNoCarrier;
using comm::kResponseNoDialtone;
using comm::kResponseRing;

constexpr int kMsgSentFile = 50200;
constexpr int kMsgSentFiles = 50201;
constexpr int kMsgNotEverySent = 50242;
constexpr int kMsgNoAnswer = 50202;
constexpr int kMsgTransferFailed = 50203;
constexpr int kMsgReceivedFile = 50204;
constexpr int kMsgReceivedFiles = 50205;
constexpr int kMsgInitFailed = 50209;
constexpr int kMsgRemoteCancelled = 50210;
constexpr int kMsgNoDialtone = 50224;
constexpr int kMsgRinging = 50225;
constexpr int kMsgBusy = 50226;
constexpr int kMsgExtraSettings = 50227;
constexpr int kMsgPortInUse = 50228;
constexpr int kMsgNoConnect = 50230;
constexpr int kMsgCommunicationError = 50231;
constexpr int kMsgTransferNotStarted = 50232;
constexpr int kMsgRetriesExhausted = 50237;
constexpr int kMsgPortUnavailable = 50241;

OutcomeMessage Warning(const JobEnd& end, int id, std::string text) {
    OutcomeMessage m;
    m.kind = end.isSend ? MessageKind::MessageBox : MessageKind::TimedMessage;
    m.stringId = id;
    m.text = std::move(text);
    m.icon = MessageIcon::Warning;
    return m;
}

OutcomeMessage Warning(const JobEnd& end, int id) {
    return Warning(end, id, platform::ResourceText(id));
}

// "%s (%d)" filled with the status text and the code.
std::string CommunicationErrorLine(int code) {
    std::string format = platform::ResourceText(kMsgCommunicationError);
    std::string statusText(comm::StatusText(code));
    int size = std::snprintf(nullptr, 0, format.c_str(), statusText.c_str(), code);
    std::string line(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    std::snprintf(line.data(), line.size() + 1, format.c_str(), statusText.c_str(), code);
    return line;
}

} // namespace

std::string FilesReceivedText(int files) {
    if (files <= 1)
        return platform::ResourceText(kMsgReceivedFile);
    return platform::FormatMessage1(platform::ResourceText(kMsgReceivedFiles),
                                    std::to_string(files));
}

OutcomeMessage ShowJobOutcome(const JobEnd& end) {
    switch (end.finalResult) {
    case kJobSucceeded: {
        OutcomeMessage m;
        if (end.isSend && !end.refused.empty()) {
            std::string names;
            for (const std::string& name : end.refused)
                names += (names.empty() ? "" : ", ") + name;
            m.kind = MessageKind::MessageBox;
            m.stringId = kMsgNotEverySent;
            m.text = platform::FormatMessage1(platform::ResourceText(m.stringId), names);
            m.icon = MessageIcon::Warning;
        } else if (end.isSend) {
            m.kind = MessageKind::MessageBox;
            m.stringId = end.files == 1 ? kMsgSentFile : kMsgSentFiles;
            m.text = platform::ResourceText(m.stringId);
            m.icon = MessageIcon::Information;
        } else {
            m.kind = MessageKind::FilesReceived;
            m.filesReceived = end.files;
            m.stringId = end.files > 1 ? kMsgReceivedFiles : kMsgReceivedFile;
            m.text = FilesReceivedText(end.files);
        }
        return m;
    }
    case kJobNoAnswer:
        return Warning(end, kMsgNoAnswer);
    case kJobFailed:
        return ShowJobError(end);
    case kJobBusy:
        return Warning(end, kMsgBusy);
    case kJobRetriesExhausted:
        return Warning(end, kMsgRetriesExhausted);
    case kJobAborted:
    default:
        return {};
    }
}

OutcomeMessage ShowJobError(const JobEnd& end) {
    switch (end.errorCode) {
    case kResponseNoCarrier:
        return Warning(end, kMsgNoConnect);
    case kResponseNoDialtone:
        return Warning(end, kMsgNoDialtone);
    case kResponseRing:
        return Warning(end, kMsgRinging);
    case comm::kRemoteCancelled:
        return Warning(end, kMsgRemoteCancelled);
    case comm::kUserCancelled:
        return {};
    default:
        break;
    }
    // A caller who hung up before any file began is no failure of the waiting receiver.
    if (!end.isSend && end.errorCode == comm::kLostCarrier &&
        end.statusAtError == kStatusNegotiating)
        return {};
    if (end.statusAtError == kStatusInitializingModem)
        return Warning(end, kMsgInitFailed);
    if (end.statusAtError == kStatusReceivingFiles && end.errorCode == comm::kTimedOut &&
        end.fileRecords == 0)
        return Warning(end, kMsgTransferNotStarted);
    if (end.statusAtError == kStatusExtraSettings)
        return Warning(end, kMsgExtraSettings);
    if (end.statusAtError == kStatusOpeningPort && end.errorCode == comm::kPortOpenFailed)
        return Warning(end, kMsgPortUnavailable);
    if (end.statusAtError == kStatusOpeningPort) {
        const std::string holder = platform::LastPortHolder();
        return Warning(end, kMsgPortInUse,
                       platform::FormatMessage1(platform::ResourceText(kMsgPortInUse),
                                                holder.empty() ? "" : " (" + holder + ")"));
    }
    std::string text = platform::ResourceText(kMsgTransferFailed);
    if (end.errorCode < 0)
        text += CommunicationErrorLine(end.errorCode);
    return Warning(end, kMsgTransferFailed, std::move(text));
}

} // namespace jobs
