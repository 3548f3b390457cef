// The send job on its worker thread. Every failure of a connection cycle still goes through the
// hang-up; only the dial loop and the recovery after a transfer error try again, and both draw
// on the one allowance of attempts.
#include "jobs/SendJob.h"

#include <algorithm>

#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "jobs/ModemDialogue.h"
#include "jobs/StationIdentification.h"
#include "platform/Clock.h"
#include "protocol/ZmodemJob.h"

namespace jobs {
namespace {

// Slices of the redial wait: a Stop or "Dial Now" is seen within this, not only once a second.
constexpr std::uint32_t kRedialPollMs = 250;
// Ends a call attempt that is still dialling or ringing: the prefix, one blank, the terminator.
constexpr const char* kCancelDialCommand = " ";
// Starts data inside a voice call that is already up.
constexpr const char* kSvdDialCommand = "D";

// A modem command whose failure is the job's error.
int Command(JobContext& context, JobStatusBlock& block, const char* text) {
    int status = context.modem->SendCommand(text, true);
    if (status >= 0)
        return kJobSucceeded;
    block.StoreError(status);
    return kJobFailed;
}

int IgnoreAnswer(JobContext& context, int timeoutMs) {
    char line[kModemLineSize];
    const ModemResponse* entry = nullptr;
    return WaitForModemResponse(context, line, sizeof line, timeoutMs, &entry, 1);
}

// Dials (or starts the SVD call) until connected, with the redial wait between attempts.
// Returns kJobSucceeded with `entry` the connect line, or the cycle's result.
int DialUntilConnected(JobContext& context, JobStatusBlock& block, int& attempt,
                       const ModemResponse*& entry) {
    const int allowed = AllowedAttempts(context);
    for (;;) {
        ++attempt;
        int result = kJobSucceeded;
        if (context.svdInCall) {
            SetJobStatus(block, kStatusSvdConnection);
            result = Command(context, block, kSvdDialCommand);
        } else {
            SetJobStatus(block, kStatusDialing);
            result = DialNumber(context, block, context.destinationPhone);
        }
        if (result != kJobSucceeded)
            return result;

        char line[kModemLineSize];
        int code = WaitForModemResponse(context, line, sizeof line, kConnectWaitMs, &entry, 1);
        switch (code) {
        case kResponseProtocol:
        case kResponseConnect:
        case kResponseCarrier:
            return kJobSucceeded;
        case kResponseError:
        case kResponseNoDialtone:
        case kResponseRing:
            block.StoreError(code);
            return kJobFailed;
        case kResponseAborted:
            return kJobAborted;
        case kResponseBusy:
            result = kJobBusy;
            SetJobStatus(block, kStatusBusy);
            break;
        default:
            // A link that failed is a failure of its own, not a remote side that did not answer.
            if (code < 0) {
                block.StoreError(code);
                return kJobFailed;
            }
            result = kJobNoAnswer;
            SetJobStatus(block, kStatusNoAnswer);
            break;
        }

        if (Command(context, block, kCancelDialCommand) != kJobSucceeded)
            return kJobFailed;
        IgnoreAnswer(context, kModemAnswerMs);
        platform::Sleep(kAfterFailedDialMs);

        if (attempt >= allowed)
            return result;
        WaitBeforeRedial(context, block);
        context.redialCountdown = 0;
        SetJobStatus(block, kStatusWaitingToRedial);
        if (context.requests.StopRequested())
            return kJobAborted;
    }
}

// Hands the list to the ZMODEM sender and maps its result to the job's.
int SendFiles(JobContext& context, JobStatusBlock& block, const std::string& fileList) {
    SetJobStatus(block, kStatusSendingFiles);
    // What the window raised about the previous call must not stop this one.
    context.requests.TakeBackCarrierLost();
    // A receiver that skipped every file has them all already: that is a success.
    const int status = protocol::RunSendingZmodem(context.link, &block.Reporter(), fileList);
    return TransferOutcome(context, block, status);
}

// One connection: initialise, dial, connect, identify, send.
int RunConnectionCycle(JobContext& context, JobStatusBlock& block, const std::string& fileList,
                       int& attempt, bool& connected) {
    connected = false;
    int result = InitializeModemForJob(context, block);
    if (result != kJobSucceeded)
        return result;

    const ModemResponse* entry = nullptr;
    result = DialUntilConnected(context, block, attempt, entry);
    if (result != kJobSucceeded)
        return result;
    connected = true;

    context.connectSpeed = entry ? entry->ConnectionSpeed() : 0;
    SetJobStatus(block, kStatusConnected);
    platform::Sleep(kAfterConnectMs);
    SetJobStatus(block, kStatusNegotiating);

    result = ExchangeIdentificationAsCaller(context, block);
    if (result != kJobSucceeded)
        return result;
    return SendFiles(context, block, fileList);
}

// A failure while files were moving, other than a cancel by either side, is worth a new call.
bool WorthRecovering(const JobContext& context, const JobStatusBlock& block) {
    return block.statusAtError == kStatusSendingFiles && block.errorCode < 0 &&
           block.errorCode != comm::kUserCancelled && block.errorCode != comm::kRemoteCancelled &&
           !context.requests.StopRequested();
}

} // namespace

int AllowedAttempts(const JobContext& context) {
    std::uint32_t setting = context.settings ? context.settings->numberOfAttempts : 1;
    return static_cast<int>(std::clamp<std::uint32_t>(setting, 1, 1000));
}

int DialNumber(JobContext& context, JobStatusBlock& block, const std::string& number) {
    // A "Dial Now" that came after the wait before this dial had ended is done with.
    context.requests.TakeBackDialNow();
    const std::size_t length = number.size();
    std::size_t offset = 0;
    while (offset < length) {
        std::size_t rest = length - offset;
        std::string command = "DT" + number.substr(offset, kDialPieceLength);
        offset += kDialPieceLength;
        bool last = rest <= static_cast<std::size_t>(kDialPieceLength);
        if (!last)
            command += ';';
        if (Command(context, block, command.c_str()) != kJobSucceeded)
            return kJobFailed;
        if (last)
            break;
        char line[kModemLineSize];
        const ModemResponse* entry = nullptr;
        int code = WaitForModemResponse(context, line, sizeof line, kConnectWaitMs, &entry, 1);
        if (code == kResponseAborted)
            return kJobAborted;
        if (code != kResponseOk) {
            block.StoreError(code);
            return kJobFailed;
        }
    }
    return kJobSucceeded;
}

void WaitBeforeRedial(JobContext& context, JobStatusBlock& block) {
    std::uint32_t minutes = context.settings ? context.settings->delayBetweenRedials : 0;
    int seconds = static_cast<int>(std::min<std::uint32_t>(minutes, 24 * 60) * 60);
    while (seconds > 0) {
        context.redialCountdown = seconds;
        SetJobStatus(block, kStatusWaitingToRedial);
        for (std::uint32_t waited = 0; waited < kRedialStepMs; waited += kRedialPollMs) {
            platform::Sleep(kRedialPollMs);
            // A lost carrier concerns the call that has ended, not this wait.
            context.requests.TakeBackCarrierLost();
            if (context.requests.Any())
                break;
        }
        --seconds;
        if (context.requests.Any()) {
            // "Dial Now" is a request to this wait only; the job goes on as if it had run out.
            context.requests.TakeBackDialNow();
            break;
        }
    }
}

void TrimFileListToCurrent(std::string& fileList, const std::string& name, bool finished) {
    if (name.empty())
        return;
    // An entry that is the name itself first, so a name that is also the tail of another
    // entry's path does not cut the list in the wrong place.
    std::size_t at = 0;
    while ((at = fileList.find(name, at)) != std::string::npos) {
        bool starts = at == 0 || fileList[at - 1] == kFileListSeparator;
        std::size_t end = at + name.size();
        bool ends = end == fileList.size() || fileList[end] == kFileListSeparator;
        if (starts && ends)
            break;
        ++at;
    }
    if (at == std::string::npos) {
        // A shortened name: the entry that holds it.
        at = fileList.find(name);
        if (at == std::string::npos)
            return;
        std::size_t separator = fileList.rfind(kFileListSeparator, at);
        at = separator == std::string::npos ? 0 : separator + 1;
    }
    if (finished) {
        std::size_t next = fileList.find(kFileListSeparator, at);
        at = next == std::string::npos ? fileList.size() : next + 1;
    }
    fileList.erase(0, at);
}

int TransferOutcome(JobContext& context, JobStatusBlock& block, int status) {
    // The window stopped the protocol because the carrier stayed down: the line is lost, which
    // a send job's recovery treats like any other transfer error.
    // A request the window raised after the protocol had ended on its own is taken back too.
    if (context.requests.TakeBackCarrierLost() && status == comm::kUserCancelled)
        status = comm::kLostCarrier;
    if (status < 0) {
        block.StoreError(status);
        return kJobFailed;
    }
    return kJobSucceeded;
}

void HangUpAfterJob(JobContext& context, JobStatusBlock& block, bool connected) {
    SetJobStatus(block, kStatusDisconnecting);
    if (!context.modem)
        return;
    context.modem->HangUp();
    IgnoreAnswer(context, kModemAnswerMs);
    if (connected)
        IgnoreAnswer(context, kModemAnswerMs);
}

int SendJobThread(JobThreadParameter& parameter) {
    JobContext& context = *parameter.context;
    JobStatusBlock& block = *parameter.block;
    const int allowed = AllowedAttempts(context);
    int attempt = 0;
    int result = kJobSucceeded;
    for (;;) {
        block.errorCode = 0;
        block.statusAtError = 0;
        bool connected = false;
        result = RunConnectionCycle(context, block, parameter.fileList, attempt, connected);
        HangUpAfterJob(context, block, connected);

        if (!WorthRecovering(context, block))
            break;
        std::string remaining = parameter.fileList;
        TrimFileListToCurrent(remaining, block.Reporter().CurrentFileName(),
                              block.Reporter().CurrentFileFinished());
        if (remaining.empty()) {
            // Every file was finished with before the line broke (during the closing of the
            // session): there is nothing to call again for.
            block.errorCode = 0;
            block.statusAtError = 0;
            result = kJobSucceeded;
            break;
        }
        // The error goes with the message: it is cleared below before the window may look.
        block.SetCurrentStatus(kStatusRetry);
        platform::PostMessage(block.Window(), WM_JOB_STATUS, kStatusRetry, block.errorCode);
        platform::Sleep(kBeforeRetryMs);
        if (attempt >= allowed) {
            result = kJobRetriesExhausted;
            break;
        }
        block.errorCode = 0;
        block.statusAtError = 0;
        context.link->PurgeInput(0);
        parameter.fileList = remaining;
        SetJobStatus(block, kStatusRecovering);
        PostResetRecord(block.Window());
        platform::Sleep(kAfterRecoveryResetMs);
        WaitBeforeRedial(context, block);
        context.redialCountdown = 0;
        SetJobStatus(block, kStatusWaitingToRedial);
        if (context.requests.StopRequested()) {
            result = kJobAborted;
            break;
        }
    }
    block.finalResult = result;
    PostJobDone(block);
    return 0;
}

} // namespace jobs
