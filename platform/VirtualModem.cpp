// The virtual modem: Hayes command interpreter on the serial side, TCP on the line side, with
// a network thread that connects, rings, answers, paces data and notices hang-ups.
//
// Call handshake between two virtual modems
// -----------------------------------------
// A call is one TCP connection. Before data mode the two modems exchange frames
//
//     FF FA 9D 'V' 'M' '/' '1' <status> [rate in decimal digits] FF F0
//
// which is a telnet subnegotiation of an unassigned option, so that a telnet host that a
// virtual modem dials ignores it. Status bytes:
//     'C'  call    caller -> callee, with the caller's line rate (0 = unlimited), sent as
//                  soon as the TCP connection is up
//     'R'  ringing callee -> caller, once the callee has recognised the call frame
//     'A'  answer  callee -> caller, with the rate of the call: the slower of the two lines
//                  (an unlimited line yields to any rate); every byte after it is data
//     'B'  busy    callee -> caller, then the callee closes the connection
// Both ends then pace and report CONNECT at the agreed rate, so that the two computers see
// the same speed. The caller sends nothing after its call frame until it has seen 'A'
// (bytes the computer types while a call is being set up abort it, as on a real modem), so
// nothing of the handshake can reach the data stream on either side.
//
// Plain TCP peers work without the handshake:
// - Dialling: if the first bytes from the callee are not a well-formed frame, or nothing
//   arrives within kVirtualModemHandshakeMs, the callee is a plain TCP service: the modem
//   reports CONNECT at once and passes on whatever the service sent. A service that echoes
//   our own call frame back (status 'C') is plain too, and the echo is dropped.
// - Answering: an incoming connection whose first bytes are not the call frame, or that
//   sends nothing within kVirtualModemHandshakeMs, is a plain caller; it rings like any
//   call, and the bytes it sent before the answer are delivered after CONNECT.
// A modem that cannot take a call (in a call, off hook, dialling, already ringing, or its
// computer has dropped DTR) answers an incoming connection with the busy frame and closes.
// Where nobody listens at all (the port is not open, so nobody waits for calls), the refused
// connection is reported as BUSY too; other failures to connect are NO CARRIER.
//
// Time: ring intervals, S7 and the S12 guard time run on the platform clock (tests speed it
// up); the handshake waits are network properties and run in real time.
#include "platform/VirtualModem.h"

#include "platform/Clock.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

using RealClock = std::chrono::steady_clock;

constexpr unsigned char kFramePrefix[] = {0xFF, 0xFA, 0x9D, 'V', 'M', '/', '1'};
constexpr unsigned char kFrameEnd[] = {0xFF, 0xF0};
constexpr std::size_t kMaxRateDigits = 9;
constexpr char kStatusCall = 'C';
constexpr char kStatusRinging = 'R';
constexpr char kStatusAnswer = 'A';
constexpr char kStatusBusy = 'B';

constexpr int kRegisterCount = 64;
constexpr int kRegAutoAnswer = 0;
constexpr int kRegRingCount = 1;
constexpr int kRegEscape = 2;
constexpr int kRegCarriageReturn = 3;
constexpr int kRegBackspace = 5;
constexpr int kRegCarrierWait = 7;
constexpr int kRegGuardTime = 12;
constexpr std::size_t kMaxCommandLine = 255;
constexpr int kDrainRealMs = 2000;
constexpr int kIdlePollRealMs = 1000;
constexpr double kPacingChunkMs = 20.0; // bytes are sent in slices of this much line time
constexpr double kPacingBurstMs = 50.0; // credit saved up while idle is capped at this

constexpr const char* kIdentification = "Sendari Virtual Modem";
constexpr const char* kVersion = "1.0";

struct FactoryRegister {
    int number;
    unsigned char value;
};
constexpr FactoryRegister kFactoryRegisters[] = {
    {2, 43}, {3, 13}, {4, 10},  {5, 8},   {6, 2},   {7, 50},
    {8, 2},  {9, 6},  {10, 14}, {11, 95}, {12, 50},
};

// Numeric result codes of CONNECT at the common line rates; other rates report plain 1.
struct ConnectCode {
    std::uint32_t rate;
    int code;
};
constexpr ConnectCode kConnectCodes[] = {
    {1200, 5},   {2400, 10},  {4800, 11},  {9600, 12},  {7200, 13},   {12000, 14},
    {14400, 15}, {19200, 16}, {38400, 17}, {57600, 18}, {115200, 19}, {16800, 59},
    {21600, 61}, {24000, 62}, {26400, 63}, {28800, 64}, {31200, 65},  {33600, 66},
};

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

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void SetNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string DigitsOf(const std::string& number) {
    std::string digits;
    for (char c : number)
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '*' || c == '#')
            digits += c;
    return digits;
}

// Splits "host:port" or "[v6]:port"; false when the port is missing or out of range.
bool SplitHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = text.substr(0, colon);
    std::string digits = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    unsigned long value = std::stoul(digits);
    if (value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// The addresses of host:port, in the order the resolver prefers; empty when unknown.
std::vector<sockaddr_storage> ResolveTarget(const std::string& target) {
    std::vector<sockaddr_storage> addresses;
    std::string host;
    std::uint16_t port = 0;
    if (!SplitHostPort(target, host, port) || port == 0 || host.empty())
        return addresses;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0)
        return addresses;
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
        sockaddr_storage address{};
        std::memcpy(&address, a->ai_addr, std::min<std::size_t>(a->ai_addrlen, sizeof address));
        addresses.push_back(address);
    }
    ::freeaddrinfo(list);
    return addresses;
}

std::string FrameWith(char status, std::uint32_t rate = 0, bool withRate = false) {
    std::string frame(reinterpret_cast<const char*>(kFramePrefix), sizeof kFramePrefix);
    frame += status;
    if (withRate)
        frame += std::to_string(rate);
    frame.append(reinterpret_cast<const char*>(kFrameEnd), sizeof kFrameEnd);
    return frame;
}

// One handshake frame at the front of the received bytes.
struct Frame {
    enum Outcome { Incomplete, Invalid, Complete } outcome{Incomplete};
    char status{0};
    bool hasRate{false};
    std::uint32_t rate{0};
    std::size_t length{0};
};

Frame ParseFrame(const unsigned char* data, std::size_t length) {
    Frame frame;
    std::size_t i = 0;
    for (; i < sizeof kFramePrefix; ++i) {
        if (i >= length)
            return frame;
        if (data[i] != kFramePrefix[i]) {
            frame.outcome = Frame::Invalid;
            return frame;
        }
    }
    if (i >= length)
        return frame;
    frame.status = static_cast<char>(data[i++]);
    std::size_t digits = 0;
    for (; i < length && data[i] >= '0' && data[i] <= '9'; ++i) {
        if (++digits > kMaxRateDigits) {
            frame.outcome = Frame::Invalid;
            return frame;
        }
        frame.rate = frame.rate * 10 + (data[i] - '0');
    }
    frame.hasRate = digits > 0;
    for (std::size_t k = 0; k < sizeof kFrameEnd; ++k, ++i) {
        if (i >= length)
            return frame;
        if (data[i] != kFrameEnd[k]) {
            frame.outcome = Frame::Invalid;
            return frame;
        }
    }
    frame.outcome = Frame::Complete;
    frame.length = i;
    return frame;
}

// The rate of a call between two modems: the slower line; 0 (unlimited) yields to any rate.
std::uint32_t AgreedRate(std::uint32_t own, std::uint32_t other) {
    if (own == 0 || other == 0)
        return std::max(own, other);
    return std::min(own, other);
}

} // namespace

// ---------------------------------------------------------------------------------------
// ByteQueue

void ByteQueue::Append(const unsigned char* data, std::size_t length) {
    if (length == 0)
        return;
    if (m_head > 0 && m_head >= m_data.size() / 2) {
        m_data.erase(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(m_head));
        m_head = 0;
    }
    m_data.insert(m_data.end(), data, data + length);
}

void ByteQueue::Append(const std::string& text) {
    Append(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::size_t ByteQueue::Take(unsigned char* buffer, std::size_t length) {
    std::size_t n = std::min(length, Size());
    if (n == 0)
        return 0;
    std::memcpy(buffer, Front(), n);
    Drop(n);
    return n;
}

void ByteQueue::Drop(std::size_t length) {
    m_head += std::min(length, Size());
    if (m_head == m_data.size())
        Clear();
}

void ByteQueue::Clear() {
    m_data.clear();
    m_head = 0;
}

// ---------------------------------------------------------------------------------------
// Life cycle

VirtualModem::VirtualModem(const VirtualModemConfig& config) : m_config{config} {
    m_serial.baud = 115200;
    ResetSettings();
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
            HandleCommandByte(data[done++]);
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
    if (connected || m_settings.dcdMode == 0)
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
    switch (m_settings.dtrMode) {
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
        if (m_settings.dtrMode == 3)
            ResetSettings();
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
    return static_cast<long>(m_toLine.Size()) + m_heldEscapes;
}

LineErrorCounts VirtualModem::Errors() {
    return {};
}

int VirtualModem::SendImmediate(unsigned char c) {
    return Write(&c, 1) == 1 ? 0 : -EAGAIN;
}

// ---------------------------------------------------------------------------------------
// Command mode

bool VirtualModem::Dialling() const {
    return m_state == CallState::Connecting || m_state == CallState::CallerWaiting ||
           m_state == CallState::CallerRinging || m_state == CallState::Answering;
}

void VirtualModem::HandleCommandByte(unsigned char c) {
    // Echo is dropped rather than queued without bound when nobody reads it.
    if (m_settings.echo &&
        m_toComputer.Size() < static_cast<std::size_t>(kVirtualModemReceiveQueue))
        m_toComputer.Append(&c, 1);
    char upper = static_cast<char>(std::toupper(c));
    if (!m_inLine) {
        if (m_sawA && upper == 'T') {
            m_inLine = true;
            m_line.clear();
            m_sawA = false;
        } else if (m_sawA && c == '/') {
            m_sawA = false;
            ExecuteLine(m_lastLine);
        } else {
            m_sawA = upper == 'A';
        }
        return;
    }
    if (c == m_settings.registers[kRegCarriageReturn]) {
        m_inLine = false;
        if (m_line.size() > kMaxCommandLine) {
            Emit(Result::Error);
            return;
        }
        m_lastLine = m_line;
        ExecuteLine(m_line);
        return;
    }
    if (c == m_settings.registers[kRegBackspace]) {
        if (!m_line.empty())
            m_line.pop_back();
        return;
    }
    if (c < ' ')
        return; // line feeds and other control characters are not part of a command
    if (m_line.size() <= kMaxCommandLine)
        m_line += static_cast<char>(c);
}

void VirtualModem::ExecuteLine(const std::string& line) {
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < line.size() && line[i] == ' ')
            ++i;
    };
    // The number after a command letter; `none` when no digit follows.
    auto number = [&](int none) {
        skipBlanks();
        if (i >= line.size() || !std::isdigit(static_cast<unsigned char>(line[i])))
            return none;
        long value = 0;
        while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
            value = std::min(value * 10 + (line[i] - '0'), 100000L);
            ++i;
        }
        return static_cast<int>(value);
    };
    auto inRange = [](int value, int low, int high) { return value >= low && value <= high; };

    while (true) {
        skipBlanks();
        if (i >= line.size())
            break;
        char command = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i++])));
        bool ok = true;
        switch (command) {
        case 'A':
            Answer();
            return;
        case 'D':
            ExecuteDial(line.substr(i));
            return;
        case 'O':
            number(0);
            if (m_state == CallState::OnlineCommand)
                GoOnline();
            else
                Emit(Result::NoCarrier);
            return;
        case 'E':
        case 'Q':
        case 'V': {
            int v = number(0);
            ok = inRange(v, 0, 1);
            if (ok)
                (command == 'E'   ? m_settings.echo
                 : command == 'Q' ? m_settings.quiet
                                  : m_settings.verbose) = v == 1;
            break;
        }
        case 'H': {
            int v = number(0);
            if (v == 0)
                PutOnHook();
            else if (v == 1 && m_state == CallState::Idle)
                m_state = CallState::OffHook;
            else
                ok = v == 1;
            break;
        }
        case 'I': {
            int v = number(0);
            ok = inRange(v, 0, 9);
            char text[160];
            if (v == 0)
                std::snprintf(text, sizeof text, "%s", kIdentification);
            else if (v == 3)
                std::snprintf(text, sizeof text, "%s %s", kIdentification, kVersion);
            else if (v == 4)
                std::snprintf(text, sizeof text, "Line rate %s, listening on %s:%u",
                              m_config.lineRate == 0 ? "unlimited"
                                                     : std::to_string(m_config.lineRate).c_str(),
                              m_config.listenAddress.c_str(), m_listenPort);
            else
                text[0] = 0;
            if (ok && text[0] != 0)
                EmitText(text);
            break;
        }
        case 'B':
            ok = inRange(number(0), 0, 1);
            break;
        case 'L':
        case 'M':
            ok = inRange(number(0), 0, 3);
            break;
        case 'N':
            ok = inRange(number(0), 0, 1);
            break;
        case 'P':
        case 'T':
            break;
        case 'W':
            ok = inRange(number(0), 0, 2);
            break;
        case 'X': {
            int v = number(0);
            ok = inRange(v, 0, 4);
            if (ok)
                m_settings.resultSet = v;
            break;
        }
        case 'Z':
            ok = inRange(number(0), 0, 1);
            if (ok) {
                PutOnHook();
                ResetSettings();
            }
            break;
        case 'S': {
            int reg = number(-1);
            ok = inRange(reg, 0, kRegisterCount - 1);
            skipBlanks();
            if (ok && i < line.size() && line[i] == '=') {
                ++i;
                int v = number(0);
                ok = inRange(v, 0, 255) && reg != kRegRingCount;
                if (ok)
                    m_settings.registers[reg] = static_cast<unsigned char>(v);
            } else if (ok && i < line.size() && line[i] == '?') {
                ++i;
                char text[8];
                std::snprintf(text, sizeof text, "%03u", m_settings.registers[reg]);
                EmitText(text);
            }
            break;
        }
        case '&': {
            char sub = i < line.size()
                           ? static_cast<char>(std::toupper(static_cast<unsigned char>(line[i++])))
                           : 0;
            int v = number(0);
            switch (sub) {
            case 'C':
                ok = inRange(v, 0, 1);
                if (ok)
                    m_settings.dcdMode = v;
                break;
            case 'D':
                ok = inRange(v, 0, 3);
                if (ok)
                    m_settings.dtrMode = v;
                break;
            case 'F':
                ok = v == 0;
                if (ok)
                    ResetSettings();
                break;
            case 'K':
            case 'Q':
                ok = inRange(v, 0, 6);
                break;
            case 'S':
            case 'W':
            case 'Y':
                ok = inRange(v, 0, 1);
                break;
            default:
                ok = false;
                break;
            }
            break;
        }
        default:
            // Extended command sets (voice and data "#", "-", "+", "%", "\") are not offered.
            ok = false;
            break;
        }
        if (!ok) {
            Emit(Result::Error);
            return;
        }
    }
    Emit(Result::Ok);
}

void VirtualModem::ExecuteDial(const std::string& rest) {
    if (m_config.noLine) {
        Emit(Result::NoDialtone);
        return;
    }
    if (m_state != CallState::Idle && m_state != CallState::OffHook) {
        Emit(Result::Error);
        return;
    }
    std::string number;
    for (char c : rest)
        if (c != ' ')
            number += c;
    // Only the first character can be the tone or pulse modifier: host names contain both.
    if (!number.empty() && (std::toupper(static_cast<unsigned char>(number[0])) == 'T' ||
                            std::toupper(static_cast<unsigned char>(number[0])) == 'P'))
        number.erase(0, 1);
    bool stayInCommandMode = !number.empty() && number.back() == ';';
    if (stayInCommandMode)
        number.pop_back();
    m_dialNumber += number;
    if (stayInCommandMode) {
        m_state = CallState::OffHook;
        Emit(Result::Ok);
        return;
    }
    std::string dialled = m_dialNumber;
    m_dialNumber.clear();
    std::string target = ResolveNumber(dialled);
    m_callStart = GetTickCount();
    if (target.empty()) {
        EndCall(Result::NoCarrier);
        return;
    }
    m_state = CallState::Connecting;
    m_peer = Peer::Unknown;
    m_callRate = m_config.lineRate;
    m_dialTarget = target;
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
    if (m_peer != Peer::Modem)
        m_peer = Peer::Plain;
    if (m_peer == Peer::Modem)
        SendFrame(FrameWith(kStatusAnswer, m_callRate, true));
    GoOnline();
    m_toComputer.Append(m_handshake.Front(), m_handshake.Size()); // what a plain caller sent early
    m_handshake.Clear();
}

void VirtualModem::GoOnline() {
    bool fresh = m_state != CallState::OnlineCommand;
    m_state = CallState::Online;
    m_settings.registers[kRegRingCount] = 0;
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
    m_control.Clear();
    m_sendBlocked = false;
    m_lineDead = false;
    m_heldEscapes = 0;
    m_settings.registers[kRegRingCount] = 0;
    m_dialNumber.clear();
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

void VirtualModem::ResetSettings() {
    unsigned char rings = m_settings.registers[kRegRingCount];
    m_settings = Settings{};
    for (const FactoryRegister& r : kFactoryRegisters)
        m_settings.registers[r.number] = r.value;
    if (m_state == CallState::Ringing)
        m_settings.registers[kRegRingCount] = rings;
}

std::uint32_t VirtualModem::ConnectRate() const {
    return m_callRate != 0 ? m_callRate : m_serial.baud;
}

std::uint32_t VirtualModem::GuardMs() const {
    return m_settings.registers[kRegGuardTime] * 20u; // fiftieths of a second
}

void VirtualModem::Emit(Result result) {
    if (m_settings.quiet)
        return;
    int set = m_settings.resultSet;
    if (result == Result::Busy && set < 3)
        result = Result::NoCarrier;
    if (result == Result::NoDialtone && set != 2 && set != 4)
        result = Result::NoCarrier;
    std::uint32_t rate = set == 0 ? 0 : ConnectRate();
    std::string text;
    int code = 0;
    switch (result) {
    case Result::Ok:
        text = "OK";
        code = 0;
        break;
    case Result::Connect:
        text = rate == 0 ? std::string("CONNECT") : "CONNECT " + std::to_string(rate);
        code = 1;
        for (const ConnectCode& c : kConnectCodes)
            if (rate != 0 && c.rate == rate)
                code = c.code;
        break;
    case Result::Ring:
        text = "RING";
        code = 2;
        break;
    case Result::NoCarrier:
        text = "NO CARRIER";
        code = 3;
        break;
    case Result::Error:
        text = "ERROR";
        code = 4;
        break;
    case Result::NoDialtone:
        text = "NO DIALTONE";
        code = 6;
        break;
    case Result::Busy:
        text = "BUSY";
        code = 7;
        break;
    }
    if (m_settings.verbose)
        m_toComputer.Append("\r\n" + text + "\r\n");
    else
        m_toComputer.Append(std::to_string(code) + "\r");
    Notify();
}

void VirtualModem::EmitText(const std::string& text) {
    m_toComputer.Append(m_settings.verbose ? "\r\n" + text + "\r\n" : text + "\r\n");
}

// ---------------------------------------------------------------------------------------
// Data mode

std::size_t VirtualModem::HandleDataBytes(const unsigned char* data, std::size_t length) {
    const std::uint32_t now = GetTickCount();
    const std::uint32_t guard = GuardMs();
    const unsigned escape = m_settings.registers[kRegEscape];
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
                     static_cast<char>(m_settings.registers[kRegEscape]));
    m_toLine.Append(held);
    m_lastDataTick = m_lastEscapeTick;
    m_heldEscapes = 0;
}

// ---------------------------------------------------------------------------------------
// Network side

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
            SetNoDelay(fd);
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
        SetNoDelay(fd);
        bool dtrReady = m_dtr || m_settings.dtrMode < 2;
        if (m_state == CallState::Idle && m_sock < 0 && dtrReady) {
            m_sock = fd;
            m_state = CallState::Ringing;
            m_peer = Peer::Unknown;
            m_callRate = m_config.lineRate;
            m_handshake.Clear();
            m_callStart = GetTickCount();
            m_handshakeDeadline =
                RealClock::now() + std::chrono::milliseconds(kVirtualModemHandshakeMs);
            m_settings.registers[kRegRingCount] = 0;
            Ring();
            continue;
        }
        std::string busy = FrameWith(kStatusBusy);
        [[maybe_unused]] auto sent = ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        m_draining.push_back({fd, RealClock::now()});
    }
}

void VirtualModem::Ring() {
    m_lastRing = GetTickCount();
    unsigned char& count = m_settings.registers[kRegRingCount];
    if (count < 255)
        ++count;
    Emit(Result::Ring);
    int autoAnswer = m_settings.registers[kRegAutoAnswer];
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
        auto got = static_cast<std::size_t>(n);
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
}

void VirtualModem::ProcessHandshakeAsCaller() {
    while (m_state == CallState::CallerWaiting || m_state == CallState::CallerRinging) {
        Frame frame = ParseFrame(m_handshake.Front(), m_handshake.Size());
        if (frame.outcome == Frame::Incomplete)
            return;
        if (frame.outcome == Frame::Invalid) {
            if (m_state == CallState::CallerWaiting)
                FinishDialAsPlain(); // a service that speaks first, not a modem
            else
                EndCall(Result::NoCarrier); // a modem that stopped making sense
            return;
        }
        if (frame.status == kStatusCall && m_state == CallState::CallerWaiting) {
            m_handshake.Drop(frame.length);
            FinishDialAsPlain(); // our own call frame, echoed
            return;
        }
        m_handshake.Drop(frame.length);
        if (frame.status == kStatusRinging) {
            m_peer = Peer::Modem;
            m_state = CallState::CallerRinging;
        } else if (frame.status == kStatusAnswer) {
            m_peer = Peer::Modem;
            if (frame.hasRate)
                m_callRate = frame.rate;
            GoOnline();
            m_toComputer.Append(m_handshake.Front(), m_handshake.Size());
            m_handshake.Clear();
        } else if (frame.status == kStatusBusy) {
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
    Frame frame = ParseFrame(m_handshake.Front(), m_handshake.Size());
    if (frame.outcome == Frame::Invalid ||
        (frame.outcome == Frame::Complete && frame.status != kStatusCall)) {
        m_peer = Peer::Plain; // its bytes stay queued and are delivered after the answer
    } else if (frame.outcome == Frame::Complete) {
        m_peer = Peer::Modem;
        m_callRate = AgreedRate(m_config.lineRate, frame.hasRate ? frame.rate : 0);
        m_handshake.Drop(frame.length);
        SendFrame(FrameWith(kStatusRinging));
    }
    if (m_peer != Peer::Unknown && m_state == CallState::Answering)
        FinishAnswer();
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
    if (m_toLine.Empty())
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
    ssize_t n = ::send(m_sock, m_toLine.Front(), allowed, MSG_NOSIGNAL);
    if (n < 0) {
        m_sendBlocked = errno == EAGAIN || errno == EWOULDBLOCK;
        return;
    }
    m_toLine.Drop(static_cast<std::size_t>(n));
    if (m_callRate != 0)
        m_credit -= static_cast<double>(n);
    Notify();
}

void VirtualModem::RunTimers() {
    const auto realNow = RealClock::now();
    if (m_state == CallState::Online && m_heldEscapes > 0 &&
        TicksSince(m_lastEscapeTick) >= GuardMs()) {
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
    if (calling && TicksSince(m_callStart) >= m_settings.registers[kRegCarrierWait] * 1000u) {
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
        consider(TickMsUntil(m_lastEscapeTick + GuardMs()));
    if (m_state == CallState::Connecting || m_state == CallState::CallerWaiting ||
        m_state == CallState::CallerRinging)
        consider(TickMsUntil(m_callStart + m_settings.registers[kRegCarrierWait] * 1000u));
    if ((m_state == CallState::CallerWaiting ||
         ((m_state == CallState::Ringing || m_state == CallState::Answering) &&
          m_peer == Peer::Unknown)))
        consider(RealMsUntil(m_handshakeDeadline));
    if (m_state == CallState::Ringing)
        consider(TickMsUntil(m_lastRing + kVirtualModemRingIntervalMs));
    bool sending = m_state == CallState::Online || m_state == CallState::OnlineCommand;
    if (sending && !m_toLine.Empty() && m_callRate != 0 && !m_sendBlocked) {
        double perMs = m_callRate / 10000.0;
        double want =
            std::min(static_cast<double>(m_toLine.Size()), std::max(perMs * kPacingChunkMs, 1.0));
        double missing = want - m_credit;
        if (missing <= 0)
            consider(0);
        else
            consider(TickMsUntil(m_creditTick + static_cast<std::uint32_t>(missing / perMs + 1)));
    } else if (sending && !m_toLine.Empty() && !m_sendBlocked) {
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
                    m_state = CallState::CallerWaiting;
                    m_handshake.Clear();
                    m_handshakeDeadline =
                        RealClock::now() + std::chrono::milliseconds(kVirtualModemHandshakeMs);
                    SendFrame(FrameWith(kStatusCall, m_config.lineRate, true));
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

// ---------------------------------------------------------------------------------------
// Port-map values

bool ParseListenAddress(const std::string& text, std::string& address, std::uint16_t& port) {
    if (!text.empty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (text.size() > 5 || std::stoul(text) > 65535)
            return false;
        address = "127.0.0.1";
        port = static_cast<std::uint16_t>(std::stoul(text));
        return true;
    }
    std::string host;
    if (!SplitHostPort(text, host, port) || host.empty())
        return false;
    address = host;
    return true;
}

bool ParseVirtualModemMapValue(const std::string& mapValue, VirtualModemConfig& config) {
    const std::string prefix = "vmodem:";
    if (mapValue.size() < prefix.size() || mapValue.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::size_t at = prefix.size();
    while (at <= mapValue.size()) {
        std::size_t end = mapValue.find(';', at);
        if (end == std::string::npos)
            end = mapValue.size();
        std::string item = mapValue.substr(at, end - at);
        at = end + 1;
        if (item.empty())
            continue;
        auto equals = item.find('=');
        if (equals == std::string::npos)
            return false;
        std::string key = item.substr(0, equals);
        std::string value = item.substr(equals + 1);
        auto isNumber = [](const std::string& s) {
            return !s.empty() && s.size() <= 9 &&
                   std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        if (key == "listen") {
            if (!ParseListenAddress(value, config.listenAddress, config.listenPort))
                return false;
        } else if (key == "rate") {
            if (value == "unlimited")
                config.lineRate = 0;
            else if (isNumber(value) && std::stoul(value) >= 300 && std::stoul(value) <= 10000000)
                config.lineRate = static_cast<std::uint32_t>(std::stoul(value));
            else
                return false;
        } else if (key == "noline" || key == "answer") {
            if (value != "0" && value != "1")
                return false;
            if (key == "noline")
                config.noLine = value == "1";
            else
                config.listen = value == "1";
        } else {
            return false;
        }
    }
    return true;
}

std::unique_ptr<SerialDevice> OpenVirtualModemDevice(const std::string& mapValue, int& error,
                                                     NumberLookup lookup) {
    VirtualModemConfig config;
    if (!ParseVirtualModemMapValue(mapValue, config)) {
        error = -EINVAL;
        return nullptr;
    }
    config.lookup = std::move(lookup);
    return VirtualModem::Open(config, error);
}

} // namespace platform
