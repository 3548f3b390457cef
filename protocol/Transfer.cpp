// The transfer root: ownership of the default status record and file engine.
#include "protocol/Transfer.h"

namespace protocol {

Transfer::Transfer(comm::GFSerial* serial, TransferStatus* status)
    : m_serial{serial}, m_lineStatus{serial ? serial->Status() : nullptr}, m_status{status} {
    if (!m_status) {
        m_ownedStatus = std::make_unique<TransferStatus>();
        m_status = m_ownedStatus.get();
        m_ownsStatus = 1;
    }
}

Transfer::~Transfer() = default;

int Transfer::SetFileEngine(FileEngine* engine) {
    if (!engine)
        return 0;
    m_engine = engine;
    m_ownsEngine = 0;
    return 1;
}

int Transfer::SetCarrierWatch(int flag) {
    m_carrierWatch = flag;
    return flag;
}

} // namespace protocol
