// The virtual modem: a serial device whose telephone line is TCP. This file holds its
// serial side (what the computer writes and reads) and the state of the call; the command
// interpreter is HayesCommands, the network thread is in VirtualModemLine.cpp, the handshake
// between two virtual modems in CallHandshake and telnet in Telnet.
//
// Time: ring intervals, S7 and the S12 guard time run on the platform clock (tests speed it
// up); the handshake waits are network properties and run in real time.
#include "platform/VirtualModem.h"

#include "platform/CallHandshake.h"
#include "platform/Clock.h"
#include "platform/NetAddress.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

using RealClock = std::chrono::steady_clock;
using Reg = HayesCommands;

std::string DigitsOf(const std::string& number) {
    std::string digits;
    for (char c : number)
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '*' || c == '#')
            digits += c;
    return digits;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Life cycle

VirtualModem::VirtualModem(const VirtualModemConfig& config) : m_config{config} {
    m_serial.baud = 115200;
}

std::unique_ptr<VirtualModem> VirtualModem::Open(const VirtualModemConfig& config, int& error) {
    error = 0;
    std::unique_ptr<VirtualModem> modem(new VirtualModem(config));
    modem->m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (modem->m_wakeFd < 0) {
        error = -errno;
        return nullptr;
    }
    if (config.listen && !config.noLine) {
        int r = modem->StartListening();
        if (r < 0) {
            error = r;
            return nullptr;
        }
    }
    modem->m_thread = std::thread([m = modem.get()] { m->NetworkLoop(); });
    return modem;
}

VirtualModem::~VirtualModem() {
    m_stop = true;
    Wake();
    if (m_thread.joinable())
        m_thread.join();
    CloseFd(m_sock);
    for (Draining& d : m_draining)
        CloseFd(d.fd);
    CloseFd(m_listenFd);
    CloseFd(m_wakeFd);
}

int VirtualModem::StartListening() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const char* host = m_config.listenAddress.empty() ? nullptr : m_config.listenAddress.c_str();
    if (::getaddrinfo(host, std::to_string(m_config.listenPort).c_str(), &hints, &list) != 0)
        return -EADDRNOTAVAIL;
    int error = -EADDRNOTAVAIL;
    for (addrinfo* a = list; a != nullptr && m_listenFd < 0; a = a->ai_next) {
        int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = -errno;
            continue;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 8) != 0) {
            error = -errno;
            CloseFd(fd);
            continue;
        }
        m_listenFd = fd;
    }
    ::freeaddrinfo(list);
    if (m_listenFd < 0)
        return error;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&bound), &length);
    if (bound.ss_family == AF_INET6)
        m_listenPort = ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    else
        m_listenPort = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return 0;
}

void VirtualModem::Wake() {
    std::uint64_t one = 1;
    if (m_wakeFd >= 0) [[maybe_unused]]
        auto r = ::write(m_wakeFd, &one, sizeof one);
}

void VirtualModem::Notify() {
    m_ready.notify_all();
}

// ---------------------------------------------------------------------------------------
// Serial side

int VirtualModem::Read(unsigned char* buffer, int length) {
    if (buffer == nullptr || length < 0)
        return -EINVAL;
    std::lock_guard lock(m_mutex);
    bool wasFull = m_toComputer.Size() >= static_cast<std::size_t>(kVirtualModemReceiveQueue);
    auto n = m_toComputer.Take(buffer, static_cast<std::size_t>(length));
    if (wasFull && n > 0)
        Wake(); // the network thread stopped reading while the queue was full
    return static_cast<int>(n);
}

int VirtualModem::Write(const unsigned char* data, int length) {
    if (data == nullptr || length < 0)
        return -EINVAL;
    std::lock_guard lock(m_mutex);
    // The network thread only needs waking when it has nothing to send yet; commands that
    // need it (dial, answer, hang up) wake it themselves.
    bool wasIdle = m_toLine.Empty();
    int done = 0;
    while (done < length) {
        if (m_state == CallState::Online) {
            std::size_t n = HandleDataBytes(data + done, static_cast<std::size_t>(length - done));
            done += static_cast<int>(n);
            if (n == 0)
                break; // transmit queue full
        } else if (Dialling()) {
            // A key pressed while a call is being set up abandons it; the line feed that
            // some programs send after the carriage return of the dial command does not.
            if (data[done] != '\n')
                EndCall(Result::NoCarrier);
            ++done;
        } else {
            m_commands.Byte(data[done++]);
        }
    }
    Notify();
    if (wasIdle && !m_toLine.Empty())
        Wake();
    return done;
}

int VirtualModem::Wait(int capMs, bool forRead, bool forWrite) {
    std::unique_lock lock(m_mutex);
    auto ready = [&] {
        if (forRead && !m_toComputer.Empty())
            return true;
        if (forWrite && (m_state != CallState::Online ||
                         m_toLine.Size() < static_cast<std::size_t>(kVirtualModemTransmitQueue)))
            return true;
        return false;
    };
    if (ready())
        return 1;
    if (capMs <= 0)
        return 0;
    auto cap = std::chrono::microseconds(RealMicroseconds(static_cast<std::uint32_t>(capMs)));
    return m_ready.wait_for(lock, cap, ready) ? 1 : 0;
}

int VirtualModem::Configure(const SerialConfig& config) {
    if (config.baud == 0 || config.dataBits < 4 || config.dataBits > 8)
        return -EINVAL;
    std::lock_guard lock(m_mutex);
    m_serial = config;
    return 0;
}

SerialConfig VirtualModem::Configuration() const {
    std::lock_guard lock(m_mutex);
    return m_serial;
}

unsigned VirtualModem::ModemStatus() {
    std::lock_guard lock(m_mutex);
    unsigned status = kModemCts | kModemDsr;
    bool connected = m_state == CallState::Online || m_state == CallState::OnlineCommand;
    if (connected || m_commands.DcdMode() == 0)
        status |= kModemDcd;
    if (m_state == CallState::Ringing && TicksSince(m_lastRing) < kVirtualModemRingPulseMs)
        status |= kModemRing;
    return status;
}

int VirtualModem::SetDtr(bool on) {
    std::lock_guard lock(m_mutex);
    bool dropped = m_dtr && !on;
    m_dtr = on;
    if (!dropped)
        return 0;
    switch (m_commands.DtrMode()) {
    case 1:
        if (m_state == CallState::Online) {
            FlushHeldEscapes();
            m_state = CallState::OnlineCommand;
            Emit(Result::Ok);
        }
        break;
    case 2:
    case 3:
        if (m_state == CallState::Idle || m_state == CallState::OffHook ||
            m_state == CallState::Ringing)
            PutOnHook();
        else
            EndCall(Result::NoCarrier);
        if (m_commands.DtrMode() == 3)
            m_commands.ResetSettings();
        break;
    default:
        break;
    }
    Notify();
    return 0;
}

int VirtualModem::SetRts(bool) {
    return 0;
}
int VirtualModem::SetBreak(bool) {
    return 0;
}

int VirtualModem::Purge(bool input, bool output) {
    std::lock_guard lock(m_mutex);
    if (input) {
        m_toComputer.Clear();
        Wake();
    }
    if (output) {
        m_toLine.Clear();
        Notify();
    }
    return 0;
}

long VirtualModem::InputQueued() {
    std::lock_guard lock(m_mutex);
    return static_cast<long>(m_toComputer.Size());
}

long VirtualModem::OutputQueued() {
    std::lock_guard lock(m_mutex);
    return static_cast<long>(m_toLine.Size() + m_wire.Size()) + m_heldEscapes;
}

LineErrorCounts VirtualModem::Errors() {
    return {};
}

int VirtualModem::SendImmediate(unsigned char c) {
    return Write(&c, 1) == 1 ? 0 : -EAGAIN;
}

// ---------------------------------------------------------------------------------------
// Calls

bool VirtualModem::Dialling() const {
    return m_state == CallState::Connecting || m_state == CallState::CallerWaiting ||
           m_state == CallState::CallerRinging || m_state == CallState::Answering;
}

bool VirtualModem::CanDial() const {
    return m_state == CallState::Idle || m_state == CallState::OffHook;
}

void VirtualModem::TakeLine() {
    if (m_state == CallState::Idle)
        m_state = CallState::OffHook;
}

bool VirtualModem::ReturnOnline() {
    if (m_state != CallState::OnlineCommand)
        return false;
    GoOnline();
    return true;
}

std::string VirtualModem::Information() const {
    char text[160];
    std::snprintf(text, sizeof text, "Line rate %s, listening on %s:%u",
                  m_config.lineRate == 0 ? "unlimited" : std::to_string(m_config.lineRate).c_str(),
                  m_config.listenAddress.c_str(), m_listenPort);
    return text;
}

void VirtualModem::Dial(const std::string& dialled) {
    std::string target;
    bool telnet = false;
    m_callStart = GetTickCount();
    if (!ParseDialTarget(ResolveNumber(dialled), target, telnet)) {
        EndCall(Result::NoCarrier);
        return;
    }
    m_state = CallState::Connecting;
    m_peer = Peer::Unknown;
    m_callRate = m_config.lineRate;
    m_dialTarget = target;
    m_dialTelnet = telnet;
    ++m_dialGeneration;
    Wake();
}

std::string VirtualModem::ResolveNumber(const std::string& number) const {
    if (number.empty())
        return {};
    if (number.find(':') != std::string::npos)
        return number;
    if (auto it = m_config.directory.find(number); it != m_config.directory.end())
        return it->second;
    std::string digits = DigitsOf(number);
    for (const auto& [key, target] : m_config.directory)
        if (!digits.empty() && DigitsOf(key) == digits)
            return target;
    if (m_config.lookup) {
        std::string target = m_config.lookup(number);
        if (target.empty() && digits != number && !digits.empty())
            target = m_config.lookup(digits);
        return target;
    }
    return {};
}

void VirtualModem::Answer() {
    if (m_state != CallState::Ringing) {
        Emit(Result::NoCarrier);
        return;
    }
    if (m_peer == Peer::Unknown && RealClock::now() < m_handshakeDeadline)
        m_state = CallState::Answering; // the network thread finishes once it knows the caller
    else
        FinishAnswer();
}

void VirtualModem::FinishAnswer() {
    if (m_peer == Peer::Unknown)
        m_peer = Peer::Plain;
    if (m_peer == Peer::Modem)
        SendFrame(handshake::Frame(handshake::kAnswer, m_callRate, true));
    GoOnline();
    // What a plain or telnet caller sent before the answer.
    m_toComputer.Append(m_handshake.Front(), m_handshake.Size());
    m_handshake.Clear();
}

void VirtualModem::GoOnline() {
    bool fresh = m_state != CallState::OnlineCommand;
    m_state = CallState::Online;
    m_commands.SetRegister(Reg::kRegRingCount, 0);
    m_lastDataTick = GetTickCount();
    if (fresh) {
        m_credit = 0.0;
        m_creditTick = m_lastDataTick;
    }
    Emit(Result::Connect);
    Wake();
}

void VirtualModem::HangUpLocked() {
    if (m_sock >= 0) {
        // Half-close and let the network thread read until the peer closes, so that what
        // the peer sent last is not answered with a reset that could destroy our own data.
        ::shutdown(m_sock, SHUT_WR);
        m_draining.push_back({m_sock, RealClock::now()});
        m_sock = -1;
        Wake();
    }
    m_state = CallState::Idle;
    m_peer = Peer::Unknown;
    m_handshake.Clear();
    m_toLine.Clear();
    m_wire.Clear();
    m_control.Clear();
    m_telnet.reset();
    m_dialTelnet = false;
    m_sendBlocked = false;
    m_lineDead = false;
    m_heldEscapes = 0;
    m_commands.SetRegister(Reg::kRegRingCount, 0);
    m_commands.ForgetDialPieces();
    m_dialTarget.clear();
    m_dialAddresses.clear();
    ++m_dialGeneration;
}

void VirtualModem::PutOnHook() {
    // A call that rings is on the line, not in the modem: resetting or hanging up the modem
    // (as a program initialising it does) leaves it ringing, and the rings keep counting.
    if (m_state != CallState::Ringing)
        HangUpLocked();
}

void VirtualModem::EndCall(Result result) {
    HangUpLocked();
    Emit(result);
}

std::uint32_t VirtualModem::ConnectRate() const {
    return m_callRate != 0 ? m_callRate : m_serial.baud;
}

void VirtualModem::Emit(Result result) {
    m_commands.Emit(result);
    Notify();
}

// ---------------------------------------------------------------------------------------
// Data mode

std::size_t VirtualModem::HandleDataBytes(const unsigned char* data, std::size_t length) {
    const std::uint32_t now = GetTickCount();
    const std::uint32_t guard = m_commands.GuardMs();
    const unsigned escape = m_commands.Register(Reg::kRegEscape);
    const auto capacity = static_cast<std::size_t>(kVirtualModemTransmitQueue);
    // With software flow control towards the modem, XON and XOFF from the computer steer the
    // modem's output (which Read already paces) and are not data for the line.
    const bool flowControl = m_serial.xonXoffInput;
    auto special = [&](unsigned char c) {
        return (escape <= 127 && c == escape) ||
               (flowControl && (c == m_serial.xonChar || c == m_serial.xoffChar));
    };
    std::size_t i = 0;
    while (i < length) {
        if (flowControl && (data[i] == m_serial.xonChar || data[i] == m_serial.xoffChar)) {
            ++i;
            continue;
        }
        if (escape <= 127 && data[i] == escape) {
            if (m_heldEscapes > 0 && guard > 0 && now - m_lastEscapeTick >= guard)
                FlushHeldEscapes(); // too slow for an escape; these were data after all
            bool starts = m_heldEscapes == 0 && now - m_lastDataTick >= guard;
            bool continues = m_heldEscapes > 0 && m_heldEscapes < 3;
            if (starts || continues) {
                ++m_heldEscapes;
                m_lastEscapeTick = now;
                ++i;
                if (m_heldEscapes == 1 || m_heldEscapes == 3)
                    Wake(); // the network thread times the silence that decides
                continue;
            }
        }
        if (m_heldEscapes > 0)
            FlushHeldEscapes();
        if (m_toLine.Size() >= capacity)
            break;
        // Take the run of bytes up to the next escape or flow-control character in one go.
        std::size_t room = capacity - m_toLine.Size();
        std::size_t end = i + 1;
        while (end < length && end - i < room && !special(data[end]))
            ++end;
        m_toLine.Append(data + i, end - i);
        m_lastDataTick = now;
        i = end;
    }
    return i;
}

void VirtualModem::FlushHeldEscapes() {
    if (m_heldEscapes == 0)
        return;
    std::string held(static_cast<std::size_t>(m_heldEscapes),
                     static_cast<char>(m_commands.Register(Reg::kRegEscape)));
    m_toLine.Append(held);
    m_lastDataTick = m_lastEscapeTick;
    m_heldEscapes = 0;
}

} // namespace platform
