// The COM port link over a pseudo-terminal mapped as COM3 in a temporary machine hive:
// opening rules, non-blocking reads, queue-limited writes, line parameters (and the job's
// full-rate subclass), line queries, purge, the status dump, and GFSerial on top.
#include "comm/Win32SerialPort.h"

#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comm/GFSerial.h"
#include "comm/JobSerialPort.h"
#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempDir.h"

using namespace comm;
using testsupport::MapComPort;
using testsupport::PtyPair;

namespace {

constexpr int kPort = 2; // COM3
using Clock = std::chrono::steady_clock;

struct LineParams {
    long baud{0};
    char parity{0};
    int dataBits{0};
    int stopBits{0};
    bool operator==(const LineParams&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LineParams& p) {
    return out << p.baud << ' ' << p.parity << p.dataBits << p.stopBits;
}

LineParams ParamsOf(ComLink& port) {
    LineParams p;
    port.GetLineParams(p.baud, p.parity, p.dataBits, p.stopBits);
    return p;
}

struct SerialPortTest : testing::Test {
    SerialPortTest() {
        setenv("SENDARI_TEST", "1", 1); // never fall back to a real /dev/ttyS*
        platform::ReloadRegistry();
        MapComPort(kPort + 1, pty.SlavePath());
    }
    ~SerialPortTest() override { platform::ReloadRegistry(); }

    template <typename Port = Win32SerialPort> std::unique_ptr<Port> OpenPort(int port = kPort) {
        return std::make_unique<Port>(port, Win32SerialPort::kJobReceiveQueue,
                                      Win32SerialPort::kJobTransmitQueue);
    }
    // Waits (at most two seconds) until the port holds `count` received bytes.
    static void AwaitInput(Win32SerialPort& port, long count) {
        QueueStatus q;
        for (int i = 0; i < 400; ++i) {
            port.GetQueueStatus(q);
            if (q.receiveCount >= count)
                return;
            port.Idle();
        }
    }

    testsupport::TempDir dir;
    PtyPair pty;
};

} // namespace

TEST_F(SerialPortTest, SecondOpenOfTheSamePortIsRefusedAndLeavesTheFirstAlone) {
    auto first = OpenPort();
    ASSERT_EQ(first->LastStatus(), 0);
    EXPECT_EQ(ComLink::OpenCount(kPort), 1);
    {
        auto second = OpenPort();
        EXPECT_EQ(second->TakeLastStatus(), kAlreadyOpen);
    }
    EXPECT_EQ(ComLink::OpenCount(kPort), 1);
    EXPECT_EQ(first->WriteString("AT\r"), 3);
    EXPECT_EQ(pty.Receive(3), "AT\r");
    first.reset();
    EXPECT_EQ(ComLink::OpenCount(kPort), 0);
    EXPECT_EQ(OpenPort()->LastStatus(), 0) << "the port is free again";
}

TEST_F(SerialPortTest, DeviceHeldThroughAnotherNumberOrMissingGivesTheMappedCodes) {
    auto first = OpenPort();
    ASSERT_EQ(first->LastStatus(), 0);
    MapComPort(5, pty.SlavePath());
    EXPECT_EQ(OpenPort(4)->LastStatus(), kAlreadyOpen);
    EXPECT_EQ(ComLink::OpenCount(4), 0);

    MapComPort(6, dir / "no-such-device");
    auto missing = OpenPort(5);
    EXPECT_EQ(missing->LastStatus(), kPortOpenFailed);
    EXPECT_EQ(ComLink::OpenCount(5), 0);
    EXPECT_EQ(missing->ReadChar(), kTimedOut);
    EXPECT_EQ(missing->WriteBuffer(reinterpret_cast<const unsigned char*>("x"), 1), 0);
}

TEST_F(SerialPortTest, DeferredConstructionOpensNothing) {
    Win32SerialPort port(kPort, 1024, 1024, true);
    EXPECT_EQ(port.LastStatus(), 0);
    EXPECT_EQ(ComLink::OpenCount(kPort), 0);
    EXPECT_EQ(port.Open(), 0);
    EXPECT_EQ(ComLink::OpenCount(kPort), 1);
    QueueStatus q;
    port.GetQueueStatus(q);
    EXPECT_EQ(q.receiveSize, 1024);
    EXPECT_EQ(q.transmitSize, 1024);
    EXPECT_EQ(port.WriteString("AT\r"), 3);
    EXPECT_EQ(pty.Receive(3), "AT\r");
}

TEST_F(SerialPortTest, ReadCharOnAnEmptyQueueReturnsAtOnce) {
    auto port = OpenPort();
    auto start = Clock::now();
    EXPECT_EQ(port->ReadChar(), kTimedOut);
    unsigned char buffer[8];
    EXPECT_EQ(port->ReadBuffer(buffer, sizeof buffer), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));

    pty.Send("OK\r\n");
    AwaitInput(*port, 4);
    EXPECT_EQ(port->ReadChar(), 'O');
    EXPECT_EQ(port->ReadBuffer(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "K\r\n");
}

TEST_F(SerialPortTest, WriteBufferWritesWhatFitsTheTransmitQueue) {
    auto port = OpenPort();
    // Nobody reads the other end, so nothing leaves the queue during the write.
    std::vector<unsigned char> data(Win32SerialPort::kJobTransmitQueue + 100);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 13);
    EXPECT_EQ(port->WriteBuffer(data.data(), static_cast<int>(data.size())),
              Win32SerialPort::kJobTransmitQueue);
    EXPECT_EQ(port->TakeLastStatus(), kBufferFull);
    std::string got = pty.Receive(Win32SerialPort::kJobTransmitQueue);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(Win32SerialPort::kJobTransmitQueue));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin(), [](char a, unsigned char b) {
        return static_cast<unsigned char>(a) == b;
    }));

    // A smaller transmit queue limits the next write the same way.
    ASSERT_EQ(port->SetBufferSizes(0, 0, 100), 0);
    EXPECT_EQ(port->WriteBuffer(data.data(), 200), 100);
    EXPECT_EQ(port->TakeLastStatus(), kBufferFull);
}

TEST_F(SerialPortTest, LineParamsKeepOnlyTheLow16BitsOfTheRateInTheLibraryClass) {
    auto library = OpenPort();
    ASSERT_EQ(library->SetLineParams(115200, 'N', 8, 1), 0);
    EXPECT_EQ(library->ControlBlock().BaudRate, 115200u & 0xFFFFu);
    library.reset();

    auto job = OpenPort<JobSerialPort>();
    ASSERT_EQ(job->SetLineParams(115200, 'E', 7, 2), 0);
    EXPECT_EQ(ParamsOf(*job), (LineParams{115200, 'E', 7, 2}));
    EXPECT_EQ(job->ControlBlock().StopBits, platform::TWOSTOPBITS);
    EXPECT_TRUE(job->ControlBlock().fParity);

    // Five data bits always go with one and a half stop bits, which read back as one.
    ASSERT_EQ(job->SetLineParams(300, 'M', 5, 2), 0);
    EXPECT_EQ(job->ControlBlock().StopBits, platform::ONE5STOPBITS);
    EXPECT_EQ(ParamsOf(*job), (LineParams{300, 'M', 5, 1}));
}

TEST_F(SerialPortTest, LineParamChecksComeInOrderAndApplyNothing) {
    for (bool jobPort : {false, true}) {
        std::unique_ptr<Win32SerialPort> port =
            jobPort ? std::unique_ptr<Win32SerialPort>(OpenPort<JobSerialPort>()) : OpenPort();
        ASSERT_EQ(port->SetLineParams(2400, 'O', 7, 1), 0);
        struct Case {
            long baud;
            char parity;
            int dataBits;
            int stopBits;
            int expected;
        };
        for (Case c : {Case{9600, 'X', 9, 3, kBadParity}, Case{9600, 'n', 8, 1, kBadParity},
                       Case{9600, '\0', 8, 1, kBadParity}, Case{9600, 'N', 9, 3, kBadWordLength},
                       Case{9600, 'N', 3, 1, kBadWordLength}, Case{9600, 'N', 8, 3, kBadStopBits},
                       Case{0, 'N', 8, 1, kBadBaudRate}, Case{65536, 'N', 8, 1, kBadBaudRate},
                       Case{-1, 'N', 8, 1, kBadBaudRate}}) {
            if (c.baud == 65536 && jobPort)
                continue; // the job's port sets that rate as asked
            if (c.baud == -1 && !jobPort)
                continue; // the library's port makes 65535 of it
            EXPECT_EQ(port->SetLineParams(c.baud, c.parity, c.dataBits, c.stopBits), c.expected)
                << jobPort << " " << c.parity << c.dataBits << c.stopBits;
            EXPECT_EQ(port->TakeLastStatus(), c.expected);
        }
        // Four data bits pass the check but no device takes them.
        EXPECT_EQ(port->SetLineParams(9600, 'N', 4, 1), kGeneralError);
        EXPECT_EQ(ParamsOf(*port), (LineParams{2400, 'O', 7, 1}));
    }
}

TEST_F(SerialPortTest, LinesOfAPseudoTerminalAndUnknownNumbers) {
    auto port = OpenPort();
    EXPECT_EQ(port->Line(99, -1), kLineUnknown);
    EXPECT_EQ(port->Line(kLineDtr, -1), 1);
    EXPECT_EQ(port->Line(kLineRts, -1), 1);
    EXPECT_EQ(port->Line(kLineCts, -1), 1);
    EXPECT_EQ(port->Line(kLineDsr, -1), 1);
    EXPECT_EQ(port->Line(kLineRi, -1), 0);
    EXPECT_EQ(port->Line(kLineDcd, -1), 1);
    for (int reserved : {17, 18, 19, 20, 25, 26, 27, 28, 31})
        EXPECT_EQ(port->Line(reserved, -1), 0) << reserved;

    EXPECT_EQ(port->Line(kLineDtr, 0), 0);
    EXPECT_EQ(port->ControlBlock().fDtrControl, platform::DTR_CONTROL_DISABLE);

    EXPECT_EQ(port->Line(kLineBreak, 1), 1);
    EXPECT_EQ(port->SetBreak(-1), 1);
    EXPECT_EQ(port->Line(kLineBreak, 0), 0);

    unsigned char states[4]{};
    ASSERT_EQ(port->GetLineStates(states), 0);
    EXPECT_EQ(states[0], 0 | 1 << 2 | 0 << 4 | 1 << 6); // DTR off, RTS, no break, DSR
    EXPECT_EQ(states[1], 1 | 0 << 2 | 1 << 4);          // CTS, no ring, carrier
    EXPECT_EQ(states[2], 0);
    EXPECT_EQ(states[3], 0);
    // The carrier is read again when asked, not taken from the cleared status byte.
    EXPECT_EQ(port->Line(kLineDcd, -1), 1);
}

// Counts how often the device's modem status is read.
struct CountingPort : Win32SerialPort {
    using Win32SerialPort::Win32SerialPort;
    int ReadModemStatus() override {
        ++reads;
        return Win32SerialPort::ReadModemStatus();
    }
    int reads{0};
};

TEST_F(SerialPortTest, AllLineStatesComeFromOneReadingOfTheModemStatus) {
    auto port = OpenPort<CountingPort>();
    port->reads = 0;
    unsigned char states[4]{};
    ASSERT_EQ(port->GetLineStates(states), 0);
    EXPECT_EQ(port->reads, 1);
    EXPECT_EQ(states[1], 1 | 0 << 2 | 1 << 4); // CTS, no ring, carrier
}

TEST_F(SerialPortTest, HandshakeModes) {
    auto port = OpenPort();
    ASSERT_EQ(port->SetHandshake(4, 12), 0);
    EXPECT_EQ(port->ControlBlock().fRtsControl, platform::RTS_CONTROL_HANDSHAKE);
    EXPECT_TRUE(port->ControlBlock().fOutxCtsFlow);
    int in = -1, out = -1;
    port->GetHandshake(in, out);
    EXPECT_EQ(in, 4);
    EXPECT_EQ(out, 12);

    // A refused mode changes nothing, not even in the control block kept for later.
    EXPECT_EQ(port->SetHandshake(7, 0), kGeneralError);
    EXPECT_EQ(port->TakeLastStatus(), kBadHandshake);
    EXPECT_EQ(port->SetHandshake(13, 0), kNotSupported);
    EXPECT_EQ(port->SetHandshake(0, 15), kNotSupported);
    EXPECT_EQ(port->SetHandshake(0, 5), kBadArgument);
    EXPECT_TRUE(port->ControlBlock().fOutxCtsFlow);
    port->GetHandshake(in, out);
    EXPECT_EQ(in, 4);

    ASSERT_EQ(port->SetHandshake(1, 1), 0);
    EXPECT_TRUE(port->ControlBlock().fInX);
    EXPECT_TRUE(port->ControlBlock().fOutX);
    EXPECT_FALSE(port->ControlBlock().fOutxCtsFlow);
    EXPECT_EQ(port->ControlBlock().fRtsControl, platform::RTS_CONTROL_ENABLE);
}

TEST_F(SerialPortTest, PurgeWithACountDropsThatManyAndSaysSo) {
    auto port = OpenPort();
    pty.Send("ABCDEFGH");
    AwaitInput(*port, 8);
    EXPECT_EQ(port->Purge(0, 5), kGeneralError);
    QueueStatus q;
    port->GetQueueStatus(q);
    EXPECT_EQ(q.receiveCount, 3);
    EXPECT_EQ(port->ReadChar(), 'F');
    EXPECT_EQ(port->Purge(0, 5), 0) << "ran out before the count";
    EXPECT_EQ(port->ReadChar(), kTimedOut);

    pty.Send("IJ");
    AwaitInput(*port, 2);
    EXPECT_EQ(port->Purge(0, 0), 0);
    EXPECT_EQ(port->ReadChar(), kTimedOut);
    EXPECT_EQ(port->Purge(1, 0), 0);
    EXPECT_EQ(port->Purge(2, 0), kBadArgument);
}

TEST(SerialPortErrors, MapSystemErrorFollowsTheTable) {
    Win32SerialPort port(0, 16, 16, true);
    struct Case {
        long error;
        int status;
    };
    for (Case c : {Case{2, kPortOpenFailed}, Case{31, kPortOpenFailed}, Case{-1, kPortOpenFailed},
                   Case{-3, kPortOpenFailed}, Case{-10, kPortOpenFailed}, Case{5, kAlreadyOpen},
                   Case{-2, kAlreadyOpen}, Case{-12, kBadBaudRate}, Case{-11, kBadWordLength},
                   Case{-5, kBadArgument}, Case{-4, kOutOfMemory}, Case{87, kGeneralError},
                   Case{0, kGeneralError}}) {
        platform::SetLastError(static_cast<platform::DWORD>(c.error));
        EXPECT_EQ(port.MapSystemError(), c.status) << c.error;
    }
}

TEST_F(SerialPortTest, IdleSleepsOnTheDeviceAndWakesForInput) {
    auto port = OpenPort();
    // Without input, Idle sleeps on the device: a quarter of a second is a few dozen calls.
    int calls = 0;
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(250)) {
        EXPECT_EQ(port->Idle(), 0);
        ++calls;
    }
    EXPECT_LT(calls, 100);
    EXPECT_GE(calls, 5) << "each Idle stays short so a stop is seen soon";

    GFSerial link(port.get());
    std::thread modem([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Send("R");
    });
    start = Clock::now();
    EXPECT_EQ(link.ReadChar(5000), 'R');
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    modem.join();
}

TEST_F(SerialPortTest, TwoMinuteWaitRunsAcceleratedAndTimesOut) {
    auto port = OpenPort();
    GFSerial link(port.get());
    platform::ScopedTimeAcceleration fast(500.0);
    auto start = Clock::now();
    char line[64];
    EXPECT_EQ(link.ReadString(line, 63, '\n', 120000), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST_F(SerialPortTest, GFSerialTalksThroughThePortAndRestoresItOnDestruction) {
    auto port = OpenPort<JobSerialPort>();
    ASSERT_EQ(port->SetLineParams(115200, 'E', 7, 2), 0);
    ASSERT_EQ(port->SetHandshake(1, 1), 0);
    {
        GFSerial link(port.get());
        EXPECT_EQ(ParamsOf(*port), (LineParams{9600, 'N', 8, 1}));
        EXPECT_FALSE(port->ControlBlock().fInX);

        EXPECT_EQ(link.WriteString("ATZ", -3), 5);
        EXPECT_EQ(pty.Receive(5), "ATZ\r\n");
        pty.Send("OK\r\n");
        char reply[16];
        EXPECT_EQ(link.ReadString(reply, 15, '\n', 2000), 4);
        EXPECT_STREQ(reply, "OK\r\n");
        int flags = -1;
        EXPECT_EQ(link.LineErrors(flags), 0);
        EXPECT_EQ(flags, 0);
        EXPECT_EQ(link.Status()->CarrierDetect(), 1);
        EXPECT_EQ(link.Status()->Cts(), 1);
    }
    EXPECT_EQ(ParamsOf(*port), (LineParams{115200, 'E', 7, 2}));
    int in = 0, out = 0;
    port->GetHandshake(in, out);
    EXPECT_EQ(in, 1);
    EXPECT_EQ(out, 1);
    EXPECT_TRUE(port->ControlBlock().fInX);
    EXPECT_TRUE(port->ControlBlock().fOutX);
}

TEST_F(SerialPortTest, BulkTransferBothWaysArrivesIntact) {
    auto port = OpenPort<JobSerialPort>();
    GFSerial link(port.get());
    std::string outbound(200000, '\0');
    for (std::size_t i = 0; i < outbound.size(); ++i)
        outbound[i] = static_cast<char>((i * 31) ^ (i >> 8));
    std::string received;
    std::thread reader([&] { received = pty.Receive(outbound.size(), 20000); });
    std::size_t sent = 0;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (sent < outbound.size() && Clock::now() < deadline) {
        int n =
            link.WriteBuffer(reinterpret_cast<const unsigned char*>(outbound.data()) + sent,
                             static_cast<int>(std::min<std::size_t>(4096, outbound.size() - sent)));
        sent += static_cast<std::size_t>(n);
        port->TakeLastStatus();
        if (n == 0)
            link.Idle();
    }
    // What the device has not taken yet leaves while the caller waits through Idle.
    QueueStatus q;
    while (port->GetQueueStatus(q) > 0 && Clock::now() < deadline)
        link.Idle();
    reader.join();
    EXPECT_TRUE(received == outbound) << received.size();

    std::string inbound(outbound.rbegin(), outbound.rend());
    std::thread writer([&] { pty.Send(inbound); });
    std::vector<unsigned char> got(inbound.size() + 1);
    EXPECT_EQ(link.ReadBuffer(got.data(), static_cast<int>(inbound.size()), 20000),
              static_cast<int>(inbound.size()));
    writer.join();
    EXPECT_TRUE(
        std::equal(inbound.begin(), inbound.end(), got.begin(),
                   [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; }));
}
