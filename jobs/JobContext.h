// The records a transfer job shares between its owner window and its worker thread: the job
// context with its requests to the worker, and the modem's response table.
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

// What a job's window (or the command line's signal handler) has asked of its worker, read by
// the worker at every bounded wait. One per job, held by its context: two jobs side by side
// never see each other's requests.
//
// Stop is the user's, and final: it overrides any other request. "Dial Now" ends only the wait
// before a redial: it is taken back when the dial starts and means nothing anywhere else, since
// a press can arrive just after the wait has ended. A lost carrier stops only a running
// transfer: the window can raise it from a record it reads after the transfer has ended, and
// the job must then go on (redial, or wait for the next call) rather than take it for Stop.
class JobRequests {
  public:
    enum class Request { None, Stop, CarrierLost, DialNow };

    // Before a worker starts: nothing is asked.
    void Clear() { m_request = Request::None; }
    // Safe in a signal handler (a lock-free store).
    void RequestStop() { m_request = Request::Stop; }
    // Made unless Stop was; true when it was made.
    bool RequestDialNow() {
        Request current = Current();
        while (current != Request::Stop) {
            if (m_request.compare_exchange_weak(current, Request::DialNow))
                return true;
        }
        return false;
    }
    // Made only when nothing else is asked; true when it was made.
    bool RaiseCarrierLost() { return Replace(Request::None, Request::CarrierLost); }
    // Takes back a request of that kind; true when there was one.
    bool TakeBackDialNow() { return Replace(Request::DialNow, Request::None); }
    bool TakeBackCarrierLost() { return Replace(Request::CarrierLost, Request::None); }

    Request Current() const { return m_request.load(); }
    bool Any() const { return Current() != Request::None; }
    bool StopRequested() const { return Current() == Request::Stop; }
    // Whether a running transfer should stop: the user's Stop or a carrier that stayed down.
    bool TransferStopRequested() const {
        const Request r = Current();
        return r == Request::Stop || r == Request::CarrierLost;
    }

  private:
    bool Replace(Request from, Request to) { return m_request.compare_exchange_strong(from, to); }

    std::atomic<Request> m_request{Request::None};
    static_assert(std::atomic<Request>::is_always_lock_free);
};

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

    // Stop, Dial Now and a lost carrier, for this job's worker.
    JobRequests requests;

    // Receive side, over the whole waiting for calls: calls handed to a receive job, and files
    // received whole (counted by the transfer log's writer).
    int callsAnswered{0};
    int filesReceived{0};
};

} // namespace jobs
