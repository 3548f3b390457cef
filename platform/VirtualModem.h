// A Hayes-compatible modem whose telephone line is TCP: a serial device that dials host:port
// (or a directory number), answers incoming connections, and paces data at its line rate.
#pragma once

#include "platform/ByteQueue.h"
#include "platform/HayesCommands.h"
#include "platform/SerialDevice.h"
#include "platform/Telnet.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

namespace platform {

// Turns a dialled number into "host:port"; an empty result means the number is unknown.
// Called on the thread that writes the dial command, with the modem's lock held: it must
// not call back into the modem.
using NumberLookup = std::function<std::string(const std::string& number)>;

struct VirtualModemConfig {
    // Where incoming calls are accepted. The loopback address keeps other computers out
    // unless the user chooses otherwise; port 0 picks a free port (see ListenPort).
    std::string listenAddress{"127.0.0.1"};
    std::uint16_t listenPort{2323};
    bool listen{true};
    // Bits per second on the line (10 bits per byte); 0 means unlimited.
    std::uint32_t lineRate{115200};
    // Numbers that are not themselves host:port are looked up here first, then by lookup.
    std::map<std::string, std::string> directory;
    NumberLookup lookup;
    // No telephone line: dialling gives NO DIALTONE and nobody can call in.
    bool noLine{false};
    // Every incoming call is a telnet client, even one that does not negotiate first.
    bool telnet{false};
};

// Fixed figures of the modem, shared with its tests.
inline constexpr int kVirtualModemRingIntervalMs = 6000;
inline constexpr int kVirtualModemRingPulseMs = 2000;
// How long a dialling modem waits for the callee's handshake before taking it for a plain
// TCP service, and how long an answering modem waits for the caller's.
inline constexpr int kVirtualModemHandshakeMs = 1000;
inline constexpr long kVirtualModemTransmitQueue = 8192;
inline constexpr long kVirtualModemReceiveQueue = 65536;

class VirtualModem final : public SerialDevice, private HayesHost {
  public:
    // Starts the modem (and its listener unless config.listen is false or there is no line).
    // Returns nothing and sets error to -errno when the listening address cannot be used.
    static std::unique_ptr<VirtualModem> Open(const VirtualModemConfig& config, int& error);
    ~VirtualModem() override;
    VirtualModem(const VirtualModem&) = delete;
    VirtualModem& operator=(const VirtualModem&) = delete;

    // The port actually listened on (the chosen one when the configuration asked for 0).
    std::uint16_t ListenPort() const { return m_listenPort; }

    int Read(unsigned char* buffer, int length) override;
    int Write(const unsigned char* data, int length) override;
    // Ready means: forRead and bytes are waiting, or forWrite and the modem takes bytes.
    // capMs is on the platform clock, so an accelerated test clock shortens it too.
    int Wait(int capMs, bool forRead, bool forWrite) override;
    int Configure(const SerialConfig& config) override;
    SerialConfig Configuration() const override;
    unsigned ModemStatus() override;
    int SetDtr(bool on) override;
    int SetRts(bool on) override;
    int SetBreak(bool on) override;
    int Purge(bool input, bool output) override;
    long InputQueued() override;
    long OutputQueued() override;
    LineErrorCounts Errors() override;
    int SendImmediate(unsigned char c) override;

    using Result = ModemResult;

  private:
    enum class CallState {
        Idle,          // on hook, command mode
        OffHook,       // command mode, line taken (H1, or a dial that ended with ";")
        Connecting,    // dialling: TCP connect in progress
        CallerWaiting, // dialling: connected, waiting for the callee's handshake
        CallerRinging, // dialling: the callee is a virtual modem and rings
        Ringing,       // an incoming call rings
        Answering,     // answered; waiting to learn whether the caller is a virtual modem
        Online,        // data mode
        OnlineCommand, // command mode with the call held ("+++")
    };
    enum class Peer { Unknown, Modem, Plain, Telnet };

    struct Draining {
        int fd;
        std::chrono::steady_clock::time_point since;
    };

    explicit VirtualModem(const VirtualModemConfig& config);
    int StartListening();
    void NetworkLoop();

    // All of the following run with m_mutex held.
    // What the command interpreter asks of the call (HayesHost).
    void Answer() override;
    void Dial(const std::string& number) override;
    void TakeLine() override;
    bool ReturnOnline() override;
    void PutOnHook() override;
    bool Ringing() const override { return m_state == CallState::Ringing; }
    bool CanDial() const override;
    bool HasLine() const override { return !m_config.noLine; }
    std::string Information() const override;
    std::uint32_t ConnectRate() const override;

    // Calls (VirtualModem.cpp).
    bool Dialling() const;
    std::size_t HandleDataBytes(const unsigned char* data, std::size_t length);
    void FlushHeldEscapes();
    std::string ResolveNumber(const std::string& number) const;
    void FinishAnswer();
    void FinishDialAsPlain();
    void GoOnline();
    void HangUpLocked();
    void EndCall(Result result);
    void Emit(Result result);

    // The line side, run by the network thread (VirtualModemLine.cpp).
    void ConnectNext();
    void Connected();
    void AcceptCalls();
    void Ring();
    void ReadCall();
    void Received(const unsigned char* data, std::size_t length);
    void ProcessHandshakeAsCaller();
    void ProcessHandshakeAsCallee();
    void StartTelnet(TelnetCodec::Role role);
    bool TelnetHoldsData() const;
    void SendFrame(const std::string& frame);
    void SendPaced();
    void RunTimers();
    int NextTimeoutMs();
    void DrainRejected(const std::vector<int>& readable);
    void Notify();
    void Wake();

    VirtualModemConfig m_config;
    std::uint16_t m_listenPort{0};
    int m_listenFd{-1};
    int m_wakeFd{-1};
    std::thread m_thread;
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    SerialConfig m_serial;
    ByteQueue m_toComputer; // echo, results and received data
    HayesCommands m_commands{*this, m_toComputer, kVirtualModemReceiveQueue};
    bool m_dtr{true};
    CallState m_state{CallState::Idle};
    Peer m_peer{Peer::Unknown};
    int m_sock{-1};
    std::uint64_t m_dialGeneration{0};
    std::string m_dialTarget;                      // host:port being dialled
    bool m_dialTelnet{false};                      // the number asked for a telnet host
    std::vector<sockaddr_storage> m_dialAddresses; // addresses of the target still to try
    bool m_dialRefused{false};
    std::uint32_t m_callStart{0};
    std::chrono::steady_clock::time_point m_handshakeDeadline{};
    std::uint32_t m_lastRing{0};
    ByteQueue m_handshake; // bytes of the peer's handshake frame, or early data
    ByteQueue m_toLine;    // data waiting to be paced out
    ByteQueue m_wire;      // telnet: paced data already encoded, not yet sent
    ByteQueue m_control;   // handshake frames and telnet answers, ahead of data, not paced
    std::unique_ptr<TelnetCodec> m_telnet; // telnet on this call's line
    std::chrono::steady_clock::time_point m_telnetSettle{}; // data waits for BINARY until then
    bool m_sendBlocked{false};
    bool m_lineDead{false};      // the connection reported an error or a full hang-up
    std::uint32_t m_callRate{0}; // line rate of the current call; 0 = unlimited
    double m_credit{0.0};
    std::uint32_t m_creditTick{0};
    // "+++" escape: escape characters held back until the guard time decides what they are.
    int m_heldEscapes{0};
    std::uint32_t m_lastDataTick{0};
    std::uint32_t m_lastEscapeTick{0};
    std::vector<Draining> m_draining;
};

// Opens a virtual modem from a port-map value such as
// "vmodem:listen=127.0.0.1:2323;rate=28800" (keys: listen=ADDR:PORT, rate=BPS|unlimited,
// noline=0|1, answer=0|1 for accepting calls at all, telnet=0|1 for taking every caller for
// a telnet client). Numbers are looked up with lookup.
// Returns nothing and sets error (-EINVAL for a bad value, -errno from the listener).
std::unique_ptr<SerialDevice> OpenVirtualModemDevice(const std::string& mapValue, int& error,
                                                     NumberLookup lookup = {});

// Parses a port-map value into a configuration; false when it is not valid.
bool ParseVirtualModemMapValue(const std::string& mapValue, VirtualModemConfig& config);

// "ADDR:PORT", "[v6]:PORT" or "PORT" (loopback); false when it is not valid.
bool ParseListenAddress(const std::string& text, std::string& address, std::uint16_t& port);

// Where a dialled target goes: "telnet://host[:port]" (port 23 when left out) and any
// "host:23" are telnet hosts; other "host:port" targets are plain TCP (or virtual modems).
// Returns "host:port"; false when the target is not one.
bool ParseDialTarget(const std::string& target, std::string& hostPort, bool& telnet);

} // namespace platform
