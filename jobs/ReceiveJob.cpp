// The receive side's workers. There is no redial and no recovery here: a broken transfer is
// resumed when the sender calls again and offers the file once more.
#include "jobs/ReceiveJob.h"

#include <ctime>

#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "jobs/FiledCopies.h"
#include "jobs/ModemDialogue.h"
#include "jobs/SendJob.h"
#include "jobs/StationIdentification.h"
#include "platform/Clock.h"
#include "platform/ResourceStrings.h"
#include "protocol/ReceivingZmodem.h"

namespace jobs {
namespace {

bool IsConnectLine(int code) {
    return code == kResponseProtocol || code == kResponseConnect || code == kResponseCarrier;
}

// Initialises the modem; a RING in the middle (a call is coming in) is worth another try.
int InitializeForCalls(JobContext& context, JobStatusBlock& block) {
    for (int tries = 0; tries < kInitialisationTries; ++tries) {
        int result = InitializeModemForJob(context, block);
        if (result == kJobSucceeded)
            return result;
        if (result != kJobFailed || block.errorCode != kResponseRing)
            return result;
        // The ring is no failure of the wait: it must not be reported if the wait goes on.
        block.errorCode = 0;
        block.statusAtError = 0;
        block.finalResult = kJobSucceeded;
    }
    return kJobSucceeded;
}

int CountRingsAndAnswer(JobContext& context, JobStatusBlock& block) {
    SetJobStatus(block, kStatusWaitingForRing);
    const int answerAfter =
        context.settings ? static_cast<int>(context.settings->answerAfterRings) : 1;
    int rings = 0;
    while (rings < answerAfter) {
        char line[kModemLineSize];
        const ModemResponse* entry = nullptr;
        int code = WaitForModemResponse(context, line, sizeof line, kConnectWaitMs, &entry, 1);
        if (code == kResponseRing) {
            ++rings;
        } else if (code == kResponseTimedOut || code == kResponseOk) {
            // Two quiet minutes only give the abort flag a look; the rings so far still count.
        } else if (IsConnectLine(code)) {
            // The modem answered by itself (auto-answer): no answer command, and the receive
            // job takes this line as its connection.
            context.connectedBeforeAnswer = 1;
            context.connectResponse = entry ? *entry : ModemResponse{};
            return kCallAnswered;
        } else if (code == kResponseAborted) {
            return kCallWaitAborted;
        } else {
            block.StoreError(code);
            return kCallWaitFailed;
        }
    }
    int status = context.modem->Answer();
    if (status < 0) {
        block.StoreError(status);
        return kCallWaitFailed;
    }
    return kCallAnswered;
}

// Waits for the connection of the answered call; the entry is its connect line.
int AwaitConnection(JobContext& context, JobStatusBlock& block, ModemResponse& connection) {
    if (context.connectedBeforeAnswer) {
        connection = context.connectResponse;
        return kJobSucceeded;
    }
    char line[kModemLineSize];
    const ModemResponse* entry = nullptr;
    int code = WaitForModemResponse(context, line, sizeof line, kConnectWaitMs, &entry, 1);
    // Some modems say OK instead of CONNECT once the answer tone is through.
    if (code == kResponseOk || IsConnectLine(code)) {
        connection = entry ? *entry : ModemResponse{};
        return kJobSucceeded;
    }
    if (code == kResponseAborted)
        return kJobAborted;
    block.StoreError(code);
    return kJobFailed;
}

constexpr std::size_t kStationNameBytes = 120;

int ReceiveFiles(JobContext& context, JobStatusBlock& block) {
    context.callFolder =
        StationPartialFolder(context.receiveFolder, context.peerUser, context.peerPhone);
    // Without a folder of its own the call still resumes nothing it cannot prove: the arrival
    // rules ask the sender for the CRC of a copy's bytes.
    if (!data::CreateFolderPath(context.callFolder))
        context.callFolder = context.receiveFolder;
    SetJobStatus(block, kStatusReceivingFiles);
    int status;
    {
        ReceiveFolderEngine engine(context.callFolder);
        if (!engine.Ready()) {
            block.StoreError(comm::kFileOpenError);
            return kJobFailed;
        }
        protocol::ReceivingZmodem receiver(context.link, &block.Reporter());
        receiver.SetFileEngine(&engine);
        protocol::ArrivalPolicy policy;
        policy.crashRecovery = true;
        policy.overwrite = false; // the station's copies are never written over
        // Trust without proof only for a station that named itself and has a folder of its
        // own: in the shared folder another station's copy may be under the same name.
        policy.knownStation = (!context.peerUser.empty() || !context.peerPhone.empty()) &&
                              context.callFolder != context.receiveFolder;
        receiver.SetArrivalPolicy(policy);
        receiver.SetFiledFiles(LoadFiledFiles(context.callFolder, std::time(nullptr)));
        status = receiver.Receive();
        context.arrivals = receiver.Arrivals();
    }
    return TransferOutcome(context, block, status);
}

} // namespace

std::string StationPartialFolder(const std::string& partialFolder, const std::string& user,
                                 const std::string& phone) {
    // Every caller without a name shares one folder: its partial copies are resumed, and
    // its filed files recognised, only on the proof of their bytes.
    if (user.empty() && phone.empty())
        return partialFolder + "/Unknown caller";
    // "user (phone)", or either alone.
    std::string name = platform::CutToBytes(user, kStationNameBytes);
    if (!phone.empty())
        name += (name.empty() ? "(" : " (") + platform::CutToBytes(phone, kStationNameBytes) + ")";
    return partialFolder + "/" + data::SanitizeFileName(name, true);
}

ReceiveFolderEngine::ReceiveFolderEngine(const std::string& folder) {
    m_ready = SetFolder(folder);
}

int WaitForCallThread(JobThreadParameter& parameter) {
    JobContext& context = *parameter.context;
    JobStatusBlock& block = *parameter.block;
    // A new call begins: what the previous one connected with and who called are no longer
    // true (a caller without identification must not be taken for the previous station).
    context.connectedBeforeAnswer = 0;
    context.connectResponse = ModemResponse{};
    context.peerIsSame = 0;
    context.peerVersion.clear();
    context.peerMachineType = 0;
    context.peerUser.clear();
    context.peerPhone.clear();
    context.callFolder.clear();
    context.arrivals.clear();

    int result = InitializeForCalls(context, block);
    if (result == kJobSucceeded)
        result = CountRingsAndAnswer(context, block);
    else
        result = result == kJobAborted ? kCallWaitAborted : kCallWaitFailed;
    PostCallWaitDone(block, result);
    return 0;
}

int ReceiveJobThread(JobThreadParameter& parameter) {
    JobContext& context = *parameter.context;
    JobStatusBlock& block = *parameter.block;
    SetJobStatus(block, kStatusAnswering);
    bool connected = false;
    ModemResponse connection;
    int result = AwaitConnection(context, block, connection);
    if (result == kJobSucceeded) {
        connected = true;
        context.connectSpeed = connection.ConnectionSpeed();
        SetJobStatus(block, kStatusConnected);
        platform::Sleep(kAfterConnectMs);
        SetJobStatus(block, kStatusNegotiating);
        result = ExchangeIdentificationAsAnswerer(context, block);
        if (result == kJobSucceeded)
            result = ReceiveFiles(context, block);
    }
    HangUpAfterJob(context, block, connected);
    block.finalResult = result;
    PostJobDone(block);
    return 0;
}

} // namespace jobs
