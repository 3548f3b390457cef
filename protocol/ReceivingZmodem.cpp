// The application's receiver: the library's, with silence kept out of the error counts.
#include "protocol/ReceivingZmodem.h"

#include "comm/StatusCodes.h"

namespace protocol {

using namespace comm;
using namespace zmodem;

ReceivingZmodem::ReceivingZmodem(comm::GFSerial* serial, TransferStatus* status)
    : Zmodem(serial, status) {}

ReceivingZmodem::~ReceivingZmodem() = default;

int ReceivingZmodem::ReadFrameHeader(int returnOnError) {
    return ReadHeaderLoop(returnOnError, false);
}

int ReceivingZmodem::GetFileName() {
    TransferStatus& st = *m_status;
    int silences = 0;
    for (;;) {
        if (!SendReceiverInit())
            return 0;
        int type = ReadFrameHeader(1);
        bool count = false;
        switch (type) {
        case kZsinit:
            count = !AcceptSenderInit();
            break;
        case kZfile:
            if (ReadDataSubpacket() >= 0)
                return 1;
            break; // a damaged offer is simply invited again
        case kZfin:
            AnswerFinish();
            return 0;
        default:
            Trace("GetFileName: frame_type=%d", type);
            if (type == kZrqinit) {
                SkipHexLineEnd();
            } else if (type == kTimedOut && m_headerForm == kNoHeaderForm) {
                if (++silences > kSilenceLimit)
                    Fail(kTimedOut);
            } else {
                count = true;
            }
            break;
        }
        if (count && st.statusCode >= 0 && CountError())
            Fail(kTooManyErrors);
        if (st.statusCode < 0)
            return 0;
    }
}

} // namespace protocol
