// Job preparation shared by every front end.
#include "jobs/JobPreparation.h"

#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "platform/ResourceStrings.h"
#include "protocol/FileEngine.h"

namespace jobs {
namespace {

constexpr int kHandshakeSoftware = 1;   // XON/XOFF on input and output
constexpr int kHandshakeRtsInput = 4;   // RTS drops when our input is full
constexpr int kHandshakeCtsOutput = 12; // output waits while CTS is off

OutcomeMessage PortFailure(int code, bool isSend) {
    JobEnd end;
    end.isSend = isSend;
    end.finalResult = kJobFailed;
    end.errorCode = code;
    end.statusAtError = kStatusOpeningPort;
    return ShowJobError(end);
}

} // namespace

PrepareResult PrepareTransferJob(const data::AppSettings& settings, int comNumber,
                                 const comm::ModemProfile& profile,
                                 const std::string& extraSettings,
                                 const comm::ResponseTable& responses, bool isSend) {
    PrepareResult result;
    auto job = std::make_unique<PreparedJob>();
    job->port =
        std::make_unique<comm::JobSerialPort>(comNumber - 1, kJobReceiveQueue, kJobTransmitQueue);
    int status = job->port->LastStatus();
    if (status != 0) {
        result.failure = PortFailure(status, isSend);
        return result;
    }
    job->link = std::make_unique<comm::GFSerial>(job->port.get());
    status =
        job->link->Settings()->Apply(static_cast<long>(data::PortSpeedOf(settings)), 'N', 8, 1);
    if (status != 0) {
        int code = job->port->TakeLastStatus();
        result.failure = PortFailure(code != 0 ? code : status, isSend);
        return result;
    }
    if (settings.flowControl == data::kFlowSoftware) {
        job->link->Status()->SetHandshake(kHandshakeSoftware, kHandshakeSoftware);
    } else {
        job->link->Status()->SetHandshake(kHandshakeRtsInput, kHandshakeCtsOutput);
        job->link->Status()->Refresh();
        if (job->link->Status()->Cts() == 0) {
            result.failure.kind = isSend ? MessageKind::MessageBox : MessageKind::TimedMessage;
            result.failure.stringId = kMsgModemNotReady;
            result.failure.text = std::string(platform::LoadResourceString(kMsgModemNotReady));
            result.failure.icon = MessageIcon::Warning;
            return result;
        }
    }
    job->modem = std::make_unique<JobModem>();

    JobContext& context = job->context;
    context.isSend = isSend ? 1 : 0;
    context.speakerMode = static_cast<int>(settings.speakerVolume);
    context.stationName = settings.stationName;
    context.stationPhone = settings.stationPhoneNumber;
    context.port = job->port.get();
    context.link = job->link.get();
    context.modem = job->modem.get();
    job->modem->Watch(&context.requests);
    context.profile = profile;
    context.extraSettings = extraSettings;
    for (const auto& entry : responses)
        context.responses.push_back(std::make_unique<ModemResponse>(*entry));
    context.connectedBeforeAnswer = 0;
    context.connectResponse = ModemResponse{};
    context.settings = &settings;
    result.job = std::move(job);
    return result;
}

std::vector<std::string> FilesThatCannotBeSent(const std::vector<std::string>& paths) {
    std::vector<std::string> refused;
    for (const std::string& path : paths) {
        const std::int64_t size = data::FileSizeOf(path);
        if (size < 0 || size > protocol::kMaxTransferFileSize)
            refused.push_back(path);
    }
    return refused;
}

} // namespace jobs
