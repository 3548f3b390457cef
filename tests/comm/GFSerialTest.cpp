// GFSerial over the loopback link: time-outs, string endings, line settings kept and
// restored, and line-error decoding.
#include "comm/GFSerial.h"

#include <cstring>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "tests/support/LoopbackLink.h"

using namespace comm;
using testsupport::LoopbackLink;
using testsupport::MakeLoopbackPair;

namespace {

struct Fixture : testing::Test {
    Fixture() {
        auto pair = MakeLoopbackPair();
        near = std::move(pair.first);
        far = std::move(pair.second);
        serial = std::make_unique<GFSerial>(near.get());
    }
    std::unique_ptr<LoopbackLink> near, far;
    std::unique_ptr<GFSerial> serial;
};

} // namespace

using GFSerialTest = Fixture;

TEST_F(GFSerialTest, ReadCharWithTimeoutZeroPollsOnceAndTimesOutAtOnce) {
    near->SetIdleCalls(true);
    long pollsBefore = near->ReadPolls();
    std::uint32_t start = platform::GetTickCount();
    EXPECT_EQ(serial->ReadChar(0), kTimedOut);
    EXPECT_LT(platform::TicksSince(start), 50u);
    EXPECT_EQ(near->IdleCalls(), 0);
    EXPECT_EQ(near->ReadPolls() - pollsBefore, 1);
    far->WriteChar(0xFF);
    EXPECT_EQ(serial->ReadChar(0), 0xFF); // all 8 bits, never sign-extended
}

TEST_F(GFSerialTest, ReadCharWaitsForLateByteAndGivesUpAfterTheTimeout) {
    platform::ScopedTimeAcceleration fast(20.0);
    std::uint32_t start = platform::GetTickCount();
    EXPECT_EQ(serial->ReadChar(1000), kTimedOut);
    EXPECT_GE(platform::TicksSince(start), 1000u);
}

TEST_F(GFSerialTest, WriteStringEndings) {
    EXPECT_EQ(serial->WriteString("ATZ", -3), 5);
    EXPECT_EQ(serial->WriteString("AT", -2), 3);
    EXPECT_EQ(serial->WriteString("AT", -1), 2);
    EXPECT_EQ(serial->WriteString("AT", '!'), 3);
    EXPECT_EQ(serial->WriteString("AT", -4), 0);
    EXPECT_EQ(serial->WriteString("AT", 256), 0);
    EXPECT_EQ(serial->WriteString(nullptr, -1), 0);
    unsigned char got[32]{};
    int n = far->ReadBuffer(got, sizeof got - 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), n), "ATZ\r\nAT\nATAT!");
}

TEST_F(GFSerialTest, WriteStringStopsWhenTheTextDoesNotGoOutWhole) {
    near->SetTransmitRoom(2);
    EXPECT_EQ(serial->WriteString("ATZ", -3), 2); // no ending attempted after a short write
    near->SetTransmitRoom(4);
    unsigned char got[8];
    far->ReadBuffer(got, sizeof got);
    EXPECT_EQ(serial->WriteString("ATZ", -3), 4); // CR fits, LF does not
}

TEST_F(GFSerialTest, ReadStringStopsAtMaxTerminatorOrTimeout) {
    far->WriteString("HELLO WORLD\r");
    char buffer[6];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(serial->ReadString(buffer, 5, -1, 1000), 5);
    EXPECT_STREQ(buffer, "HELLO");

    char line[32];
    EXPECT_EQ(serial->ReadString(line, 31, '\r', 1000), 7);
    EXPECT_STREQ(line, " WORLD\r");

    platform::ScopedTimeAcceleration fast(20.0);
    far->WriteString("OK");
    EXPECT_EQ(serial->ReadString(line, 31, '\r', 500), 2);
    EXPECT_STREQ(line, "OK");
}

TEST_F(GFSerialTest, ReadBufferCollectsUntilLengthOrTimeout) {
    far->WriteString("abc");
    unsigned char buffer[11];
    platform::ScopedTimeAcceleration fast(20.0);
    EXPECT_EQ(serial->ReadBuffer(buffer, 10, 300), 3);
    EXPECT_EQ(buffer[3], 0);
    far->WriteString("0123456789xyz");
    EXPECT_EQ(serial->ReadBuffer(buffer, 10, 300), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "0123456789");
    EXPECT_EQ(serial->InputCount(), 3);
}

TEST(GFSerialLifetime, AppliesNineSixHundredEightN1AndRestoresOnDestruction) {
    auto [near, far] = MakeLoopbackPair();
    near->SetLineParams(2400, 'E', 7, 2);
    near->SetHandshake(4, 12);
    {
        GFSerial serial(near.get());
        long baud;
        char parity;
        int data, stop, in, out;
        near->GetLineParams(baud, parity, data, stop);
        EXPECT_EQ(baud, 9600);
        EXPECT_EQ(parity, 'N');
        EXPECT_EQ(data, 8);
        EXPECT_EQ(stop, 1);
        near->GetHandshake(in, out);
        EXPECT_EQ(in, 0);
        EXPECT_EQ(out, 0);
        EXPECT_EQ(serial.Status()->SavedInputMode(), 4);
        EXPECT_EQ(serial.Status()->SavedOutputMode(), 12);
        serial.Status()->SetHandshake(1, 1);
        serial.Settings()->Apply(115200, 'O', 8, 1);
    }
    long baud;
    char parity;
    int data, stop, in, out;
    near->GetLineParams(baud, parity, data, stop);
    EXPECT_EQ(baud, 2400);
    EXPECT_EQ(parity, 'E');
    EXPECT_EQ(data, 7);
    EXPECT_EQ(stop, 2);
    near->GetHandshake(in, out);
    EXPECT_EQ(in, 4);
    EXPECT_EQ(out, 12);
}

TEST(GFSerialLifetime, ConstructorStopsWhenThePortFailedToOpen) {
    auto [first, other] = MakeLoopbackPair(20, 21);
    auto [failed, spare] = MakeLoopbackPair(20, 22);
    ASSERT_EQ(failed->LastStatus(), kAlreadyOpen);
    GFSerial serial(failed.get());
    EXPECT_EQ(serial.Status(), nullptr);
    EXPECT_EQ(serial.Settings(), nullptr);
    int flags = -1;
    EXPECT_EQ(serial.LineErrors(flags), kAlreadyOpen);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(failed->LastStatus(), 0);
}

TEST_F(GFSerialTest, LineErrorsDecodeThePackedStates) {
    int flags = -1;
    EXPECT_EQ(serial->LineErrors(flags), 0);
    EXPECT_EQ(flags, 0);
    near->InjectLineErrors(1 | 2 | 4 | 8 | 16);
    EXPECT_EQ(serial->LineErrors(flags), 0);
    EXPECT_EQ(flags, kErrorParity | kErrorFraming | kErrorOverflow | kErrorOverrun | kErrorBreak);
    EXPECT_EQ(serial->LineErrors(flags), 0); // read once, then cleared
    EXPECT_EQ(flags, 0);

    serial->Status()->Refresh();
    EXPECT_EQ(serial->Status()->Cts(), 1);
    EXPECT_EQ(serial->Status()->CarrierDetect(), 1);
    near->SetModemLine(kLineDcd, false);
    serial->Status()->Refresh();
    EXPECT_EQ(serial->Status()->CarrierDetect(), 0);
}

TEST_F(GFSerialTest, LastStatusOfTheLinkIsReportedOnceByLineErrors) {
    near->SetTransmitRoom(1);
    EXPECT_EQ(serial->WriteBuffer(reinterpret_cast<const unsigned char*>("abc"), 3), 1);
    int flags;
    EXPECT_EQ(serial->LineErrors(flags), kBufferFull);
    EXPECT_EQ(serial->LineErrors(flags), 0);
}

TEST_F(GFSerialTest, PacingDelaysEachCharacter) {
    platform::ScopedTimeAcceleration fast(10.0);
    serial->SetPacing(100);
    std::uint32_t start = platform::GetTickCount();
    EXPECT_EQ(serial->WriteChar('A'), 0);
    EXPECT_EQ(serial->WriteChar('B'), 0);
    EXPECT_GE(platform::TicksSince(start), 200u);
}

TEST_F(GFSerialTest, PurgeForwardsToTheLink) {
    far->WriteString("12345678");
    EXPECT_EQ(serial->PurgeInput(5), kGeneralError);
    EXPECT_EQ(serial->InputCount(), 3);
    EXPECT_EQ(serial->PurgeInput(0), 0);
    EXPECT_EQ(serial->InputCount(), 0);
    EXPECT_EQ(serial->Reserved(), kNotSupported);
}
