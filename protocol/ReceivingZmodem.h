// The receiver the application runs: silence is a time-out rather than an error, so a
// receiving job waits patiently for the first offer (through 30 silent periods, then "Timed
// out") and for a sender that pauses.
#pragma once

#include "protocol/Zmodem.h"

namespace protocol {

class ReceivingZmodem : public Zmodem {
  public:
    // Silent periods the job waits through for the first offer before "Timed out".
    static constexpr int kSilenceLimit = 30;
    // A caller who has not started a ZMODEM sender within two minutes is not coming.
    static constexpr long kFirstFrameLimitMs = 120000;

    ReceivingZmodem(comm::GFSerial* serial, TransferStatus* status = nullptr);
    ~ReceivingZmodem() override;
};

} // namespace protocol
