// The sender against an independent ZMODEM peer: Debian's `rz` from lrzsz, running as a
// child process on the other end of a socket pair.
#include "protocol/Zmodem.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "comm/GFSerial.h"
#include "comm/StatusCodes.h"
#include "protocol/LocalFileEngine.h"
#include "tests/protocol/ProtocolTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/StubLink.h"

using namespace protocol;
using namespace comm;
using testsupport::TempDir;

namespace {

// A link over a non-blocking descriptor; Idle sleeps in poll until input arrives or a
// millisecond passes.
class DescriptorLink : public testsupport::StubLink {
  public:
    explicit DescriptorLink(int fd) : StubLink(29), m_fd{fd} {
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    }
    ~DescriptorLink() override { ::close(m_fd); }

    int Idle() override {
        pollfd p{m_fd, POLLIN, 0};
        ::poll(&p, 1, 1);
        return 0;
    }
    int GetQueueStatus(QueueStatus& status) override {
        int waiting = 0;
        ::ioctl(m_fd, FIONREAD, &waiting);
        status.receiveCount = waiting;
        return 0;
    }
    int SetHandshake(int, int) override { return 0; }
    int GetHandshake(int& i, int& o) override {
        i = o = 0;
        return 0;
    }
    int SetLineParams(long, char, int, int) override { return 0; }
    int GetLineParams(long& b, char& p, int& d, int& s) override {
        b = 115200, p = 'N', d = 8, s = 1;
        return 0;
    }
    int GetLineStates(unsigned char states[4]) override {
        std::memset(states, 0, 4);
        return 0;
    }
    int WriteChar(int c) override {
        unsigned char b = static_cast<unsigned char>(c);
        return WriteBuffer(&b, 1) == 1 ? 0 : kBufferFull;
    }
    int WriteBuffer(const unsigned char* data, int length) override {
        ssize_t n = ::send(m_fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        return n > 0 ? static_cast<int>(n) : 0;
    }
    int ReadChar() override {
        unsigned char b;
        return ReadBuffer(&b, 1) == 1 ? b : kTimedOut;
    }
    int ReadBuffer(unsigned char* buffer, int length) override {
        ssize_t n = ::read(m_fd, buffer, static_cast<std::size_t>(length));
        return n > 0 ? static_cast<int>(n) : 0;
    }
    int Purge(int direction, int) override {
        unsigned char sink[4096];
        if (direction == 0)
            while (::read(m_fd, sink, sizeof sink) > 0) {
            }
        return 0;
    }

  private:
    int m_fd;
};

// Starts `command` in `folder` with its standard input and output on one end of a socket
// pair; returns the other end and the child's process id.
std::pair<int, pid_t> StartPeer(const std::string& folder, const std::vector<const char*>& argv) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return {-1, -1};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], 0);
        ::dup2(fds[1], 1);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        if (::chdir(folder.c_str()) != 0)
            ::_exit(126);
        ::setenv("TZ", "UTC", 1);
        std::vector<char*> args;
        for (const char* a : argv)
            args.push_back(const_cast<char*>(a));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    return {fds[0], pid};
}

bool HaveProgram(const char* name) {
    std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

} // namespace

TEST(LrzszInterop, RzReceivesWhatTheSenderStreams) {
    if (!HaveProgram("rz"))
        GTEST_SKIP() << "rz (lrzsz) is not installed";
    TempDir dir;
    std::filesystem::create_directories(dir.Path() / "out");
    std::filesystem::create_directories(dir.Path() / "in");
    std::mt19937 random(9);
    std::string big(300000, '\0');
    for (char& c : big)
        c = static_cast<char>(random());
    std::string control;
    for (int i = 0; i < 256; ++i)
        control += static_cast<char>(i);
    control += "\r\n@\r*\x18\x18\x18";
    dir.WriteFile("out/big.bin", big);
    dir.WriteFile("out/control.bin", control);
    dir.WriteFile("out/empty.txt", "");

    auto [fd, pid] = StartPeer((dir.Path() / "in").string(), {"rz", "-q", "-y"});
    ASSERT_GE(fd, 0);
    DescriptorLink link(fd);
    GFSerial serial(&link);
    prototest::RecordingStatus status;
    LocalFileEngine engine;
    Zmodem sender(&serial, &status);
    sender.SetFileEngine(&engine);
    sender.SetWindowedSending(false);
    std::string list = dir / "out/*";
    int result = sender.Send(list.c_str());
    int childStatus = 0;
    ::waitpid(pid, &childStatus, 0);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(status.filesDone, 3);
    EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/big.bin"), big);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/control.bin"), control);
    EXPECT_TRUE(std::filesystem::exists(dir.Path() / "in/empty.txt"));
    // The date goes over as the sender's local seconds in octal; rz reads them as universal
    // time, so its stamp is the original moved by this zone's offset.
    struct stat sent, received;
    ASSERT_EQ(::stat((dir.Path() / "out/big.bin").c_str(), &sent), 0);
    ASSERT_EQ(::stat((dir.Path() / "in/big.bin").c_str(), &received), 0);
    std::tm local{};
    ::localtime_r(&sent.st_mtime, &local);
    EXPECT_EQ(received.st_mtime, sent.st_mtime + local.tm_gmtoff);
}
