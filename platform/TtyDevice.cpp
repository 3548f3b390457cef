// Terminal devices over termios2: any rate through BOTHER, mark and space parity through
// CMSPAR, modem lines and the driver's interrupt counters where the driver has them.
#include "platform/TtyDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/Clock.h"

namespace platform {
namespace {

// One read() takes at most what the line discipline holds (4 KiB), so twice that keeps
// every burst in one system call.
constexpr std::size_t kInputBufferSize = 8192;
// How long an empty input queue is taken as still empty without asking the driver again.
constexpr std::chrono::microseconds kInputRecheck{1000};
// Device majors of pseudo-terminal slaves.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

int DataBitsFlag(int bits) {
    switch (bits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

int DataBitsOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

char ParityOf(tcflag_t cflag) {
    if (!(cflag & PARENB))
        return 'N';
    if (cflag & CMSPAR)
        return (cflag & PARODD) ? 'M' : 'S';
    return (cflag & PARODD) ? 'O' : 'E';
}

bool ValidConfig(const SerialConfig& c) {
    if (c.baud == 0 || c.dataBits < 5 || c.dataBits > 8)
        return false;
    if (std::strchr("NOEMS", c.parity) == nullptr || c.parity == '\0')
        return false;
    // One and a half stop bits exist only with five data bits, and two only without them:
    // the UART gives 1.5 for CSTOPB with CS5.
    switch (c.stopHalves) {
    case 2:
        return true;
    case 3:
        return c.dataBits == 5;
    case 4:
        return c.dataBits != 5;
    default:
        return false;
    }
}

int Errno() {
    return -(errno != 0 ? errno : EIO);
}

} // namespace

std::unique_ptr<TtyDevice> TtyDevice::Open(const std::string& path, int& error) {
    error = 0;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = Errno();
        return nullptr;
    }
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) {
        error = Errno();
        ::close(fd);
        return nullptr;
    }
    // TIOCEXCL refuses later opens of the device by anyone but a privileged process; the
    // advisory lock also stops those and every program that honours the lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? -EBUSY : Errno();
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);

    std::unique_ptr<TtyDevice> device(new TtyDevice(fd));
    struct stat st {};
    device->m_isPseudoTerminal = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
                                 major(st.st_rdev) >= kPtySlaveMajorFirst &&
                                 major(st.st_rdev) <= kPtySlaveMajorLast;
    int lines = 0;
    device->m_hasModemLines = ::ioctl(fd, TIOCMGET, &lines) == 0;
    serial_icounter_struct counters{};
    device->m_hasCounters = ::ioctl(fd, TIOCGICOUNT, &counters) == 0;
    if (device->m_hasCounters) {
        // Counters run from the driver's start; only what happens while we hold the
        // device is ours.
        device->m_baseline = {static_cast<std::uint32_t>(counters.overrun),
                              static_cast<std::uint32_t>(counters.parity),
                              static_cast<std::uint32_t>(counters.frame),
                              static_cast<std::uint32_t>(counters.brk),
                              static_cast<std::uint32_t>(counters.buf_overrun)};
    }

    SerialConfig config;
    config.baud = tio.c_ospeed != 0 ? tio.c_ospeed : 9600;
    config.dataBits = DataBitsOf(tio.c_cflag);
    config.parity = ParityOf(tio.c_cflag);
    config.stopHalves = (tio.c_cflag & CSTOPB) ? (config.dataBits == 5 ? 3 : 4) : 2;
    config.rtsCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    // Software flow control is part of a terminal's cooked defaults (IXON), not a line
    // setting somebody chose; raw mode starts without it, as cfmakeraw does.
    config.xonXoffOutput = false;
    config.xonXoffInput = false;
    config.xonChar = tio.c_cc[VSTART];
    config.xoffChar = tio.c_cc[VSTOP];
    if (!ValidConfig(config)) {
        config.baud = config.baud != 0 ? config.baud : 9600;
        config.stopHalves = 2;
    }
    int status = device->Configure(config);
    if (status != 0) {
        error = status;
        return nullptr;
    }
    return device;
}

TtyDevice::TtyDevice(int fd) : m_fd{fd}, m_buffer(kInputBufferSize) {}

TtyDevice::~TtyDevice() {
    // Other descriptors of the same terminal (a pseudo-terminal's creator) keep it open,
    // so give the exclusive flag back with the device.
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
}

int TtyDevice::Configure(const SerialConfig& config) {
    if (!ValidConfig(config))
        return -EINVAL;
    termios2 tio{};
    if (::ioctl(m_fd, TCGETS2, &tio) != 0)
        return Errno();

    // Raw binary: no character translation, no echo, no signals, no line editing; a read
    // returns at once with whatever is there.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                     IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    // CLOCAL: a carrier drop must not hang the terminal up under us; the modem engine
    // watches carrier itself and decides what a drop means.
    tio.c_cflag &=
        ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CREAD | CLOCAL | HUPCL | DataBitsFlag(config.dataBits);
    switch (config.parity) {
    case 'O':
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 'E':
        tio.c_cflag |= PARENB;
        break;
    case 'M':
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 'S':
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (config.parity != 'N')
        tio.c_iflag |= INPCK; // bad characters arrive as NUL and count as parity errors
    if (config.stopHalves != 2)
        tio.c_cflag |= CSTOPB;
    if (config.rtsCtsFlow)
        tio.c_cflag |= CRTSCTS;
    if (config.xonXoffOutput)
        tio.c_iflag |= IXON;
    if (config.xonXoffInput)
        tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = config.xonChar;
    tio.c_cc[VSTOP] = config.xoffChar;

    // BOTHER carries the exact rate, standard or not, to drivers that can divide for it.
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = config.baud;
    tio.c_ispeed = config.baud;

    if (::ioctl(m_fd, TCSETS2, &tio) != 0)
        return Errno();
    m_config = config;
    return 0;
}

int TtyDevice::Fill() {
    m_head = m_tail = 0;
    ssize_t n = ::read(m_fd, m_buffer.data(), m_buffer.size());
    m_countersStale = true;
    if (n > 0) {
        m_tail = static_cast<std::size_t>(n);
        m_nextInputCheck = {};
        return static_cast<int>(n);
    }
    m_nextInputCheck = std::chrono::steady_clock::now() + kInputRecheck;
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return 0;
    return Errno();
}

int TtyDevice::Read(unsigned char* buffer, int length) {
    if (length <= 0)
        return 0;
    if (Buffered() == 0) {
        int filled = Fill();
        if (filled <= 0)
            return filled;
    }
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), Buffered());
    std::memcpy(buffer, m_buffer.data() + m_head, n);
    m_head += n;
    return static_cast<int>(n);
}

int TtyDevice::Write(const unsigned char* data, int length) {
    if (length <= 0)
        return 0;
    ssize_t n = ::write(m_fd, data, static_cast<std::size_t>(length));
    if (n < 0)
        return (errno == EAGAIN || errno == EINTR) ? 0 : Errno();
    if (n > 0)
        m_outputMaybeQueued = true;
    return static_cast<int>(n);
}

int TtyDevice::Wait(int capMs, bool forRead, bool forWrite) {
    if (forRead && Buffered() > 0)
        return 1;
    std::uint32_t cap = capMs > 0 ? static_cast<std::uint32_t>(capMs) : 0;
    short events = static_cast<short>((forRead ? POLLIN : 0) | (forWrite ? POLLOUT : 0));
    if (events == 0) {
        platform::Sleep(cap);
        return 0;
    }
    std::uint32_t start = platform::GetTickCount();
    std::int64_t us = platform::RealMicroseconds(cap);
    timespec timeout{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    pollfd p{m_fd, events, 0};
    int r = ::ppoll(&p, 1, &timeout, nullptr);
    if (r < 0)
        return errno == EINTR ? 0 : Errno();
    if (r == 0)
        return 0;
    if (!(p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        if (p.revents & POLLIN)
            m_nextInputCheck = {}; // input is there: the next count must see it
        return 1;
    }
    int waiting = 0;
    if (forRead && ::ioctl(m_fd, FIONREAD, &waiting) == 0 && waiting > 0)
        return 1;
    // The device is gone (adaptor unplugged, or the other end of a pseudo-terminal closed):
    // poll would report that at once for ever, so sleep out the cap to keep a waiting loop
    // from spinning.
    std::uint32_t spent = platform::TicksSince(start);
    if (spent < cap)
        platform::Sleep(cap - spent);
    return -EIO;
}

unsigned TtyDevice::ModemStatus() {
    // A pseudo-terminal has no modem lines; it stands for a direct cable to a peer that is
    // always there, so clear to send, data set ready and carrier read as on, ring as off.
    if (!m_hasModemLines)
        return kModemCts | kModemDsr | kModemDcd;
    int lines = 0;
    if (::ioctl(m_fd, TIOCMGET, &lines) != 0)
        return 0;
    unsigned status = 0;
    if (lines & TIOCM_CTS)
        status |= kModemCts;
    if (lines & TIOCM_DSR)
        status |= kModemDsr;
    if (lines & TIOCM_RNG)
        status |= kModemRing;
    if (lines & TIOCM_CD)
        status |= kModemDcd;
    return status;
}

int TtyDevice::SetModemLine(int bit, bool on) {
    if (!m_hasModemLines)
        return 0; // nothing to drive on a pseudo-terminal
    if (::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit) != 0)
        return Errno();
    return 0;
}

int TtyDevice::SetDtr(bool on) {
    return SetModemLine(TIOCM_DTR, on);
}

int TtyDevice::SetRts(bool on) {
    return SetModemLine(TIOCM_RTS, on);
}

int TtyDevice::SetBreak(bool on) {
    if (::ioctl(m_fd, on ? TIOCSBRK : TIOCCBRK) != 0)
        return Errno();
    return 0;
}

int TtyDevice::Purge(bool input, bool output) {
    if (!input && !output)
        return 0;
    if (input) {
        m_head = m_tail = 0;
        m_nextInputCheck = {};
    }
    int which = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    if (::ioctl(m_fd, TCFLSH, which) != 0)
        return Errno();
    if (output)
        m_outputMaybeQueued = false;
    return 0;
}

long TtyDevice::InputQueued() {
    // While bytes are buffered this costs no system call; an empty buffer is refilled with
    // one read, which is the read the caller is about to ask for anyway.
    // An empty driver queue is asked again only after a short pause (or once a wait saw
    // input), so a sender that checks the input count with every write does not pay a read
    // for it each time.
    if (Buffered() > 0)
        return Buffered();
    if (std::chrono::steady_clock::now() < m_nextInputCheck)
        return 0;
    int filled = Fill();
    return filled > 0 ? filled : 0;
}

long TtyDevice::OutputQueued() {
    // What a pseudo-terminal is given goes straight into its peer's input: nothing waits on
    // this side.
    if (m_isPseudoTerminal || !m_outputMaybeQueued)
        return 0;
    int queued = 0;
    if (::ioctl(m_fd, TIOCOUTQ, &queued) != 0)
        return 0;
    if (queued == 0)
        m_outputMaybeQueued = false;
    return queued;
}

LineErrorCounts TtyDevice::Errors() {
    // Drivers without interrupt counters (a pseudo-terminal among them) never report line
    // errors: the counts stay 0. Otherwise the counters are asked once per burst read.
    if (!m_hasCounters || !m_countersStale)
        return m_counts;
    serial_icounter_struct c{};
    if (::ioctl(m_fd, TIOCGICOUNT, &c) == 0) {
        auto since = [](int now, std::uint32_t base) {
            return static_cast<std::uint32_t>(now) - base;
        };
        m_counts.overrun = since(c.overrun, m_baseline.overrun);
        m_counts.parity = since(c.parity, m_baseline.parity);
        m_counts.framing = since(c.frame, m_baseline.framing);
        m_counts.breaks = since(c.brk, m_baseline.breaks);
        m_counts.bufferOverrun = since(c.buf_overrun, m_baseline.bufferOverrun);
    }
    m_countersStale = false;
    return m_counts;
}

int TtyDevice::SendImmediate(unsigned char c) {
    // The terminal driver has no priority slot for one character, so it joins the driver's
    // queue; the caller's own queue (if any) is what it overtakes.
    int n = Write(&c, 1);
    if (n < 0)
        return n;
    return n == 1 ? 0 : -EAGAIN;
}

} // namespace platform
