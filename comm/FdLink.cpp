// The link over file descriptors.
#include "comm/FdLink.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "comm/StatusCodes.h"

namespace comm {

namespace {
constexpr int kCarrierOn = 1;
}

FdLink::FdLink(int readFd, int writeFd)
    : ComLink(kPortNumber), m_readFd{readFd}, m_writeFd{writeFd},
      m_queue{new unsigned char[kTransmitQueueSize]} {
    Take(m_read, readFd);
    if (writeFd != readFd)
        Take(m_write, writeFd);
    BoundLine(writeFd != readFd ? m_write : m_read, writeFd);
}

void FdLink::BoundLine(SavedMode& saved, int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return;
    if (S_ISFIFO(info.st_mode)) {
        const int size = ::fcntl(fd, F_GETPIPE_SZ);
        if (size > kLineQueueLimit && ::fcntl(fd, F_SETPIPE_SZ, kLineQueueLimit) >= 0)
            saved.pipeSize = size;
    } else if (S_ISSOCK(info.st_mode)) {
        // The kernel doubles what it is given, for its own bookkeeping.
        int size = 0;
        socklen_t length = sizeof size;
        const int wanted = static_cast<int>(kLineQueueLimit / 2);
        if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length) == 0 &&
            size > kLineQueueLimit &&
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted) == 0)
            saved.sendBuffer = size / 2;
    }
}

FdLink::~FdLink() {
    // What the transfer wrote last (the sender's "OO", a final ZFIN) still goes out.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
    while (m_queued > 0 && !m_hungUp && std::chrono::steady_clock::now() < deadline) {
        Flush();
        if (m_queued == 0)
            break;
        pollfd p{m_writeFd, POLLOUT, 0};
        ::poll(&p, 1, kIdleCapMs);
    }
    Restore(m_read);
    if (m_write.fd >= 0)
        Restore(m_write);
}

void FdLink::Take(SavedMode& saved, int fd) {
    saved.fd = fd;
    saved.flags = ::fcntl(fd, F_GETFL);
    if (saved.flags >= 0)
        ::fcntl(fd, F_SETFL, saved.flags | O_NONBLOCK);
    if (::isatty(fd) && ::tcgetattr(fd, &saved.attributes) == 0) {
        saved.terminal = true;
        // Eight clean bits in both directions: no echo, no line editing, no flow control
        // characters taken out of the data, no CR/LF translation.
        termios raw = saved.attributes;
        ::cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        ::tcsetattr(fd, TCSANOW, &raw);
    }
}

void FdLink::Restore(const SavedMode& saved) {
    if (saved.fd < 0)
        return;
    if (saved.pipeSize > 0)
        ::fcntl(saved.fd, F_SETPIPE_SZ, saved.pipeSize);
    if (saved.sendBuffer > 0)
        ::setsockopt(saved.fd, SOL_SOCKET, SO_SNDBUF, &saved.sendBuffer, sizeof saved.sendBuffer);
    // What was written still goes out before the terminal gets its old mode back.
    if (saved.terminal)
        ::tcsetattr(saved.fd, TCSADRAIN, &saved.attributes);
    if (saved.flags >= 0)
        ::fcntl(saved.fd, F_SETFL, saved.flags);
}

long FdLink::UnreadOutput() const {
    int pending = 0;
    if (::ioctl(m_writeFd, TIOCOUTQ, &pending) == 0 || ::ioctl(m_writeFd, FIONREAD, &pending) == 0)
        return pending;
    return -1;
}

void FdLink::Flush() {
    // The queue is a ring: what waits is written in at most two pieces, and nothing is
    // moved when the descriptor takes only part of it.
    while (m_queued > 0) {
        const int first = std::min(m_queued, kTransmitQueueSize - m_head);
        iovec pieces[2] = {{m_queue.get() + m_head, static_cast<std::size_t>(first)},
                           {m_queue.get(), static_cast<std::size_t>(m_queued - first)}};
        const ssize_t n = ::writev(m_writeFd, pieces, m_queued > first ? 2 : 1);
        if (n > 0) {
            m_head = (m_head + static_cast<int>(n)) % kTransmitQueueSize;
            m_queued -= static_cast<int>(n);
            // Less taken than offered: the line is full, and asking again now only costs
            // a system call that takes nothing.
            if (m_queued > 0)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // The other side is gone: as on a line without carrier, the bytes go nowhere.
            m_hungUp = true;
            SetLastStatus(kWriteError);
            m_queued = 0;
        }
        break;
    }
    if (m_queued == 0)
        m_head = 0;
    m_writeBlocked = m_queued > 0;
}

int FdLink::Idle() {
    m_readHeld = false;
    // A line that took only part of the last write has no room until poll says so.
    if (!m_writeBlocked)
        Flush();
    // The other side is gone and all it sent has been read: the line is lost, and a wait
    // for more would only run out its time-out.
    if (m_hungUp)
        return kLostCarrier;
    pollfd fds[2];
    int count = 0;
    fds[count++] = pollfd{m_readFd, POLLIN, 0};
    if (m_writeBlocked) {
        if (m_writeFd == m_readFd)
            fds[0].events |= POLLOUT;
        else
            fds[count++] = pollfd{m_writeFd, POLLOUT, 0};
    }
    if (::poll(fds, static_cast<nfds_t>(count), kIdleCapMs) > 0) {
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents & POLLOUT)
                m_writeBlocked = false;
        }
        // Woken for room, not input: a read now would find nothing.
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            m_readHeld = true;
            m_emptyReadAt = std::chrono::steady_clock::now();
        }
        if (!m_writeBlocked)
            Flush();
    }
    NoteHangUp(fds, count);
    return 0;
}

void FdLink::NoteHangUp(const pollfd* fds, int count) {
    for (int i = 0; i < count; ++i) {
        if (!(fds[i].revents & (POLLHUP | POLLERR)))
            continue;
        // The other side is gone, but what it sent before going is still read first.
        int waiting = 0;
        if (fds[i].fd == m_readFd && ::ioctl(m_readFd, FIONREAD, &waiting) == 0 && waiting > 0)
            continue;
        m_hungUp = true;
    }
}

int FdLink::ReadModemStatus() {
    return 0;
}
int FdLink::Open() {
    return 0;
}
int FdLink::OpenDevice() {
    return 0;
}
int FdLink::Close() {
    return 0;
}

int FdLink::GetQueueStatus(QueueStatus& status) {
    int waiting = 0;
    if (::ioctl(m_readFd, FIONREAD, &waiting) != 0)
        waiting = 0;
    status = QueueStatus{};
    status.receiveCount = waiting;
    // What the line has not carried yet: the link's own queue and what the other side has
    // not read of the descriptor.
    const long unread = UnreadOutput();
    status.transmitCount = m_queued + (unread > 0 ? unread : 0);
    status.transmitSize = kTransmitQueueSize;
    return 0;
}

int FdLink::SetBufferSizes(long, long, long) {
    return 0;
}

int FdLink::SetHandshake(int inputMode, int outputMode) {
    m_inputMode = inputMode;
    m_outputMode = outputMode;
    return 0;
}

int FdLink::GetHandshake(int& inputMode, int& outputMode) {
    inputMode = m_inputMode;
    outputMode = m_outputMode;
    return 0;
}

int FdLink::SetBreak(int) {
    return 0;
}

int FdLink::Line(int number, int) {
    switch (number) {
    case kLineDcd:
    case kLineDsr:
    case kLineCts:
        return m_hungUp ? 0 : kCarrierOn;
    case kLineDtr:
    case kLineRts:
        return 1;
    default:
        return 0;
    }
}

int FdLink::SetLineParams(long baud, char parity, int dataBits, int stopBits) {
    m_baud = baud;
    m_parity = parity;
    m_dataBits = dataBits;
    m_stopBits = stopBits;
    return 0;
}

int FdLink::GetLineParams(long& baud, char& parity, int& dataBits, int& stopBits) {
    baud = m_baud;
    parity = m_parity;
    dataBits = m_dataBits;
    stopBits = m_stopBits;
    return 0;
}

int FdLink::GetLineStates(unsigned char states[4]) {
    // The lines a modem would show: everything up while the other side is there.
    const unsigned char up = m_hungUp ? 0 : 1;
    states[0] = static_cast<unsigned char>(1 | 1 << 2 | up << 6);
    states[1] = static_cast<unsigned char>(up | up << 4);
    states[2] = 0;
    states[3] = 0;
    return 0;
}

int FdLink::WriteChar(int c) {
    unsigned char byte = static_cast<unsigned char>(c);
    int written = WriteBuffer(&byte, 1);
    if (written == 1)
        return 0;
    return written < 0 ? written : kBufferFull;
}

int FdLink::WriteString(const char* text) {
    return WriteBuffer(reinterpret_cast<const unsigned char*>(text),
                       static_cast<int>(std::strlen(text)));
}

int FdLink::WriteBuffer(const unsigned char* data, int length) {
    if (length <= 0)
        return 0;
    // As on a serial line whose carrier dropped, bytes written after the hang-up go nowhere;
    // the lost carrier, not a write that never completes, is what ends the transfer.
    if (m_hungUp)
        return length;
    if (m_queued + length > kTransmitQueueSize && !m_writeBlocked)
        Flush();
    const int taken = std::min(length, kTransmitQueueSize - m_queued);
    const int tail = (m_head + m_queued) % kTransmitQueueSize;
    const int first = std::min(taken, kTransmitQueueSize - tail);
    std::memcpy(m_queue.get() + tail, data, static_cast<std::size_t>(first));
    std::memcpy(m_queue.get(), data + first, static_cast<std::size_t>(taken - first));
    m_queued += taken;
    if (m_queued == kTransmitQueueSize && !m_writeBlocked)
        Flush();
    if (m_hungUp)
        return length;
    if (taken < length)
        m_writeBlocked = true;
    return taken;
}

int FdLink::SendImmediate(int c) {
    return WriteChar(c);
}

int FdLink::ReadChar() {
    unsigned char byte;
    return ReadBuffer(&byte, 1) == 1 ? byte : kTimedOut;
}

int FdLink::ReadBuffer(unsigned char* buffer, int length) {
    if (length <= 0)
        return 0;
    if (m_readHeld && std::chrono::steady_clock::now() - m_emptyReadAt < kEmptyReadHold)
        return 0;
    m_readHeld = false;
    // An answer queued here (a ZRPOS, a ZACK) must not wait behind input that keeps coming:
    // every real read sends the queue first.
    if (m_queued > 0)
        Flush();
    ssize_t n;
    do {
        n = ::read(m_readFd, buffer, static_cast<std::size_t>(length));
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        return static_cast<int>(n);
    m_readHeld = true;
    m_emptyReadAt = std::chrono::steady_clock::now();
    // End of input, or a terminal whose other side went away: the line is down.
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        m_hungUp = true;
    return 0;
}

int FdLink::Purge(int direction, int) {
    if (direction == 0) {
        if (m_read.terminal)
            ::tcflush(m_readFd, TCIFLUSH);
        unsigned char sink[4096];
        while (ReadBuffer(sink, sizeof sink) > 0) {
        }
    } else {
        m_queued = 0;
        m_head = 0;
        m_writeBlocked = false;
        if (m_write.terminal || (m_writeFd == m_readFd && m_read.terminal))
            ::tcflush(m_writeFd, TCOFLUSH);
    }
    return 0;
}

} // namespace comm
