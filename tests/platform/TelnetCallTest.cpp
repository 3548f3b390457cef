// Calls to and from telnet peers: the test plays the telnet host or client on 127.0.0.1.
#include "platform/Telnet.h"
#include "tests/platform/TelnetBytes.h"
#include "platform/VirtualModem.h"
#include "tests/platform/ModemTerminal.h"

#include <string>

#include <gtest/gtest.h>

using namespace platform;
using namespace platform::telnet;
using namespace modem_test;

namespace {

const std::string kClientOpening =
    Bytes({kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kDo, kSuppressGoAhead});
const std::string kServerOpening =
    Bytes({kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kSuppressGoAhead});

// A listening socket of the test: the telnet host a modem dials.
struct Listener {
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 1);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd); }
    int fd{-1};
    std::uint16_t port{0};
};

VirtualModemConfig Unlimited(bool telnet = false) {
    VirtualModemConfig config;
    config.lineRate = 0;
    config.telnet = telnet;
    return config;
}

} // namespace

TEST(VirtualModemTelnet, DialTargetsThatAreTelnetHosts) {
    struct Case {
        const char* target;
        const char* hostPort;
        bool telnet;
    } cases[] = {
        {"telnet://bbs.example", "bbs.example:23", true},
        {"TELNET://bbs.example:2323/", "bbs.example:2323", true},
        {"telnet://[::1]", "[::1]:23", true},
        {"telnet://::1", "[::1]:23", true},
        {"bbs.example:23", "bbs.example:23", true},
        {"127.0.0.1:2323", "127.0.0.1:2323", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        std::string hostPort;
        bool telnet = false;
        ASSERT_TRUE(ParseDialTarget(c.target, hostPort, telnet));
        EXPECT_EQ(hostPort, c.hostPort);
        EXPECT_EQ(telnet, c.telnet);
    }
    for (const char* bad : {"telnet://", "telnet://host:99999", "host", "host:0", ""}) {
        std::string hostPort;
        bool telnet = false;
        EXPECT_FALSE(ParseDialTarget(bad, hostPort, telnet)) << bad;
    }
}

TEST(VirtualModemTelnet, DiallingATelnetHostNegotiatesAndEscapesData) {
    Listener host;
    Terminal computer{Unlimited()};
    ASSERT_TRUE(computer.Command("E0"));
    computer.Type("ATDtelnet://127.0.0.1:" + std::to_string(host.port) + "\r");
    PlainSocket line;
    line.fd = ::accept(host.fd, nullptr, nullptr);
    ASSERT_GE(line.fd, 0);
    // Online at once, without the wait for a modem's handshake, and telnet from the first byte.
    ASSERT_TRUE(computer.WaitFor("\r\nCONNECT 115200\r\n", 500ms));
    computer.Type("early\r"); // waits for the answer to our offer of BINARY
    EXPECT_EQ(line.ReadFor(200ms), kClientOpening);
    line.Send(Bytes({kIac, kDo, kBinary, kIac, kWill, kBinary, kIac, kWill, kSuppressGoAhead,
                     kIac, kWill, kEcho}));
    EXPECT_EQ(line.ReadFor(200ms), Bytes({kIac, kDo, kEcho}) + "early\r");
    // 0xFF doubled on the line; CR passes alone in binary mode.
    computer.Type("a\xff\r");
    EXPECT_EQ(line.ReadFor(200ms), "a\xff\xff\r");
    // The server's IAC IAC is one 0xFF; its IAC DM goes as urgent data and leaves no IAC.
    line.Send("b\xff\xff" "c\xff");
    ASSERT_EQ(::send(line.fd, "\xf2", 1, MSG_OOB), 1);
    line.Send("after");
    EXPECT_TRUE(computer.WaitFor("b\xff" "cafter"));
}

TEST(VirtualModemTelnet, CallerThatNegotiatesFirstIsAnsweredAsTelnet) {
    Terminal computer{Unlimited()};
    ASSERT_TRUE(computer.Command("E0"));
    PlainSocket caller;
    caller.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(computer.Port());
    ASSERT_EQ(::connect(caller.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    caller.Send(Bytes({kIac, kDo, kSuppressGoAhead, kIac, kWill, kBinary}) + "hi");
    ASSERT_TRUE(computer.WaitFor("\r\nRING\r\n"));
    // Our offer, answered where it crossed the caller's: BINARY from the caller was already
    // offered, SGA already asked for.
    EXPECT_EQ(caller.ReadFor(300ms), kServerOpening);
    ASSERT_TRUE(computer.Command("A", "\r\nCONNECT 115200\r\n"));
    EXPECT_TRUE(computer.WaitFor("hi"));
    caller.Send(Bytes({kIac, kDo, kBinary}) + "\xff\xff" "z");
    EXPECT_TRUE(computer.WaitFor("\xff" "z"));
    computer.Type("\xff");
    EXPECT_EQ(caller.ReadFor(200ms), "\xff\xff");
}

TEST(VirtualModemTelnet, ModemSetForTelnetTakesASilentCallerForATelnetClient) {
    Terminal computer{Unlimited(true)};
    ASSERT_TRUE(computer.Command("E0S0=1"));
    PlainSocket caller;
    caller.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(computer.Port());
    ASSERT_EQ(::connect(caller.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(caller.ReadFor(300ms), kServerOpening);
    ASSERT_TRUE(computer.WaitFor("\r\nCONNECT 115200\r\n", 3s));
    // Nothing was agreed: after a second's wait for an answer, text mode both ways.
    computer.Type("x\r\xff");
    EXPECT_EQ(caller.ReadFor(400ms), "");
    EXPECT_EQ(caller.ReadFor(1500ms), std::string("x\r\0\xff\xff", 5));
    caller.Send(std::string("y\r\0z", 4));
    EXPECT_TRUE(computer.WaitFor("y\rz"));
}

TEST(VirtualModemTelnet, DirectoryNumberThatNamesATelnetHostIsDialledAsTelnet) {
    Listener host;
    VirtualModemConfig config = Unlimited();
    config.directory["555-0100"] = "telnet://127.0.0.1:" + std::to_string(host.port);
    Terminal computer{config};
    ASSERT_TRUE(computer.Command("E0"));
    computer.Type("ATDT5550100\r");
    PlainSocket line;
    line.fd = ::accept(host.fd, nullptr, nullptr);
    ASSERT_GE(line.fd, 0);
    ASSERT_TRUE(computer.WaitFor("\r\nCONNECT 115200\r\n", 500ms));
    EXPECT_EQ(line.ReadFor(200ms), kClientOpening);
}
