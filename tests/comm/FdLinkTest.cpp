// The link over file descriptors: raw terminal mode for its life only, the transmit queue
// that goes out when the transfer waits, and a hang-up seen as a lost carrier.
#include "comm/FdLink.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "comm/GFSerial.h"

using comm::FdLink;

namespace {

std::string ReadAvailable(int fd) {
    std::string got;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        got.append(buffer, static_cast<std::size_t>(n));
    return got;
}

struct SocketPair {
    SocketPair() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        ::fcntl(fd[1], F_SETFL, O_NONBLOCK);
    }
    ~SocketPair() {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
    int fd[2]{-1, -1};
};

} // namespace

TEST(FdLink, TerminalIsRawForTheLifeOfTheLinkOnly) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);
    const int flags = ::fcntl(slave, F_GETFL);
    {
        FdLink link(slave, slave);
        termios during{};
        ASSERT_EQ(::tcgetattr(slave, &during), 0);
        EXPECT_FALSE(during.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_FALSE(during.c_iflag & (IXON | ICRNL));
        EXPECT_FALSE(during.c_oflag & OPOST);
        // Every byte value crosses unchanged, flow-control and line-end characters included.
        std::string all;
        for (int i = 0; i < 256; ++i)
            all += static_cast<char>(i);
        EXPECT_EQ(link.WriteBuffer(reinterpret_cast<const unsigned char*>(all.data()), 256), 256);
        link.Idle();
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        std::string got;
        for (int i = 0; i < 100 && got.size() < 256; ++i) {
            got += ReadAvailable(master);
            link.Idle();
        }
        EXPECT_EQ(got, all);
    }
    termios after{};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(::fcntl(slave, F_GETFL), flags);
    ::close(master);
    ::close(slave);
}

TEST(FdLink, QueuedBytesGoOutWhenTheTransferWaitsOrTheLinkCloses) {
    SocketPair pair;
    {
        FdLink link(pair.fd[0], pair.fd[0]);
        EXPECT_EQ(link.WriteBuffer(reinterpret_cast<const unsigned char*>("ZPAD"), 4), 4);
        comm::QueueStatus queue;
        link.GetQueueStatus(queue);
        EXPECT_EQ(queue.transmitCount, 4);
        link.Idle();
        EXPECT_EQ(ReadAvailable(pair.fd[1]), "ZPAD");
        // A purge of the output drops what was not sent yet.
        link.WriteBuffer(reinterpret_cast<const unsigned char*>("stale"), 5);
        link.Purge(1, 0);
        link.Idle();
        EXPECT_EQ(ReadAvailable(pair.fd[1]), "");
        link.WriteBuffer(reinterpret_cast<const unsigned char*>("OO"), 2);
    }
    EXPECT_EQ(ReadAvailable(pair.fd[1]), "OO");
}

TEST(FdLink, MoreThanTheQueueHoldsIsTakenInPieces) {
    SocketPair pair;
    FdLink link(pair.fd[0], pair.fd[0]);
    // Every byte tells its place, so a piece sent twice, lost or out of order shows.
    std::string big(3 * FdLink::kTransmitQueueSize + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i % 251);
    std::string got;
    std::size_t sent = 0;
    for (int round = 0; round < 10000 && got.size() < big.size(); ++round) {
        if (sent < big.size()) {
            int n = link.WriteBuffer(reinterpret_cast<const unsigned char*>(big.data() + sent),
                                     static_cast<int>(big.size() - sent));
            ASSERT_GE(n, 0);
            sent += static_cast<std::size_t>(n);
        }
        link.Idle();
        got += ReadAvailable(pair.fd[1]);
    }
    EXPECT_EQ(got, big);
}

TEST(FdLink, OtherSideClosingIsALostCarrier) {
    SocketPair pair;
    FdLink link(pair.fd[0], pair.fd[0]);
    comm::GFSerial serial(&link);
    comm::LineStatus status(&link);
    status.Refresh();
    EXPECT_TRUE(status.CarrierDetect());
    EXPECT_EQ(::write(pair.fd[1], "x", 1), 1);
    ::close(pair.fd[1]);
    pair.fd[1] = -1;
    link.Idle();
    unsigned char buffer[8];
    EXPECT_EQ(link.ReadBuffer(buffer, sizeof buffer), 1);
    link.Idle();
    EXPECT_EQ(link.ReadBuffer(buffer, sizeof buffer), 0);
    EXPECT_FALSE(link.Connected());
    status.Refresh();
    EXPECT_FALSE(status.CarrierDetect());
    // Writing to a line that is gone neither blocks nor fails: the bytes go nowhere.
    EXPECT_EQ(link.WriteBuffer(buffer, 8), 8);
}

TEST(FdLink, TakesNoMoreThanABoundedQueueWhileTheOtherSideReadsNothing) {
    SocketPair pair;
    FdLink link(pair.fd[0], pair.fd[0]);
    std::string block(4096, 'd');
    long accepted = 0;
    for (int round = 0; round < 200; ++round) {
        int n = link.WriteBuffer(reinterpret_cast<const unsigned char*>(block.data()), 4096);
        ASSERT_GE(n, 0);
        accepted += n;
        link.Idle();
    }
    // A serial port's transmit queue bounds what a sender believes is on its way; the
    // socket's own buffer would have taken far more.
    EXPECT_GE(accepted, FdLink::kLineQueueLimit);
    EXPECT_LE(accepted, FdLink::kLineQueueLimit + FdLink::kTransmitQueueSize + 16384);
    // Every accepted byte is either on the socket or still in the link's own queue, and the
    // queue status counts both as not yet carried.
    comm::QueueStatus queue;
    link.GetQueueStatus(queue);
    EXPECT_GE(queue.transmitCount, accepted); // a socket counts its bookkeeping too
    const long read = static_cast<long>(ReadAvailable(pair.fd[1]).size());
    link.GetQueueStatus(queue);
    EXPECT_EQ(queue.transmitCount, accepted - read);
}
