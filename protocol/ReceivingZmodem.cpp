// The application's receiver: the library's, with silence kept out of the error counts.
#include "protocol/ReceivingZmodem.h"

#include "comm/StatusCodes.h"

namespace protocol {

using namespace comm;
using namespace zmodem;

ReceivingZmodem::ReceivingZmodem(comm::GFSerial* serial, TransferStatus* status)
    : Zmodem(serial, status) {
    m_silenceCounts = false;
    m_offerSilenceLimit = kSilenceLimit;
    m_firstFrameLimitMs = kFirstFrameLimitMs;
}

ReceivingZmodem::~ReceivingZmodem() = default;

} // namespace protocol
