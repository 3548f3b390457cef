// Two virtual modems in one process over 127.0.0.1: commands, calls, escapes, hang-ups, data.
#include "platform/VirtualModem.h"

#include "platform/Clock.h"
#include "platform/NetAddress.h"
#include "tests/platform/ModemTerminal.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace platform;
using namespace std::chrono_literals;
using namespace modem_test;

namespace {

VirtualModemConfig Unlimited() {
    VirtualModemConfig config;
    config.lineRate = 0;
    return config;
}

class VirtualModemCall : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(caller.Command("E0"));
        ASSERT_TRUE(callee.Command("E0"));
    }
    void Connect() {
        caller.Type("ATDT" + callee.Address() + "\r");
        ASSERT_TRUE(callee.WaitFor("\r\nRING\r\n"));
        ASSERT_TRUE(callee.Command("A", "\r\nCONNECT 115200\r\n"));
        ASSERT_TRUE(caller.WaitFor("\r\nCONNECT 115200\r\n"));
    }

    // Unlimited line rate keeps the megabyte quick; CONNECT then reports the port speed.
    Terminal caller{Unlimited()};
    Terminal callee{Unlimited()};
};

} // namespace

// ---------------------------------------------------------------------------------------
// Command mode

TEST(VirtualModemAddresses, OnlyALoopbackListeningAddressGoesWithoutAWarning) {
    for (const char* quiet : {"127.0.0.1:5555", "127.1.2.3:5555", "localhost:5555", "[::1]:5555",
                              "5555", "no address at all"})
        EXPECT_EQ(platform::ExposedListenWarning(quiet), "") << quiet;
    for (const char* exposed : {"0.0.0.0:5555", "192.0.2.7:5555", "[::]:5555", "example:5555"}) {
        const std::string warning = platform::ExposedListenWarning(exposed);
        EXPECT_NE(warning.find("anyone who can reach port 5555"), std::string::npos) << exposed;
    }
}

TEST(VirtualModemCommands, WithoutALineDiallingGivesNoDialtone) {
    VirtualModemConfig config;
    config.noLine = true;
    Terminal t(config);
    ASSERT_TRUE(t.Command("E0"));
    EXPECT_TRUE(t.Command("DT127.0.0.1:1", "\r\nNO DIALTONE\r\n"));
    EXPECT_TRUE(t.Command("X1"));
    EXPECT_TRUE(t.Command("DT127.0.0.1:1", "\r\nNO CARRIER\r\n"));
}

TEST(VirtualModemCommands, AnsweringWithoutACallGivesNoCarrier) {
    Terminal t;
    ASSERT_TRUE(t.Command("E0"));
    EXPECT_TRUE(t.Command("A", "\r\nNO CARRIER\r\n"));
    EXPECT_TRUE(t.Command("O", "\r\nNO CARRIER\r\n"));
}

// ---------------------------------------------------------------------------------------
// Calls between two modems

TEST_F(VirtualModemCall, DialAndAnswerCarryDataBothWays) {
    EXPECT_EQ(caller.Carrier(), false);
    Connect();
    EXPECT_TRUE(caller.Carrier());
    EXPECT_TRUE(callee.Carrier());
    caller.Type("hello from the caller");
    EXPECT_TRUE(callee.WaitFor("hello from the caller"));
    callee.Type("and back");
    EXPECT_TRUE(caller.WaitFor("and back"));
}

TEST_F(VirtualModemCall, DialsAHostNameTryingEachOfItsAddresses) {
    // "localhost" may name ::1 before 127.0.0.1, where the callee listens.
    caller.Type("ATDTlocalhost:" + std::to_string(callee.Port()) + "\r");
    EXPECT_TRUE(callee.WaitFor("\r\nRING\r\n"));
}

TEST_F(VirtualModemCall, RingPulsesTheRingLine) {
    caller.Type("ATDT" + callee.Address() + "\r");
    ASSERT_TRUE(callee.WaitFor("RING"));
    EXPECT_NE(callee.Modem().ModemStatus() & kModemRing, 0u);
    EXPECT_FALSE(callee.Carrier());
}

TEST_F(VirtualModemCall, AutoAnswersAfterThreeRings) {
    ScopedTimeAcceleration fast(20.0);
    ASSERT_TRUE(callee.Command("S0=3"));
    auto start = GetTickCount();
    caller.Type("ATDT" + callee.Address() + "\r");
    for (int ring = 0; ring < 3; ++ring)
        ASSERT_TRUE(callee.WaitFor("\r\nRING\r\n")) << ring;
    ASSERT_TRUE(callee.WaitFor("\r\nCONNECT 115200\r\n"));
    EXPECT_GE(TicksSince(start), 2u * kVirtualModemRingIntervalMs);
    EXPECT_TRUE(caller.WaitFor("\r\nCONNECT 115200\r\n"));
}

TEST_F(VirtualModemCall, ResettingTheCalleeWhileItRingsLeavesTheCallRinging) {
    ScopedTimeAcceleration fast(20.0);
    caller.Type("ATDT" + callee.Address() + "\r");
    ASSERT_TRUE(callee.WaitFor("\r\nRING\r\n"));
    ASSERT_TRUE(callee.Command("Z"));
    ASSERT_TRUE(callee.Command("E0 H0 S0=0"));
    ASSERT_TRUE(callee.WaitFor("\r\nRING\r\n"));
    ASSERT_TRUE(callee.Command("S1?", "\r\n002\r\n"));
    callee.Modem().SetDtr(false);
    callee.Modem().SetDtr(true);
    EXPECT_TRUE(callee.Command("A", "\r\nCONNECT 115200\r\n"));
    EXPECT_TRUE(caller.WaitFor("\r\nCONNECT 115200\r\n"));
}

TEST_F(VirtualModemCall, OffHookCalleeIsBusy) {
    ASSERT_TRUE(callee.Command("H1"));
    EXPECT_TRUE(caller.Command("DT" + callee.Address(), "\r\nBUSY\r\n"));
    EXPECT_EQ(callee.Drain(100ms), ""); // no ring
    ASSERT_TRUE(caller.Command("X1"));
    EXPECT_TRUE(caller.Command("DT" + callee.Address(), "\r\nNO CARRIER\r\n"));
}

TEST_F(VirtualModemCall, CalleeInACallIsBusy) {
    Connect();
    Terminal third;
    ASSERT_TRUE(third.Command("E0"));
    EXPECT_TRUE(third.Command("DT" + callee.Address(), "\r\nBUSY\r\n"));
    caller.Type("still here");
    EXPECT_TRUE(callee.WaitFor("still here"));
}

TEST_F(VirtualModemCall, NobodyAnsweringGivesNoCarrierAfterS7) {
    ScopedTimeAcceleration fast(20.0);
    ASSERT_TRUE(caller.Command("S7=10"));
    auto start = GetTickCount();
    caller.Type("ATDT" + callee.Address() + "\r");
    ASSERT_TRUE(callee.WaitFor("RING"));
    ASSERT_TRUE(caller.WaitFor("\r\nNO CARRIER\r\n"));
    EXPECT_GE(TicksSince(start), 10000u);
    // The callee stops ringing and takes the next call.
    callee.Drain(100ms);
    EXPECT_EQ(callee.Drain(std::chrono::milliseconds(2 * kVirtualModemRingIntervalMs / 20)), "");
    ASSERT_TRUE(caller.Command("S7=50"));
    Connect();
}

TEST_F(VirtualModemCall, KeyPressWhileDiallingAbandonsTheCall) {
    caller.Type("ATDT" + callee.Address() + "\r");
    ASSERT_TRUE(callee.WaitFor("RING"));
    caller.Type("x");
    EXPECT_TRUE(caller.WaitFor("\r\nNO CARRIER\r\n"));
    EXPECT_TRUE(callee.Command("A", "\r\nNO CARRIER\r\n")); // the call went away
}

TEST_F(VirtualModemCall, ClosedPortIsBusyAndAnUnknownNumberHasNoCarrier) {
    std::string address;
    {
        Terminal gone;
        address = gone.Address();
    }
    EXPECT_TRUE(caller.Command("DT" + address, "\r\nBUSY\r\n"));
    EXPECT_TRUE(caller.Command("DT127.0.0.1:0", "\r\nNO CARRIER\r\n"));
    EXPECT_TRUE(caller.Command("DT5551234", "\r\nNO CARRIER\r\n")); // not in any directory
}

TEST(VirtualModemDirectory, DialsALongNumberInPiecesOfTwenty) {
    Terminal callee;
    const std::string number = "0049-30-1234567-8900-5555-1212-77"; // 33 characters
    VirtualModemConfig config;
    config.directory[number] = callee.Address();
    Terminal caller(config);
    ASSERT_TRUE(caller.Command("E0"));
    ASSERT_TRUE(callee.Command("E0"));
    EXPECT_TRUE(caller.Command("DT" + number.substr(0, 20) + ";"));
    EXPECT_EQ(callee.Drain(100ms), "");
    caller.Type("ATDT" + number.substr(20) + "\r");
    ASSERT_TRUE(callee.WaitFor("RING"));
    EXPECT_TRUE(callee.Command("A", "\r\nCONNECT 115200\r\n"));
    EXPECT_TRUE(caller.WaitFor("\r\nCONNECT 115200\r\n"));
}

TEST(VirtualModemDirectory, AsksTheLookupForUnknownNumbersByTheirDigits) {
    Terminal callee;
    std::vector<std::string> asked;
    VirtualModemConfig config;
    config.lookup = [&](const std::string& number) {
        asked.push_back(number);
        return number == "5551234" ? callee.Address() : std::string();
    };
    Terminal caller(config);
    ASSERT_TRUE(caller.Command("E0"));
    caller.Type("ATDP 555-1234\r");
    ASSERT_TRUE(callee.WaitFor("RING"));
    EXPECT_EQ(asked, (std::vector<std::string>{"555-1234", "5551234"}));
}

TEST_F(VirtualModemCall, EscapeWithGuardTimesThenHangUp) {
    ScopedTimeAcceleration fast(10.0);
    Connect();
    caller.Type("data");
    ASSERT_TRUE(callee.WaitFor("data"));
    Sleep(1200);
    caller.Type("+++");
    Sleep(1200);
    ASSERT_TRUE(caller.WaitFor("\r\nOK\r\n"));
    EXPECT_TRUE(caller.Carrier()); // the call is held
    ASSERT_TRUE(caller.Command("O", "\r\nCONNECT 115200\r\n"));
    caller.Type("more");
    EXPECT_TRUE(callee.WaitFor("more"));
    Sleep(1200);
    caller.Type("+++");
    Sleep(1200);
    ASSERT_TRUE(caller.WaitFor("\r\nOK\r\n"));
    ASSERT_TRUE(caller.Command("H"));
    EXPECT_FALSE(caller.Carrier());
    EXPECT_TRUE(callee.WaitFor("\r\nNO CARRIER\r\n"));
    EXPECT_FALSE(callee.Carrier());
    EXPECT_EQ(callee.Drain(50ms).find('+'), std::string::npos); // no escape reached the line
}

TEST_F(VirtualModemCall, EscapeCharactersWithoutGuardTimesAreData) {
    ScopedTimeAcceleration fast(10.0);
    Connect();
    caller.Type("a+++b");
    EXPECT_TRUE(callee.WaitFor("a+++b"));
    Sleep(1200);
    caller.Type("++");
    Sleep(1200); // two are not an escape: after the guard time they go out as data
    EXPECT_TRUE(callee.WaitFor("++"));
    Sleep(1200);
    caller.Type("++++");
    EXPECT_TRUE(callee.WaitFor("++++"));
    EXPECT_EQ(caller.Drain(200ms), "");
    EXPECT_TRUE(caller.Carrier());
}

TEST_F(VirtualModemCall, XonAndXoffAreFlowControlOnlyWhenTheComputerUsesIt) {
    Connect();
    caller.Type("a\x11"
                "b\x13"
                "c.");
    EXPECT_TRUE(callee.WaitFor("a\x11"
                               "b\x13"
                               "c."));
    SerialConfig config = caller.Modem().Configuration();
    config.xonXoffInput = true;
    caller.Modem().Configure(config);
    caller.Type("d\x11"
                "e\x13"
                "f.");
    EXPECT_TRUE(callee.WaitFor("def."));
}

TEST_F(VirtualModemCall, DroppingDtrHangsUp) {
    Connect();
    callee.Modem().SetDtr(false);
    EXPECT_TRUE(caller.WaitFor("\r\nNO CARRIER\r\n"));
    EXPECT_FALSE(callee.Carrier());
    // While DTR is down the computer is not waiting for calls.
    EXPECT_TRUE(caller.Command("DT" + callee.Address(), "\r\nBUSY\r\n"));
    callee.Modem().SetDtr(true);
    Connect();
}

TEST_F(VirtualModemCall, NumericResultsForACall) {
    ASSERT_TRUE(caller.Command("V0", "0\r"));
    ASSERT_TRUE(callee.Command("V0", "0\r"));
    caller.Type("ATD" + callee.Address() + "\r");
    ASSERT_TRUE(callee.WaitFor("2\r"));
    callee.Type("ATA\r");
    EXPECT_TRUE(callee.WaitFor("19\r"));
    EXPECT_TRUE(caller.WaitFor("19\r"));
}

TEST_F(VirtualModemCall, MegabyteOfEveryByteValueBothWaysIntact) {
    Connect();
    const std::size_t size = 1 << 20;
    auto pattern = [](std::size_t i, unsigned seed) {
        return static_cast<unsigned char>((i * seed + (i >> 8)) & 0xFF);
    };
    auto pump = [&](Terminal& t, unsigned sendSeed, unsigned receiveSeed, bool& intact) {
        std::vector<unsigned char> out(size);
        for (std::size_t i = 0; i < size; ++i)
            out[i] = pattern(i, sendSeed);
        std::size_t sent = 0, received = 0;
        intact = true;
        auto end = std::chrono::steady_clock::now() + 60s;
        unsigned char buffer[8192];
        while ((sent < size || received < size) && std::chrono::steady_clock::now() < end) {
            if (sent < size) {
                int n = t.Modem().Write(out.data() + sent,
                                        static_cast<int>(std::min<std::size_t>(size - sent, 4096)));
                sent += static_cast<std::size_t>(std::max(n, 0));
            }
            int n = t.Modem().Read(buffer, sizeof buffer);
            for (int k = 0; k < n; ++k, ++received)
                intact = intact && received < size && buffer[k] == pattern(received, receiveSeed);
            if (n <= 0)
                t.Modem().Wait(20, true, sent < size);
        }
        intact = intact && received == size;
    };
    bool callerIntact = false, calleeIntact = false;
    std::thread other([&] { pump(callee, 7, 13, calleeIntact); });
    pump(caller, 13, 7, callerIntact);
    other.join();
    EXPECT_TRUE(callerIntact);
    EXPECT_TRUE(calleeIntact);
}

TEST_F(VirtualModemCall, HangUpBehindAFullReceiveQueueComesAfterTheDataWithoutBusyWaiting) {
    Connect();
    const std::string data(200000, 'd');
    caller.Type(data);
    for (int i = 0; i < 200 && caller.Modem().OutputQueued() > 0; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(caller.Modem().OutputQueued(), 0);
    caller.Modem().SetDtr(false);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(callee.Carrier()); // not yet known: the computer has not read that far
    std::clock_t before = std::clock();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(std::clock() - before, CLOCKS_PER_SEC / 10);
    EXPECT_TRUE(callee.WaitFor(data + "\r\nNO CARRIER\r\n", 5s));
    EXPECT_FALSE(callee.Carrier());
}

TEST(VirtualModemPacing, LineRateHoldsDataBack) {
    VirtualModemConfig slow;
    slow.lineRate = 28800;
    Terminal caller(slow);
    Terminal callee(slow);
    ASSERT_TRUE(caller.Command("E0"));
    caller.Type("ATDT" + callee.Address() + "\r");
    ASSERT_TRUE(callee.WaitFor("RING"));
    callee.Type("ATA\r");
    ASSERT_TRUE(caller.WaitFor("\r\nCONNECT 28800\r\n"));
    ASSERT_TRUE(callee.WaitFor("\r\nCONNECT 28800\r\n"));
    auto start = std::chrono::steady_clock::now();
    caller.Type(std::string(2880, 'x'));
    ASSERT_TRUE(callee.WaitFor(std::string(2880, 'x'), 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
}

TEST(VirtualModemPacing, BothEndsOfACallAgreeOnTheSlowerLine) {
    struct Case {
        std::uint32_t callerRate, calleeRate, agreed;
    };
    for (const Case& c : {Case{115200, 2400, 2400}, Case{28800, 0, 28800}, Case{0, 9600, 9600}}) {
        SCOPED_TRACE(c.callerRate);
        VirtualModemConfig callerConfig, calleeConfig;
        callerConfig.lineRate = c.callerRate;
        calleeConfig.lineRate = c.calleeRate;
        Terminal caller(callerConfig);
        Terminal callee(calleeConfig);
        caller.Type("ATDT" + callee.Address() + "\r");
        ASSERT_TRUE(callee.WaitFor("RING"));
        callee.Type("ATA\r");
        std::string connect = "\r\nCONNECT " + std::to_string(c.agreed) + "\r\n";
        EXPECT_TRUE(caller.WaitFor(connect));
        EXPECT_TRUE(callee.WaitFor(connect));
    }
}

TEST(VirtualModemPacing, UnlimitedReportsThePortSpeed) {
    Terminal caller(Unlimited());
    Terminal callee(Unlimited());
    SerialConfig config;
    config.baud = 57600;
    caller.Modem().Configure(config);
    ASSERT_TRUE(caller.Command("E0"));
    caller.Type("ATDT" + callee.Address() + "\r");
    ASSERT_TRUE(callee.WaitFor("RING"));
    callee.Type("ATA\r");
    EXPECT_TRUE(caller.WaitFor("\r\nCONNECT 57600\r\n"));
    EXPECT_TRUE(callee.WaitFor("\r\nCONNECT 115200\r\n"));
}

// ---------------------------------------------------------------------------------------
// Peers that are not virtual modems

TEST(VirtualModemPlainPeer, DiallingAPlainServiceConnectsAndPassesItsBanner) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    Terminal caller;
    ASSERT_TRUE(caller.Command("E0"));
    caller.Type("ATDT127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\r");
    PlainSocket service{::accept(listener, nullptr, nullptr)};
    ::close(listener);
    ASSERT_GE(service.fd, 0);
    service.Send("login: ");
    EXPECT_TRUE(caller.WaitFor("\r\nCONNECT 115200\r\nlogin: ", 500ms));
    caller.Type("guest\r");
    std::string got = service.ReadFor(300ms);
    // The service sees the call frame (a telnet subnegotiation it may ignore), then data.
    EXPECT_EQ(got, "\xFF\xFA\x9DVM/1C115200\xFF\xF0guest\r");
}

TEST(VirtualModemPlainPeer, SilentServiceConnectsAfterTheHandshakeWait) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    Terminal caller;
    ASSERT_TRUE(caller.Command("E0"));
    caller.Type("ATDT127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\r");
    PlainSocket service{::accept(listener, nullptr, nullptr)};
    ::close(listener);
    EXPECT_TRUE(caller.WaitFor("\r\nCONNECT 115200\r\n", 3s));
    service.ReadFor(100ms); // the call frame
    service.Send("hi");
    EXPECT_TRUE(caller.WaitFor("hi"));
    ::shutdown(service.fd, SHUT_RDWR);
    EXPECT_TRUE(caller.WaitFor("\r\nNO CARRIER\r\n"));
}

TEST(VirtualModemPlainPeer, PlainCallerRingsAndGetsNothingButData) {
    Terminal callee;
    ASSERT_TRUE(callee.Command("E0"));
    PlainSocket client{::socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in address = Loopback(callee.Port());
    ASSERT_EQ(::connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    client.Send("early bytes");
    ASSERT_TRUE(callee.WaitFor("\r\nRING\r\n"));
    callee.Type("ATA\r");
    EXPECT_TRUE(callee.WaitFor("\r\nCONNECT 115200\r\nearly bytes"));
    callee.Type("welcome");
    EXPECT_EQ(client.ReadFor(300ms), "welcome");
}

TEST(VirtualModemPlainPeer, EchoServiceIsNotMistakenForAModem) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        PlainSocket peer{::accept(listener, nullptr, nullptr)};
        while (!stop) {
            std::string got = peer.ReadFor(20ms);
            if (!got.empty())
                peer.Send(got);
        }
    });
    Terminal caller;
    ASSERT_TRUE(caller.Command("E0"));
    caller.Type("ATDT127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\r");
    EXPECT_TRUE(caller.WaitFor("\r\nCONNECT 115200\r\n", 2s));
    caller.Type("ping");
    EXPECT_TRUE(caller.WaitFor("ping"));
    EXPECT_EQ(caller.Drain(100ms), "");
    stop = true;
    echo.join();
    ::close(listener);
}

// ---------------------------------------------------------------------------------------
// Port-map values

TEST(VirtualModemPortMap, ParsesPortMapValues) {
    struct Case {
        const char* mapValue;
        bool valid;
        const char* address;
        std::uint16_t port;
        std::uint32_t rate;
    };
    const Case cases[] = {
        {"vmodem:listen=127.0.0.1:2323;rate=28800", true, "127.0.0.1", 2323, 28800},
        {"vmodem:rate=unlimited", true, "127.0.0.1", 2323, 0},
        {"vmodem:listen=0.0.0.0:4000", true, "0.0.0.0", 4000, 115200},
        {"vmodem:listen=[::1]:4001;", true, "::1", 4001, 115200},
        {"vmodem:listen=2400", true, "127.0.0.1", 2400, 115200},
        {"vmodem:", true, "127.0.0.1", 2323, 115200},
        {"vmodem:rate=fast", false, "", 0, 0},
        {"vmodem:rate=100", false, "", 0, 0},
        {"vmodem:listen=127.0.0.1:70000", false, "", 0, 0},
        {"vmodem:listen=127.0.0.1", false, "", 0, 0},
        {"vmodem:colour=blue", false, "", 0, 0},
        {"vmodem:rate", false, "", 0, 0},
        {"vmodem:telnet=yes", false, "", 0, 0},
        {"/dev/ttyUSB0", false, "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mapValue);
        VirtualModemConfig config;
        ASSERT_EQ(ParseVirtualModemMapValue(c.mapValue, config), c.valid);
        if (!c.valid)
            continue;
        EXPECT_EQ(config.listenAddress, c.address);
        EXPECT_EQ(config.listenPort, c.port);
        EXPECT_EQ(config.lineRate, c.rate);
        EXPECT_FALSE(config.telnet);
    }
    VirtualModemConfig config;
    ASSERT_TRUE(ParseVirtualModemMapValue("vmodem:telnet=1;rate=2400", config));
    EXPECT_TRUE(config.telnet);
}

TEST(VirtualModemPortMap, OpensADeviceThatAnswersCommands) {
    int error = 1;
    auto device = OpenVirtualModemDevice("vmodem:listen=127.0.0.1:0;rate=2400", error);
    ASSERT_TRUE(device);
    EXPECT_EQ(error, 0);
    const unsigned char command[] = "ATE0\r";
    EXPECT_EQ(device->Write(command, 5), 5);
    EXPECT_EQ(device->Wait(2000, true, false), 1);
    EXPECT_EQ(device->ModemStatus() & (kModemCts | kModemDsr), kModemCts | kModemDsr);

    auto bad = OpenVirtualModemDevice("vmodem:rate=fast", error);
    EXPECT_FALSE(bad);
    EXPECT_EQ(error, -EINVAL);
}

TEST(VirtualModemPortMap, ABusyListeningAddressIsReported) {
    Terminal first;
    int error = 0;
    auto second =
        OpenVirtualModemDevice("vmodem:listen=127.0.0.1:" + std::to_string(first.Port()), error);
    EXPECT_FALSE(second);
    EXPECT_EQ(error, -EADDRINUSE);
}
