// How a transfer job sets up ZMODEM: the application's file engine, the streaming sender,
// the patient receiver working in the receive folder.
#pragma once

#include <memory>
#include <string>

#include "protocol/ListFileEngine.h"
#include "protocol/ReceivingZmodem.h"

namespace protocol {

// The protocol objects of one transfer; the engine outlives the transfer that uses it.
template <class Protocol> struct ZmodemJob {
    std::unique_ptr<ListFileEngine> engine;
    std::unique_ptr<Protocol> transfer;
};

// A sender over `serial` reporting to `status`, with the application's settings: a
// ListFileEngine and streaming (not windowed) sending; every other option at its default.
ZmodemJob<Zmodem> MakeSendingZmodem(comm::GFSerial* serial, TransferStatus* status);
// A ReceivingZmodem over `serial` reporting to `status`, with a ListFileEngine.
ZmodemJob<ReceivingZmodem> MakeReceivingZmodem(comm::GFSerial* serial, TransferStatus* status);

// Sends the "|"-separated list. A receiver that skipped every file (kNoFilesSent) is a success for
// the job, so the result is 0 then.
int RunSendingZmodem(comm::GFSerial* serial, TransferStatus* status, const std::string& list);

} // namespace protocol
