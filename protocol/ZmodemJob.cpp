// The job's ZMODEM set-up.
#include "protocol/ZmodemJob.h"

#include "comm/StatusCodes.h"

namespace protocol {

using namespace comm;

ZmodemJob<Zmodem> MakeSendingZmodem(comm::GFSerial* serial, TransferStatus* status) {
    ZmodemJob<Zmodem> job;
    job.engine = std::make_unique<ListFileEngine>();
    job.transfer = std::make_unique<Zmodem>(serial, status);
    job.transfer->SetFileEngine(job.engine.get());
    job.transfer->SetWindowedSending(false);
    job.transfer->SetAdaptiveWindow(true);
    return job;
}

ZmodemJob<ReceivingZmodem> MakeReceivingZmodem(comm::GFSerial* serial, TransferStatus* status) {
    ZmodemJob<ReceivingZmodem> job;
    job.engine = std::make_unique<ListFileEngine>();
    job.transfer = std::make_unique<ReceivingZmodem>(serial, status);
    job.transfer->SetFileEngine(job.engine.get());
    return job;
}

int RunSendingZmodem(comm::GFSerial* serial, TransferStatus* status, const std::string& list) {
    ZmodemJob<Zmodem> job = MakeSendingZmodem(serial, status);
    int result = job.transfer->Send(list.c_str());
    return result == kNoFilesSent ? 0 : result;
}

} // namespace protocol
