// The modem engine and the job's modem dialogue against two virtual modems reached through the
// serial port class, as a job sees them: COM ports mapped in a temporary hive.

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "comm/GFSerial.h"
#include "comm/JobSerialPort.h"
#include "comm/StatusCodes.h"
#include "jobs/JobContext.h"
#include "jobs/JobStatusBlock.h"
#include "jobs/ModemDialogue.h"
#include "platform/Clock.h"
#include "platform/PostedMessages.h"
#include "platform/Registry.h"
#include "platform/Win32Comm.h"
#include "tests/jobs/StationRig.h"
#include "tests/support/TempDir.h"

using namespace jobs;

namespace {

// One side of a call as the view prepares it (the scenario tests' station), with a status
// block for the job's modem dialogue and a way to read the modem's next answer.
struct Station : jobtest::Station {
    Station(int comNumber, int listenPort) : jobtest::Station(comNumber, listenPort, "Station") {}

    int Wait(int ms, std::string* line = nullptr) {
        char buffer[kModemLineSize];
        int code = WaitForModemResponse(context, buffer, sizeof buffer, ms, nullptr, 1);
        if (line)
            *line = buffer;
        return code;
    }

    std::shared_ptr<platform::MessageQueue> window{std::make_shared<platform::MessageQueue>()};
    JobStatusBlock block{window};
};

struct VirtualModemPort : testing::Test {
    testsupport::TempDir dir;
    int calleePort{jobtest::FreeTcpPort()};
    int callerPort{jobtest::FreeTcpPort()};
};

} // namespace

TEST_F(VirtualModemPort, JobInitialisationDialAnswerDataQueryAndHangUpAgree) {
    Station caller(5, callerPort);
    Station callee(6, calleePort);
    ASSERT_EQ(caller.status, 0);
    ASSERT_EQ(callee.status, 0);

    EXPECT_EQ(InitializeModemForJob(caller.context, caller.block), kJobSucceeded);
    EXPECT_EQ(InitializeModemForJob(callee.context, callee.block), kJobSucceeded);

    std::string dial = "DT127.0.0.1:" + std::to_string(calleePort);
    ASSERT_GE(caller.modem->SendCommand(dial.c_str(), true), 0);
    EXPECT_EQ(callee.Wait(10000), kResponseRing);
    ASSERT_GE(callee.modem->Answer(), 0);
    std::string connectLine;
    EXPECT_EQ(caller.Wait(10000, &connectLine), kResponseConnect);
    EXPECT_EQ(connectLine.rfind("CONNECT 115200", 0), 0u) << connectLine;
    EXPECT_EQ(callee.Wait(10000), kResponseConnect);
    EXPECT_EQ(callee.serial->Status()->Refresh(), 0);
    EXPECT_EQ(callee.serial->Status()->CarrierDetect(), 1);

    // Data mode: every byte value passes unchanged. The LF that ends the CONNECT line is
    // still waiting; a job's protocol skips it, here it is dropped first.
    callee.serial->PurgeInput(0);
    unsigned char all[256];
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(caller.serial->WriteBuffer(all, 256), 256);
    unsigned char got[257];
    EXPECT_EQ(callee.serial->ReadBuffer(got, 256, 5000), 256);
    EXPECT_EQ(std::memcmp(all, got, 256), 0);

    // The engine's hang-up ("+++" between guard times, then ATH0) ends the call on both sides.
    EXPECT_EQ(caller.modem->HangUp(), 0);
    EXPECT_EQ(callee.Wait(10000), kResponseNoCarrier);
    callee.serial->Status()->Refresh();
    EXPECT_EQ(callee.serial->Status()->CarrierDetect(), 0);

    // Back in command mode the register the initialisation set reads back.
    const char* s0 = caller.modem->QueryRegister(0);
    ASSERT_NE(s0, nullptr);
    EXPECT_EQ(std::atoi(s0), 0) << s0;
}

TEST_F(VirtualModemPort, ExtraSettingsTheModemRefusesAreStoredAsTheExtraSettingsStep) {
    Station station(7, callerPort);
    ASSERT_EQ(station.status, 0);
    station.context.extraSettings = "#CLS=8"; // a voice command this modem does not know
    EXPECT_EQ(InitializeModemForJob(station.context, station.block), kJobFailed);
    EXPECT_EQ(station.block.errorCode, kResponseError);
    EXPECT_EQ(station.block.statusAtError, 50015);
}

TEST_F(VirtualModemPort, SecondOpenOfAVirtualModemPortIsRefused) {
    Station first(8, callerPort);
    ASSERT_EQ(first.status, 0);
    comm::JobSerialPort second(7, 16384, 8192);
    EXPECT_EQ(second.LastStatus(), comm::kAlreadyOpen);
}

TEST_F(VirtualModemPort, ProcessOverrideWinsOverTheStoredMap) {
    platform::SetPortOverride(9, "vmodem:listen=127.0.0.1:" + std::to_string(calleePort));
    platform::WriteRegistryString(platform::HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm",
                                  "COM9", "/nonexistent/device");
    {
        comm::JobSerialPort port(8, 16384, 8192);
        EXPECT_EQ(port.LastStatus(), 0);
    }
    platform::SetPortOverride(9, "");
    comm::JobSerialPort port(8, 16384, 8192);
    EXPECT_EQ(port.LastStatus(), comm::kPortOpenFailed);
}
