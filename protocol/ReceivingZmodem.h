// The receiver the application runs: silence is a time-out rather than an error, so a
// receiving job waits patiently for the first offer and for a sender that pauses.
#pragma once

#include "protocol/Zmodem.h"

namespace protocol {

class ReceivingZmodem : public Zmodem {
  public:
    // Silent periods the job waits through for the first offer before "Timed out".
    static constexpr int kSilenceLimit = 30;

    ReceivingZmodem(comm::GFSerial* serial, TransferStatus* status = nullptr);
    ~ReceivingZmodem() override;

    // As the library's, but a silent wait is counted apart and ends the run with -802 only
    // after the 31st one.
    int GetFileName() override; // 6
    // As the library's, but a wait that found no header is -802 and never counted.
    int ReadFrameHeader(int returnOnError) override; // 7
};

} // namespace protocol
