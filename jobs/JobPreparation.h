// Preparing and releasing a transfer job: the serial port of the selected modem opened with the
// job's queue sizes, the link over it at the chosen speed and flow control, the job modem, and
// a job context filled from the settings. The main window and the command-line front end both
// prepare their jobs here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "comm/GFSerial.h"
#include "comm/JobSerialPort.h"
#include "comm/ModemProfile.h"
#include "comm/ModemResponse.h"
#include "jobs/JobContext.h"
#include "jobs/JobOutcome.h"
#include "jobs/ModemDialogue.h"

namespace data {
struct AppSettings;
}

namespace jobs {

inline constexpr long kJobReceiveQueue = 16384;
inline constexpr long kJobTransmitQueue = 8192;
inline constexpr int kMsgModemNotReady = 50229;

// The objects of one job. The context points at the port, link and modem, so a prepared job
// never moves; it is released (all of it) by destroying it.
struct PreparedJob {
    std::unique_ptr<comm::JobSerialPort> port;
    std::unique_ptr<comm::GFSerial> link;
    std::unique_ptr<JobModem> modem;
    JobContext context;
};

struct PrepareResult {
    std::unique_ptr<PreparedJob> job; // null when preparing failed
    OutcomeMessage failure;           // what to tell the user when it failed
};

// Opens "COM<comNumber>" (1-based) for a job and fills the context from the settings, the
// installed modem's profile, the extra settings that go with it and its response table. On failure
// nothing stays open and `failure` holds the message for the user (the port's error as "Opening
// Port", or the modem not ready on hardware flow control). `isSend` chooses how the message is
// presented.
PrepareResult PrepareTransferJob(const data::AppSettings& settings, int comNumber,
                                 const comm::ModemProfile& profile,
                                 const std::string& extraSettings,
                                 const comm::ResponseTable& responses, bool isSend);

// The files of a send list that cannot be sent as they are: gone, unreadable, no plain file,
// or larger than ZMODEM's 32-bit positions carry. Checked before dialling.
std::vector<std::string> FilesThatCannotBeSent(const std::vector<std::string>& paths);
// String 50243, to show with the names (one per line) of those files.
inline constexpr int kMsgCannotBeSent = 50243;

} // namespace jobs
