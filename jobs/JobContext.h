// The records a transfer job shares between its owner window and its worker thread: the job
// context, the modem's response table and the process-wide abort flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Arrival.h"
#include "comm/ComLink.h"
#include "comm/GFSerial.h"
#include "comm/HayesModem.h"
#include "comm/ModemProfile.h"
#include "comm/ModemResponse.h"

namespace data {
struct AppSettings;
}

namespace jobs {

using comm::kResponseAborted;
using comm::kResponseBusy;
using comm::kResponseCarrier;
using comm::kResponseConnect;
using comm::kResponseError;
using comm::kResponseNoCarrier;
using comm::kResponseNoDialtone;
using comm::kResponseOk;
using comm::kResponseProtocol;
using comm::kResponseRing;
using comm::kResponseTimedOut;
using comm::kResponseUnrecognised;
using comm::ModemResponse;
using comm::ResponseCode;
using comm::ResponseTable;

// Values of JobAbortFlag.
inline constexpr int kAbortNone = 0;
inline constexpr int kAbortStop = 1;        // the user pressed Stop
inline constexpr int kAbortCarrierLost = 2; // the carrier has been down too long
inline constexpr int kAbortDialNow = 3;     // "Dial Now" while waiting to redial

// Written by the user interface, polled by the worker at every bounded wait. The window sets it
// to kAbortNone just before it starts a worker.
extern std::atomic<int> JobAbortFlag;

// Whether the user asked the worker to stop. "Dial Now" only ends the wait before a redial; it
// is taken back when the dial starts and means nothing anywhere else, since a press can arrive
// just after the wait has ended. A lost carrier stops only a running transfer: the window can
// raise it from a record it reads after the transfer has ended, and the job must then go on
// (redial, or wait for the next call) rather than take it for the user's Stop.
inline bool StopRequested() {
    return JobAbortFlag.load() == kAbortStop;
}

// Whether a running transfer should stop: the user's Stop or a carrier that stayed down.
inline bool TransferStopRequested() {
    const int flag = JobAbortFlag.load();
    return flag == kAbortStop || flag == kAbortCarrierLost;
}

// Takes back a lost-carrier request; returns whether there was one.
inline bool TakeBackCarrierAbort() {
    int expected = kAbortCarrierLost;
    return JobAbortFlag.compare_exchange_strong(expected, kAbortNone);
}

inline constexpr const char* kOwnVersion = "1.0";
inline constexpr int kMachineMacintosh = 0;
inline constexpr int kMachinePc = 1;
inline constexpr int kMachineUnix = 2;

// One per job, owned by the window that prepared it (the main view for a send job, the waiting
// dialog for a receive job). The worker only reads and fills it; the fields a window reads while
// the job runs are written before the status id that makes it read them is posted.
struct JobContext {
    int isSend{0};
    std::string destinationName;
    std::string destinationPhone;
    int speakerMode{0}; // index 0-3 into the modem's speaker commands
    int svdInCall{0};   // a voice call is up and data starts inside it
    std::string receiveFolder;
    // The station's folder inside receiveFolder that the current call's files are received
    // into; set by the receive job before the files begin.
    std::string callFolder;
    // What the current call's receiver stored, under which offered names and dates; written
    // by the receive job, read by the window once the job is done.
    std::vector<protocol::ArrivedFile> arrivals;
    std::string ownVersion{kOwnVersion};
    int ownMachineType{kMachinePc};
    std::string stationName;
    std::string stationPhone;

    // Not owned: the view that prepared the job keeps the port, link and modem alive.
    comm::ComLink* port{nullptr};
    comm::GFSerial* link{nullptr};
    comm::HayesModem* modem{nullptr};

    comm::ModemProfile profile{comm::DefaultModemProfile()};
    // Sent after the initialisation as a command of its own; empty for none.
    std::string extraSettings;
    ResponseTable responses;

    int connectedBeforeAnswer{0};
    ModemResponse connectResponse;
    std::atomic<int> connectSpeed{0};    // bits per second of the current connection
    std::atomic<int> redialCountdown{0}; // seconds before the next dial attempt

    int peerIsSame{0};
    std::string peerVersion;
    int peerMachineType{0};
    std::string peerUser;
    std::string peerPhone;

    const data::AppSettings* settings{nullptr};

    // Receive side, over the whole waiting for calls: calls handed to a receive job, and files
    // received whole (counted by the transfer log's writer).
    int callsAnswered{0};
    int filesReceived{0};
};

} // namespace jobs
