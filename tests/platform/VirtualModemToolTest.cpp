// sendari-vmodem as a user runs it: a pseudo-terminal that answers AT commands, a link to it,
// and a clean exit on SIGTERM.
#include "tests/support/TempDir.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Reads from fd until `text` has arrived or the cap passes; everything read.
std::string ReadUntil(int fd, const std::string& text, std::chrono::milliseconds cap) {
    std::string seen;
    auto end = std::chrono::steady_clock::now() + cap;
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char buffer[256];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return seen;
}

} // namespace

TEST(SendariVmodemTool, PresentsAModemOnAPseudoTerminalUntilTerminated) {
    testsupport::TempDir dir;
    std::string link = dir / "modem";
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(SENDARI_VMODEM_PATH, "sendari-vmodem", "--listen", "127.0.0.1:0", "--rate",
                "unlimited", "--link", link.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string first = ReadUntil(out[0], "\n", 5s);
    ASSERT_FALSE(first.empty());
    std::string path = first.substr(0, first.find('\n'));
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);

    int terminal = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    termios raw{};
    ::tcgetattr(terminal, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(terminal, TCSANOW, &raw);
    ASSERT_EQ(::write(terminal, "ATE0 S7?\r", 9), 9);
    EXPECT_NE(ReadUntil(terminal, "\r\nOK\r\n", 5s).find("\r\n050\r\n"), std::string::npos);
    ASSERT_EQ(::write(terminal, "ATDT127.0.0.1:0\r", 16), 16);
    EXPECT_NE(ReadUntil(terminal, "NO CARRIER", 5s).find("NO CARRIER"), std::string::npos);
    ::close(terminal);

    ::kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link)); // removed on the way out
    ::close(out[0]);
}

TEST(SendariVmodemTool, RefusesBadOptions) {
    for (const char* rate : {"fast", "12"}) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            ::execl(SENDARI_VMODEM_PATH, "sendari-vmodem", "--rate", rate,
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2) << rate;
    }
}
