// The terminal device over a pseudo-terminal: exclusive opening, termios as configured,
// reads served from the burst buffer, the stand-in modem lines, and waits that sleep.
#include "platform/TtyDevice.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempDir.h"

using namespace platform;
using testsupport::PtyPair;

namespace {

// Read system calls made by this process so far.
long ReadSyscalls() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long value = 0;
    while (io >> key >> value) {
        if (key == "syscr:")
            return value;
    }
    return -1;
}

termios2 DriverSettings(const TtyDevice& device) {
    termios2 tio{};
    EXPECT_EQ(0, ::ioctl(device.Descriptor(), TCGETS2, &tio));
    return tio;
}

struct TtyDeviceTest : testing::Test {
    std::unique_ptr<TtyDevice> OpenSlave() {
        int error = 0;
        auto device = TtyDevice::Open(pty.SlavePath(), error);
        EXPECT_EQ(error, 0);
        return device;
    }
    PtyPair pty;
};

} // namespace

TEST_F(TtyDeviceTest, SecondOpenIsRefusedUntilTheFirstIsClosed) {
    auto first = OpenSlave();
    ASSERT_TRUE(first);
    int error = 0;
    EXPECT_FALSE(TtyDevice::Open(pty.SlavePath(), error));
    EXPECT_EQ(error, -EBUSY);
    first.reset();
    EXPECT_TRUE(TtyDevice::Open(pty.SlavePath(), error));
    EXPECT_EQ(error, 0);
}

TEST(TtyDeviceOpen, MissingDeviceAndPlainFileAreRefused) {
    testsupport::TempDir dir;
    int error = 0;
    EXPECT_FALSE(TtyDevice::Open(dir / "no-such-device", error));
    EXPECT_EQ(error, -ENOENT);
    EXPECT_FALSE(TtyDevice::Open(dir.WriteFile("plain", "x"), error));
    EXPECT_EQ(error, -ENOTTY);
}

TEST_F(TtyDeviceTest, ConfigurationReachesTheDriver) {
    auto device = OpenSlave();
    ASSERT_TRUE(device);

    termios2 tio = DriverSettings(*device);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode on open";
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    SerialConfig c;
    c.baud = 115200;
    c.dataBits = 7;
    c.parity = 'M';
    c.stopHalves = 4;
    c.rtsCtsFlow = true;
    c.xonXoffOutput = true;
    c.xonChar = 0x21;
    c.xoffChar = 0x23;
    ASSERT_EQ(device->Configure(c), 0);
    tio = DriverSettings(*device);
    // A pseudo-terminal forces eight bits without parity (it has no framing); the rest of
    // the settings reach it as they would reach a UART.
    EXPECT_EQ(tio.c_ospeed, 115200u);
    EXPECT_EQ(tio.c_cflag & (CMSPAR | PARODD), static_cast<tcflag_t>(CMSPAR | PARODD));
    EXPECT_TRUE(tio.c_iflag & INPCK);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_TRUE(tio.c_iflag & IXON);
    EXPECT_FALSE(tio.c_iflag & IXOFF);
    EXPECT_EQ(tio.c_cc[VSTART], 0x21);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x23);

    // A rate no standard constant names, and space parity with 1.5 stop bits.
    c = SerialConfig{};
    c.baud = 123457;
    c.dataBits = 5;
    c.parity = 'S';
    c.stopHalves = 3;
    ASSERT_EQ(device->Configure(c), 0);
    tio = DriverSettings(*device);
    EXPECT_EQ(tio.c_ospeed, 123457u);
    EXPECT_EQ(tio.c_cflag & (CMSPAR | PARODD), static_cast<tcflag_t>(CMSPAR));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(device->Configuration().baud, 123457u);
    EXPECT_EQ(device->Configuration().dataBits, 5);
    EXPECT_EQ(device->Configuration().parity, 'S');
}

TEST_F(TtyDeviceTest, ImpossibleFramingIsRefusedAndNothingChanges) {
    auto device = OpenSlave();
    ASSERT_TRUE(device);
    SerialConfig before = device->Configuration();
    struct Case {
        int dataBits;
        char parity;
        int stopHalves;
        std::uint32_t baud;
    };
    for (Case bad : {Case{6, 'N', 3, 9600}, Case{5, 'N', 4, 9600}, Case{4, 'N', 2, 9600},
                     Case{8, 'X', 2, 9600}, Case{8, 'N', 2, 0}}) {
        SerialConfig c;
        c.dataBits = bad.dataBits;
        c.parity = bad.parity;
        c.stopHalves = bad.stopHalves;
        c.baud = bad.baud;
        EXPECT_EQ(device->Configure(c), -EINVAL) << bad.dataBits << bad.parity << bad.stopHalves;
    }
    EXPECT_EQ(device->Configuration().baud, before.baud);
    EXPECT_EQ(DriverSettings(*device).c_ospeed, before.baud);
}

TEST_F(TtyDeviceTest, BufferedBytesCostNoReadSystemCall) {
    auto device = OpenSlave();
    ASSERT_TRUE(device);
    pty.Send("0123456789");
    ASSERT_EQ(device->Wait(1000, true, false), 1);
    // Let the whole burst reach the line discipline before the one read takes it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    unsigned char c = 0;
    ASSERT_EQ(device->Read(&c, 1), 1);
    EXPECT_EQ(c, '0');
    long probeStart = ReadSyscalls();
    long probeCost = ReadSyscalls() - probeStart; // what reading the counter itself costs
    long before = ReadSyscalls();
    std::string rest;
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(device->InputQueued(), 9 - i);
        ASSERT_EQ(device->Read(&c, 1), 1);
        rest += static_cast<char>(c);
    }
    long spent = ReadSyscalls() - before - probeCost;
    EXPECT_EQ(rest, "123456789");
    EXPECT_EQ(spent, 0) << "per-byte reads went to the driver";
    EXPECT_EQ(device->Read(&c, 1), 0);
    EXPECT_EQ(device->InputQueued(), 0);
}

TEST_F(TtyDeviceTest, PseudoTerminalStandsForADirectCable) {
    auto device = OpenSlave();
    ASSERT_TRUE(device);
    EXPECT_FALSE(device->HasModemLines());
    EXPECT_EQ(device->ModemStatus(), kModemCts | kModemDsr | kModemDcd);
    EXPECT_EQ(device->SetDtr(false), 0);
    EXPECT_EQ(device->SetRts(false), 0);
    LineErrorCounts e = device->Errors();
    EXPECT_EQ(e.overrun + e.parity + e.framing + e.breaks + e.bufferOverrun, 0u);
}

TEST_F(TtyDeviceTest, PurgeDropsBufferedAndDriverInput) {
    auto device = OpenSlave();
    ASSERT_TRUE(device);
    pty.Send("abcdef");
    ASSERT_EQ(device->Wait(1000, true, false), 1);
    unsigned char c = 0;
    ASSERT_EQ(device->Read(&c, 1), 1);
    ASSERT_EQ(device->Purge(true, false), 0);
    EXPECT_EQ(device->InputQueued(), 0);
    pty.Send("z");
    ASSERT_EQ(device->Wait(1000, true, false), 1);
    ASSERT_EQ(device->Read(&c, 1), 1);
    EXPECT_EQ(c, 'z');
}

TEST_F(TtyDeviceTest, WaitSleepsUntilInputArrivesOrTheCapPasses) {
    auto device = OpenSlave();
    ASSERT_TRUE(device);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device->Wait(100, true, false), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));

    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.Send("x");
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(device->Wait(5000, true, false), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    sender.join();
}

TEST_F(TtyDeviceTest, WaitOnAVanishedPeerStillSleeps) {
    auto device = OpenSlave();
    ASSERT_TRUE(device);
    pty.CloseMaster();
    // A hung-up terminal polls ready at once for ever; the wait must not turn into a spin.
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i)
        device->Wait(20, true, false);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
}

TEST_F(TtyDeviceTest, AcceleratedWaitIsShorter) {
    auto device = OpenSlave();
    ASSERT_TRUE(device);
    ScopedTimeAcceleration fast(100.0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device->Wait(2000, true, false), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}
