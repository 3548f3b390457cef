// The Win32-shaped serial calls over a pseudo-terminal mapped as a COM port in a temporary
// machine hive: the port map, error numbers, the transmit queue that never drops bytes,
// purge, comm events and read time-outs.
#include "platform/Win32Comm.h"

#include <thread>

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempDir.h"

using namespace platform;
using testsupport::MapComPort;
using testsupport::PtyPair;

namespace {

constexpr int kCom = 3;
constexpr const char* kComName = "\\\\.\\COM3";

HANDLE OpenCom(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

struct Win32CommTest : testing::Test {
    Win32CommTest() {
        setenv("SENDARI_TEST", "1", 1); // never fall back to a real /dev/ttyS*
        ReloadRegistry();
        MapComPort(kCom, pty.SlavePath());
    }
    ~Win32CommTest() override {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        ReloadRegistry();
    }
    void OpenPort() {
        h = OpenCom(kComName);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    }
    DWORD InQueue() {
        COMSTAT stat;
        DWORD errors = 0;
        EXPECT_TRUE(ClearCommError(h, &errors, &stat));
        return stat.cbInQue;
    }
    void WaitForInput(DWORD count) {
        for (int i = 0; i < 200 && InQueue() < count; ++i)
            WaitCommReady(h, 10, TRUE, FALSE);
    }

    testsupport::TempDir dir;
    PtyPair pty;
    HANDLE h{INVALID_HANDLE_VALUE};
};

} // namespace

TEST_F(Win32CommTest, PortMapNamesTheDeviceAndTheDefaultIsTheMatchingTty) {
    EXPECT_EQ(PortTarget(kCom), pty.SlavePath());
    // Unmapped numbers fall back to the system's serial devices; they are only named here,
    // never opened.
    EXPECT_EQ(PortTarget(1), "/dev/ttyS0");
    EXPECT_EQ(PortTarget(12), "/dev/ttyS11");
}

TEST_F(Win32CommTest, OpenErrorsCarryTheWin32Numbers) {
    OpenPort();
    EXPECT_EQ(OpenCom(kComName), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    MapComPort(4, pty.SlavePath()); // another name for the same device is refused too
    EXPECT_EQ(OpenCom("\\\\.\\COM4"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    MapComPort(5, dir / "missing-device");
    EXPECT_EQ(OpenCom("\\\\.\\COM5"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    MapComPort(6, dir.WriteFile("not-a-tty", ""));
    EXPECT_EQ(OpenCom("\\\\.\\COM6"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));

    // Unmapped, COM9 would be /dev/ttyS8: under test that is refused without opening it.
    EXPECT_EQ(OpenCom("\\\\.\\COM9"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    for (const char* bad : {"\\\\.\\LPT1", "\\\\.\\COM", "COMx", ""}) {
        EXPECT_EQ(OpenCom(bad), INVALID_HANDLE_VALUE) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

TEST_F(Win32CommTest, ControlBlockRoundTripsAndBadBlocksAreRefused) {
    OpenPort();
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 57600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(h, &dcb));

    for (auto breakIt :
         {+[](DCB& d) { d.ByteSize = 4; }, +[](DCB& d) { d.Parity = 5; },
          +[](DCB& d) { d.StopBits = ONE5STOPBITS; }, +[](DCB& d) { d.BaudRate = 0; }}) {
        DCB bad = dcb;
        breakIt(bad);
        EXPECT_FALSE(SetCommState(h, &bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    DCB now;
    ASSERT_TRUE(GetCommState(h, &now));
    EXPECT_EQ(now.BaudRate, 57600u);
    EXPECT_EQ(now.ByteSize, 7);
    EXPECT_EQ(now.Parity, EVENPARITY);
    EXPECT_EQ(now.StopBits, TWOSTOPBITS);
}

TEST_F(Win32CommTest, WritesBeyondWhatTheDeviceTakesAreQueuedNotDropped) {
    OpenPort();
    // More than a pseudo-terminal buffers while nobody reads the other end.
    std::string data(256 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    EXPECT_EQ(written, data.size());
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(h, nullptr, &stat));
    EXPECT_GT(stat.cbOutQue, 0u);

    std::string received;
    std::thread drain([&] { received = pty.Receive(data.size(), 10000); });
    for (int i = 0; i < 2000; ++i) {
        WaitCommReady(h, 10, FALSE, TRUE); // pushes the queue out as room frees
        ASSERT_TRUE(ClearCommError(h, nullptr, &stat));
        if (stat.cbOutQue == 0)
            break;
    }
    drain.join();
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_TRUE(received == data) << "received " << received.size() << " of " << data.size();
}

TEST_F(Win32CommTest, TransmitImmediateOvertakesQueuedOutput) {
    OpenPort();
    std::string data(256 * 1024, 'a');
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    ASSERT_TRUE(TransmitCommChar(h, 'X'));
    std::string received;
    std::thread drain([&] { received = pty.Receive(data.size() + 1, 10000); });
    COMSTAT stat;
    for (int i = 0; i < 2000; ++i) {
        WaitCommReady(h, 10, FALSE, TRUE);
        ASSERT_TRUE(ClearCommError(h, nullptr, &stat));
        if (stat.cbOutQue == 0)
            break;
    }
    drain.join();
    ASSERT_EQ(received.size(), data.size() + 1);
    EXPECT_LT(received.find('X'), data.size());
}

TEST_F(Win32CommTest, ImmediateReadsAndPurge) {
    OpenPort();
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    char buffer[16]{};
    DWORD got = 99;
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

    pty.Send("hello");
    WaitForInput(5);
    EXPECT_EQ(InQueue(), 5u);
    ASSERT_TRUE(ReadFile(h, buffer, 2, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "he");
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT));
    EXPECT_EQ(InQueue(), 0u);
}

TEST_F(Win32CommTest, TotalReadTimeoutBoundsABlockingRead) {
    OpenPort();
    COMMTIMEOUTS t;
    t.ReadTotalTimeoutConstant = 200;
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    pty.Send("ab");
    char buffer[8]{};
    DWORD got = 0;
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(std::string(buffer, got), "ab");
    EXPECT_GE(spent, std::chrono::milliseconds(150));
    EXPECT_LT(spent, std::chrono::milliseconds(2000));
}

TEST_F(Win32CommTest, ModemStatusOfAPseudoTerminalAndClosedHandles) {
    OpenPort();
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    DWORD errors = 99;
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(h, f)) << f;
    EXPECT_FALSE(EscapeCommFunction(h, 77));

    EXPECT_FALSE(GetCommModemStatus(INVALID_HANDLE_VALUE, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
