// The line side of the virtual modem: the network thread that connects, accepts and rings,
// reads the call, paces data out at the line rate and notices hang-ups.
//
// Plain TCP peers work without the call handshake (CallHandshake.h):
// - Dialling: if the first bytes from the callee are not a well-formed frame, or nothing
//   arrives within kVirtualModemHandshakeMs, the callee is a plain TCP service: the modem
//   reports CONNECT at once and passes on whatever the service sent. A service that echoes
//   our own call frame back (status 'C') is plain too, and the echo is dropped.
// - Answering: an incoming connection whose first bytes are not the call frame, or that
//   sends nothing within kVirtualModemHandshakeMs, is a plain caller; it rings like any
//   call, and the bytes it sent before the answer are delivered after CONNECT.
// Telnet peers (Telnet.h): a number that names a telnet host (ParseDialTarget) is dialled
// without the handshake and the call is telnet from its first byte; an incoming connection
// that opens with telnet negotiation other than the call frame, or any incoming connection
// when the modem is configured for telnet, is a telnet client.
// A modem that cannot take a call (in a call, off hook, dialling, already ringing, or its
// computer has dropped DTR) answers an incoming connection with the busy frame and closes.
// Where nobody listens at all (the port is not open, so nobody waits for calls), the refused
// connection is reported as BUSY too; other failures to connect are NO CARRIER.
#include "platform/VirtualModem.h"

#include "platform/CallHandshake.h"
#include "platform/Clock.h"
#include "platform/NetAddress.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

using RealClock = std::chrono::steady_clock;
using Reg = HayesCommands;

constexpr int kDrainRealMs = 2000;
constexpr int kIdlePollRealMs = 1000;
constexpr double kPacingChunkMs = 20.0; // bytes are sent in slices of this much line time
constexpr double kPacingBurstMs = 50.0; // credit saved up while idle is capped at this

int RealMsUntil(RealClock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - RealClock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

// Ticks until a platform-clock deadline, turned into real milliseconds for poll.
int TickMsUntil(std::uint32_t deadline) {
    auto left = static_cast<std::int32_t>(deadline - GetTickCount());
    if (left <= 0)
        return 0;
    return static_cast<int>((RealMicroseconds(static_cast<std::uint32_t>(left)) + 999) / 1000);
}

void SetNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A call's socket: no delay for small writes, and telnet's urgent data (the IAC DM that
// a server sends when a program ends) read in line, so no lone IAC is left in the stream.
void PrepareCallSocket(int fd) {
    SetNoDelay(fd);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one);
}

} // namespace

void VirtualModem::SendFrame(const std::string& frame) {
    m_control.Append(frame);
    Wake();
}

void VirtualModem::ConnectNext() {
    while (!m_dialAddresses.empty()) {
        sockaddr_storage address = m_dialAddresses.front();
        m_dialAddresses.erase(m_dialAddresses.begin());
        socklen_t length =
            address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 ||
            errno == EINPROGRESS) {
            PrepareCallSocket(fd);
            m_sock = fd;
            return;
        }
        m_dialRefused = m_dialRefused || errno == ECONNREFUSED;
        CloseFd(fd);
    }
    // Nobody listening at the address means the computer there is not waiting for calls,
    // which the caller hears as busy; any other failure is no carrier.
    EndCall(m_dialRefused ? Result::Busy : Result::NoCarrier);
}

void VirtualModem::AcceptCalls() {
    while (true) {
        int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        PrepareCallSocket(fd);
        bool dtrReady = m_dtr || m_commands.DtrMode() < 2;
        if (m_state == CallState::Idle && m_sock < 0 && dtrReady) {
            m_sock = fd;
            m_state = CallState::Ringing;
            m_peer = Peer::Unknown;
            m_callRate = m_config.lineRate;
            m_handshake.Clear();
            m_callStart = GetTickCount();
            m_handshakeDeadline =
                RealClock::now() + std::chrono::milliseconds(kVirtualModemHandshakeMs);
            m_commands.SetRegister(Reg::kRegRingCount, 0);
            if (m_config.telnet)
                StartTelnet(TelnetCodec::Role::Server);
            Ring();
            continue;
        }
        std::string busy = handshake::Frame(handshake::kBusy);
        [[maybe_unused]] auto sent = ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        m_draining.push_back({fd, RealClock::now()});
    }
}

void VirtualModem::Ring() {
    m_lastRing = GetTickCount();
    int count = m_commands.Register(Reg::kRegRingCount);
    if (count < 255)
        m_commands.SetRegister(Reg::kRegRingCount, static_cast<unsigned char>(++count));
    Emit(Result::Ring);
    int autoAnswer = m_commands.Register(Reg::kRegAutoAnswer);
    if (autoAnswer > 0 && count >= autoAnswer)
        Answer();
}

void VirtualModem::ReadCall() {
    unsigned char buffer[16384];
    while (m_sock >= 0) {
        std::size_t want = sizeof buffer;
        if (m_state == CallState::Online) {
            auto queued = m_toComputer.Size();
            auto capacity = static_cast<std::size_t>(kVirtualModemReceiveQueue);
            if (queued >= capacity)
                return;
            want = std::min(want, capacity - queued);
        } else if (m_state == CallState::OnlineCommand) {
            return; // received data waits in the network while the computer gives commands
        } else if (m_handshake.Size() >= static_cast<std::size_t>(kVirtualModemReceiveQueue)) {
            return;
        }
        ssize_t n = ::recv(m_sock, buffer, want, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) {
            if (m_state == CallState::Ringing) {
                // The caller gave up before the answer: the ringing just stops.
                HangUpLocked();
            } else {
                EndCall(Result::NoCarrier);
            }
            return;
        }
        Received(buffer, static_cast<std::size_t>(n));
    }
}

void VirtualModem::Received(const unsigned char* buffer, std::size_t got) {
    if (m_telnet) {
        // Commands are taken out wherever the call stands; before the answer the data
        // waits with the early bytes.
        std::string replies;
        m_telnet->Receive(buffer, got, m_state == CallState::Online ? m_toComputer : m_handshake,
                          replies);
        if (!replies.empty())
            SendFrame(replies);
        return;
    }
    switch (m_state) {
    case CallState::Online:
        m_toComputer.Append(buffer, got);
        break;
    case CallState::CallerWaiting:
    case CallState::CallerRinging:
        m_handshake.Append(buffer, got);
        ProcessHandshakeAsCaller();
        break;
    case CallState::Ringing:
    case CallState::Answering:
        m_handshake.Append(buffer, got);
        if (m_peer == Peer::Unknown)
            ProcessHandshakeAsCallee();
        break;
    default:
        break;
    }
}

void VirtualModem::ProcessHandshakeAsCaller() {
    while (m_state == CallState::CallerWaiting || m_state == CallState::CallerRinging) {
        handshake::Parsed frame = handshake::Parse(m_handshake.Front(), m_handshake.Size());
        if (frame.outcome == handshake::Parsed::Incomplete)
            return;
        if (frame.outcome == handshake::Parsed::Invalid) {
            if (m_state == CallState::CallerWaiting)
                FinishDialAsPlain(); // a service that speaks first, not a modem
            else
                EndCall(Result::NoCarrier); // a modem that stopped making sense
            return;
        }
        if (frame.status == handshake::kCall && m_state == CallState::CallerWaiting) {
            m_handshake.Drop(frame.length);
            FinishDialAsPlain(); // our own call frame, echoed
            return;
        }
        m_handshake.Drop(frame.length);
        if (frame.status == handshake::kRinging) {
            m_peer = Peer::Modem;
            m_state = CallState::CallerRinging;
        } else if (frame.status == handshake::kAnswer) {
            m_peer = Peer::Modem;
            if (frame.hasRate)
                m_callRate = frame.rate;
            GoOnline();
            m_toComputer.Append(m_handshake.Front(), m_handshake.Size());
            m_handshake.Clear();
        } else if (frame.status == handshake::kBusy) {
            EndCall(Result::Busy);
        } else {
            EndCall(Result::NoCarrier);
        }
    }
}

void VirtualModem::FinishDialAsPlain() {
    m_peer = Peer::Plain;
    GoOnline();
    m_toComputer.Append(m_handshake.Front(), m_handshake.Size());
    m_handshake.Clear();
}

void VirtualModem::ProcessHandshakeAsCallee() {
    handshake::Parsed frame = handshake::Parse(m_handshake.Front(), m_handshake.Size());
    if (frame.outcome == handshake::Parsed::Invalid && m_handshake.Front()[0] == telnet::kIac) {
        // Telnet negotiation, not the call frame: a telnet client. What it sent so far is
        // read again as telnet.
        ByteQueue early;
        early.Append(m_handshake.Front(), m_handshake.Size());
        m_handshake.Clear();
        StartTelnet(TelnetCodec::Role::Server);
        Received(early.Front(), early.Size());
    } else if (frame.outcome == handshake::Parsed::Invalid ||
               (frame.outcome == handshake::Parsed::Complete && frame.status != handshake::kCall)) {
        m_peer = Peer::Plain; // its bytes stay queued and are delivered after the answer
    } else if (frame.outcome == handshake::Parsed::Complete) {
        m_peer = Peer::Modem;
        m_callRate = handshake::AgreedRate(m_config.lineRate, frame.hasRate ? frame.rate : 0);
        m_handshake.Drop(frame.length);
        SendFrame(handshake::Frame(handshake::kRinging));
    }
    if (m_peer != Peer::Unknown && m_state == CallState::Answering)
        FinishAnswer();
}

void VirtualModem::StartTelnet(TelnetCodec::Role role) {
    m_peer = Peer::Telnet;
    m_telnet = std::make_unique<TelnetCodec>(role);
    m_telnetSettle = RealClock::now() + std::chrono::milliseconds(kVirtualModemHandshakeMs);
    SendFrame(m_telnet->Opening());
}

bool VirtualModem::TelnetHoldsData() const {
    return m_telnet && m_telnet->Negotiating() && RealClock::now() < m_telnetSettle;
}

void VirtualModem::Connected() {
    if (m_dialTelnet) {
        // A telnet host speaks telnet from the first byte: no call frame, no wait for one.
        StartTelnet(TelnetCodec::Role::Client);
        GoOnline();
        return;
    }
    m_state = CallState::CallerWaiting;
    m_handshake.Clear();
    m_handshakeDeadline = RealClock::now() + std::chrono::milliseconds(kVirtualModemHandshakeMs);
    SendFrame(handshake::Frame(handshake::kCall, m_config.lineRate, true));
}

void VirtualModem::SendPaced() {
    if (m_sock < 0 || m_state == CallState::Connecting)
        return;
    while (!m_control.Empty()) {
        ssize_t n = ::send(m_sock, m_control.Front(), m_control.Size(), MSG_NOSIGNAL);
        if (n <= 0) {
            m_sendBlocked = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            return; // a broken connection is seen by the reading side
        }
        m_control.Drop(static_cast<std::size_t>(n));
    }
    if (m_state != CallState::Online && m_state != CallState::OnlineCommand)
        return;
    // Telnet data already encoded goes out whole before more is taken: a doubled IAC must
    // never be cut by a purge.
    auto sendWire = [&] {
        while (!m_wire.Empty()) {
            ssize_t n = ::send(m_sock, m_wire.Front(), m_wire.Size(), MSG_NOSIGNAL);
            if (n <= 0) {
                m_sendBlocked = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
                return false;
            }
            m_wire.Drop(static_cast<std::size_t>(n));
        }
        return true;
    };
    if (!sendWire() || m_toLine.Empty() || TelnetHoldsData())
        return;
    std::size_t allowed = m_toLine.Size();
    if (m_callRate != 0) {
        double perMs = m_callRate / 10000.0;
        std::uint32_t now = GetTickCount();
        m_credit += (now - m_creditTick) * perMs;
        m_creditTick = now;
        m_credit = std::min(m_credit, std::max(perMs * kPacingBurstMs, 1.0));
        allowed = std::min(allowed, static_cast<std::size_t>(m_credit));
        if (allowed == 0)
            return;
    }
    std::size_t sent = 0;
    if (m_telnet) {
        m_telnet->Encode(m_toLine.Front(), allowed, m_wire);
        sent = allowed;
        sendWire();
    } else {
        ssize_t n = ::send(m_sock, m_toLine.Front(), allowed, MSG_NOSIGNAL);
        if (n < 0) {
            m_sendBlocked = errno == EAGAIN || errno == EWOULDBLOCK;
            return;
        }
        sent = static_cast<std::size_t>(n);
    }
    m_toLine.Drop(sent);
    if (m_callRate != 0)
        m_credit -= static_cast<double>(sent);
    Notify();
}

void VirtualModem::RunTimers() {
    const auto realNow = RealClock::now();
    if (m_state == CallState::Online && m_heldEscapes > 0 &&
        TicksSince(m_lastEscapeTick) >= m_commands.GuardMs()) {
        if (m_heldEscapes == 3) {
            m_heldEscapes = 0;
            m_state = CallState::OnlineCommand;
            Emit(Result::Ok);
        } else {
            FlushHeldEscapes();
        }
    }
    bool calling = m_state == CallState::Connecting || m_state == CallState::CallerWaiting ||
                   m_state == CallState::CallerRinging;
    if (calling && TicksSince(m_callStart) >= m_commands.Register(Reg::kRegCarrierWait) * 1000u) {
        EndCall(Result::NoCarrier);
        return;
    }
    if (m_state == CallState::CallerWaiting && realNow >= m_handshakeDeadline)
        FinishDialAsPlain();
    if ((m_state == CallState::Ringing || m_state == CallState::Answering) &&
        m_peer == Peer::Unknown && realNow >= m_handshakeDeadline) {
        m_peer = Peer::Plain;
        if (m_state == CallState::Answering)
            FinishAnswer();
    }
    if (m_state == CallState::Ringing && TicksSince(m_lastRing) >= kVirtualModemRingIntervalMs)
        Ring();
}

int VirtualModem::NextTimeoutMs() {
    int timeout = kIdlePollRealMs;
    auto consider = [&](int ms) { timeout = std::min(timeout, ms); };
    if (m_state == CallState::Online && m_heldEscapes > 0)
        consider(TickMsUntil(m_lastEscapeTick + m_commands.GuardMs()));
    if (m_state == CallState::Connecting || m_state == CallState::CallerWaiting ||
        m_state == CallState::CallerRinging)
        consider(TickMsUntil(m_callStart + m_commands.Register(Reg::kRegCarrierWait) * 1000u));
    if ((m_state == CallState::CallerWaiting ||
         ((m_state == CallState::Ringing || m_state == CallState::Answering) &&
          m_peer == Peer::Unknown)))
        consider(RealMsUntil(m_handshakeDeadline));
    if (m_state == CallState::Ringing)
        consider(TickMsUntil(m_lastRing + kVirtualModemRingIntervalMs));
    bool sending = m_state == CallState::Online || m_state == CallState::OnlineCommand;
    if (sending && !m_toLine.Empty() && TelnetHoldsData()) {
        consider(RealMsUntil(m_telnetSettle));
    } else if (sending && !m_toLine.Empty() && m_callRate != 0 && !m_sendBlocked) {
        double perMs = m_callRate / 10000.0;
        double want =
            std::min(static_cast<double>(m_toLine.Size()), std::max(perMs * kPacingChunkMs, 1.0));
        double missing = want - m_credit;
        if (missing <= 0)
            consider(0);
        else
            consider(TickMsUntil(m_creditTick + static_cast<std::uint32_t>(missing / perMs + 1)));
    } else if (sending && (!m_toLine.Empty() || !m_wire.Empty()) && !m_sendBlocked) {
        consider(0);
    }
    for (const Draining& d : m_draining)
        consider(RealMsUntil(d.since + std::chrono::milliseconds(kDrainRealMs)));
    return timeout;
}

void VirtualModem::DrainRejected(const std::vector<int>& readable) {
    const auto now = RealClock::now();
    unsigned char scrap[4096];
    for (auto it = m_draining.begin(); it != m_draining.end();) {
        bool done = now - it->since >= std::chrono::milliseconds(kDrainRealMs);
        if (!done && std::find(readable.begin(), readable.end(), it->fd) != readable.end()) {
            ssize_t n;
            while ((n = ::recv(it->fd, scrap, sizeof scrap, 0)) > 0) {
            }
            done = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        }
        if (done) {
            CloseFd(it->fd);
            it = m_draining.erase(it);
        } else {
            ++it;
        }
    }
}

void VirtualModem::NetworkLoop() {
    std::vector<pollfd> fds;
    std::vector<int> readableDrains;
    while (!m_stop) {
        std::string target;
        std::uint64_t generation = 0;
        int timeout = 0;
        int callFd = -1;
        fds.clear();
        {
            std::lock_guard lock(m_mutex);
            RunTimers();
            SendPaced();
            Notify();
            if (m_state == CallState::Connecting && m_sock < 0 && !m_dialTarget.empty()) {
                target = m_dialTarget;
                generation = m_dialGeneration;
                m_dialTarget.clear();
            } else {
                fds.push_back({m_wakeFd, POLLIN, 0});
                if (m_listenFd >= 0)
                    fds.push_back({m_listenFd, POLLIN, 0});
                if (m_sock >= 0) {
                    const auto capacity = static_cast<std::size_t>(kVirtualModemReceiveQueue);
                    bool full = m_state == CallState::Online ? m_toComputer.Size() >= capacity
                                                             : m_handshake.Size() >= capacity;
                    // While the computer has not made room, the socket is not read at all (an
                    // end of call seen now would be seen again on every turn); reading resumes,
                    // and finds the end after the data, once Read has taken some.
                    short events = 0;
                    if (!full) {
                        events |= POLLRDHUP;
                        if (m_state != CallState::Connecting && m_state != CallState::OnlineCommand)
                            events |= POLLIN;
                    }
                    if (m_state == CallState::Connecting || (m_sendBlocked && !m_lineDead))
                        events |= POLLOUT;
                    fds.push_back({m_sock, events, 0});
                    callFd = m_sock;
                }
                for (const Draining& d : m_draining)
                    fds.push_back({d.fd, POLLIN, 0});
                timeout = NextTimeoutMs();
            }
        }
        if (!target.empty()) {
            // Name lookup may block, so it happens without the lock.
            auto addresses = ResolveTarget(target);
            std::lock_guard lock(m_mutex);
            if (generation == m_dialGeneration && m_state == CallState::Connecting) {
                m_dialAddresses = std::move(addresses);
                m_dialRefused = false;
                ConnectNext();
            }
            continue;
        }
        int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR)
            break;
        std::lock_guard lock(m_mutex);
        readableDrains.clear();
        for (const pollfd& p : fds) {
            if (p.revents == 0)
                continue;
            if (p.fd == m_wakeFd) {
                std::uint64_t count;
                [[maybe_unused]] auto r = ::read(m_wakeFd, &count, sizeof count);
            } else if (p.fd == m_listenFd) {
                AcceptCalls();
            } else if (p.fd == callFd && callFd == m_sock) {
                if (m_state == CallState::Connecting) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    ::getsockopt(m_sock, SOL_SOCKET, SO_ERROR, &error, &length);
                    if (error != 0 || (p.revents & (POLLERR | POLLHUP)) != 0) {
                        m_dialRefused = m_dialRefused || error == ECONNREFUSED;
                        CloseFd(m_sock); // never connected: nothing to drain
                        ConnectNext();
                        continue;
                    }
                    Connected();
                    continue;
                }
                if ((p.revents & POLLOUT) != 0)
                    m_sendBlocked = false;
                if ((p.revents & (POLLHUP | POLLERR)) != 0)
                    m_lineDead = true;
                if (m_state == CallState::OnlineCommand &&
                    (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
                    EndCall(Result::NoCarrier); // the call ended while it was held
                else if ((p.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0)
                    ReadCall();
            } else {
                readableDrains.push_back(p.fd);
            }
        }
        DrainRejected(readableDrains);
        Notify();
    }
}

} // namespace platform
