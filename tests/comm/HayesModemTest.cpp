// The Hayes command engine against a scripted modem on the far end of a loopback link: what
// goes on the wire, when it goes (pauses and guard times), and how answers are waited for.
#include "comm/HayesModem.h"

#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "tests/support/LoopbackLink.h"
#include "tests/support/ScriptedModem.h"
#include "tests/support/StubLink.h"

using namespace comm;
using platform::GetTickCount;
using platform::ScopedTimeAcceleration;
using platform::TicksSince;
using testsupport::LoopbackLink;
using testsupport::MakeLoopbackPair;
using testsupport::ReceivedByte;
using testsupport::ScriptedModem;

namespace {

// Ticks a scheduler hiccup may add to a measured wait; only upper bounds use it.
constexpr std::uint32_t kSlack = 1500;

// Counts ReadLine's polls and keeps every character it is shown.
class WatchedModem : public HayesModem {
  public:
    using HayesModem::HayesModem;
    int PollHook() override {
        ++polls;
        return pollResult;
    }
    void CharacterHook(int c) override { seen += static_cast<char>(c); }
    int polls{0};
    int pollResult{0};
    std::string seen;
};

struct HayesModemTest : testing::Test {
    HayesModemTest() {
        auto pair = MakeLoopbackPair();
        near = std::move(pair.first);
        far = std::move(pair.second);
        serial = std::make_unique<GFSerial>(near.get());
        modem = std::make_unique<WatchedModem>(serial.get());
    }

    // The tick at which the n-th occurrence of byte c reached the modem.
    static std::uint32_t TickOf(const std::vector<ReceivedByte>& bytes, char c, int n = 1) {
        for (const ReceivedByte& b : bytes)
            if (b.byte == static_cast<unsigned char>(c) && --n == 0)
                return b.tick;
        ADD_FAILURE() << "byte '" << c << "' never arrived";
        return 0;
    }

    // Everything that reached the far end without a script running there.
    std::string Drain() {
        unsigned char buffer[512];
        int n = far->ReadBuffer(buffer, sizeof buffer);
        return std::string(reinterpret_cast<char*>(buffer), n > 0 ? n : 0);
    }

    std::unique_ptr<LoopbackLink> near, far;
    std::unique_ptr<GFSerial> serial;
    std::unique_ptr<WatchedModem> modem;
};

} // namespace

// ---- Command formatting and the pause character ----

TEST_F(HayesModemTest, FormatCommandAddsPrefixWhenAskedAndAlwaysTheTerminator) {
    EXPECT_EQ(modem->FormatCommand("Z", true), 0);
    EXPECT_STREQ(modem->LastCommand(), "ATZ\r");
    EXPECT_EQ(modem->FormatCommand("HELLO", false), 0);
    EXPECT_STREQ(modem->LastCommand(), "HELLO\r");
    EXPECT_EQ(modem->FormatCommand("", true), kNotSupported);
    EXPECT_EQ(modem->FormatCommand(nullptr, true), kNotSupported);
    // A command that would not fit the buffer is refused, not cut.
    std::string huge(HayesModem::kCommandSize, 'X');
    EXPECT_EQ(modem->SendCommand(huge.c_str(), true), kNotSupported);
    EXPECT_EQ(Drain(), "");
}

TEST_F(HayesModemTest, PauseCharacterIsNotSentButWaitsHalfASecond) {
    ScriptedModem farEnd(*far);
    std::uint32_t start = GetTickCount();
    ASSERT_EQ(modem->SendCommand("AB~CD", false), 0);
    ASSERT_TRUE(farEnd.WaitForLines(1));
    EXPECT_EQ(farEnd.Text(), "ABCD\r");
    auto bytes = farEnd.Bytes();
    EXPECT_LE(TickOf(bytes, 'B') - start, kSlack);
    EXPECT_GE(TickOf(bytes, 'C') - start, 500u);
}

TEST_F(HayesModemTest, CommandsGoOutUnpacedAndThePacingIsPutBackEvenAfterAFailedWrite) {
    serial->SetPacing(1000);
    std::uint32_t start = GetTickCount();
    ASSERT_EQ(modem->SendCommand("Z", true), 0);
    EXPECT_LT(TicksSince(start), 1000u); // paced it would take four seconds
    EXPECT_EQ(serial->Pacing(), 1000);
    EXPECT_EQ(Drain(), "ATZ\r");

    near->SetTransmitRoom(2);
    EXPECT_EQ(modem->SendCommand("Z", true), kBufferFull);
    EXPECT_EQ(serial->Pacing(), 1000);
    EXPECT_EQ(Drain(), "AT");
}

// ---- Waiting for an expected answer ----

struct ExpectedAnswerTest : HayesModemTest {
    ExpectedAnswerTest() { modem->ExpectAnswer(5000, "OK"); }
    ScriptedModem farEnd{*far};
};

TEST_F(ExpectedAnswerTest, SkipsTheEchoAndABlankLineAndReturnsAfterOk) {
    farEnd.SetEcho(true);
    farEnd.On("ATE1", "\r\nOK\r\n");
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(modem->EchoOn(), 0);
    std::uint32_t took = TicksSince(start);
    EXPECT_GE(took, 100u); // the settling wait after the answer
    EXPECT_LT(took, 5000u);
    EXPECT_EQ(farEnd.Text(), "ATE1\r");
}

TEST_F(ExpectedAnswerTest, SilenceGivesNoOkAfterFiveSeconds) {
    ScopedTimeAcceleration fast(20.0);
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(modem->Reset(), kNoModemOk);
    std::uint32_t took = TicksSince(start);
    EXPECT_GE(took, 5000u);
    EXPECT_LT(took, 5000u + 20 * kSlack);
}

TEST_F(ExpectedAnswerTest, AnswerMustMatchExactlyAndWithCase) {
    ScopedTimeAcceleration fast(20.0);
    farEnd.On("ATZ", "\r\nok\r\n");
    farEnd.On("ATE0", "\r\nOK \r\n");
    EXPECT_EQ(modem->Reset(), kNoModemOk);
    EXPECT_EQ(modem->EchoOff(), kNoModemOk);
}

TEST_F(ExpectedAnswerTest, ChatterWithoutTheAnswerStillEndsByTheClock) {
    ScopedTimeAcceleration fast(20.0);
    std::atomic<bool> stop{false};
    // Lines arrive faster than they are read, so the reader never waits for input and its
    // budget never shrinks.
    std::string burst;
    for (int i = 0; i < 1000; ++i)
        burst += "RING\r\n";
    std::thread chatter([&] {
        while (!stop) {
            farEnd.Send(burst);
            platform::Sleep(1);
        }
    });
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(modem->Reset(), kNoModemOk);
    EXPECT_LT(TicksSince(start), 5000u + 20 * kSlack);
    stop = true;
    chatter.join();
}

TEST_F(ExpectedAnswerTest, FixedDelayAndNoWaitIgnoreTheExpectedAnswer) {
    EXPECT_EQ(modem->Answer(), 0); // the CONNECT comes much later and is read by the caller
    EXPECT_EQ(modem->GoOnline(), 0);
    ASSERT_TRUE(farEnd.WaitForLines(2));
    EXPECT_EQ(farEnd.Text(), "ATA\rATO\r");

    modem->SetCommandDelay(300);
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(modem->OffHook(), 0);
    EXPECT_GE(TicksSince(start), 300u);
}

// ---- Reading lines ----

TEST_F(HayesModemTest, ReadLineReturnsTheWholeBudgetForALineAlreadyThere) {
    far->WriteString("\nOK\r");
    char line[64];
    EXPECT_EQ(modem->ReadLine(line, sizeof line, 500), 500);
    EXPECT_STREQ(line, "OK");
    EXPECT_EQ(modem->seen, "\nOK\r"); // the hook sees the line ends too
}

TEST_F(HayesModemTest, ReadLineGivesUpAfterTenEmptyPollsOfAHalfSecondBudget) {
    ScopedTimeAcceleration fast(10.0);
    char line[64];
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(modem->ReadLine(line, sizeof line, 500), 0);
    EXPECT_EQ(modem->polls, 10);
    EXPECT_GE(TicksSince(start), 550u);
    EXPECT_STREQ(line, "");
}

TEST_F(HayesModemTest, ReadLineKeepsAPartialLineWhenTheBudgetRunsOut) {
    far->WriteString("CONN");
    char line[64];
    EXPECT_EQ(modem->ReadLine(line, sizeof line, 100), 0);
    EXPECT_STREQ(line, "CONN");
}

TEST_F(HayesModemTest, ReadLineChargesOnlyTheWaitsForInput) {
    std::thread late([&] {
        platform::Sleep(200);
        far->WriteString("BUSY\r");
    });
    char line[64];
    int left = modem->ReadLine(line, sizeof line, 20000);
    late.join();
    EXPECT_STREQ(line, "BUSY");
    ASSERT_GT(left, 0);
    EXPECT_LT(left, 20000);
    EXPECT_EQ((20000 - left) % 55, 0);
}

TEST_F(HayesModemTest, ReadLineOfSizeTwoStoresOneCharacterAsACompleteLine) {
    far->WriteString("ABC\r");
    char line[2];
    EXPECT_EQ(modem->ReadLine(line, 2, 500), 500);
    EXPECT_STREQ(line, "A");
    EXPECT_EQ(modem->ReadLine(line, 2, 500), 500);
    EXPECT_STREQ(line, "B");
    EXPECT_EQ(modem->ReadLine(line, 1, 500), kBadArgument);
    EXPECT_EQ(modem->ReadLine(nullptr, 10, 500), kBadArgument);
}

TEST_F(HayesModemTest, ANegativePollHookEndsTheRead) {
    modem->pollResult = kUserAbort;
    far->WriteString("OK\r");
    char line[16];
    EXPECT_EQ(modem->ReadLine(line, sizeof line, 500), kUserAbort);
    EXPECT_EQ(modem->polls, 1);
}

// ---- Indexed commands, dialling, registers ----

TEST_F(HayesModemTest, SpeakerAndResultCodeIndexesOutsideTheProfileAreRefused) {
    EXPECT_EQ(modem->SetSpeakerMode(3), kBadArgument); // empty entry of the default profile
    EXPECT_EQ(modem->SetSpeakerMode(5), kBadArgument);
    EXPECT_EQ(modem->SetSpeakerMode(-1), kBadArgument);
    EXPECT_EQ(modem->SetResultCodeSet(8), kBadArgument);
    EXPECT_EQ(modem->SetResultCodeSet(10), kBadArgument);
    EXPECT_EQ(Drain(), "");
    EXPECT_EQ(modem->SetSpeakerMode(2), 0);
    EXPECT_EQ(modem->SetResultCodeSet(7), 0);
    EXPECT_EQ(Drain(), "ATM2\rATX7\r");
}

TEST_F(HayesModemTest, DialModeSelectsTheDialCommandAndRedialRepeatsTheNumber) {
    EXPECT_EQ(modem->Dial("5551234"), 0); // mode 0 dials with tones
    EXPECT_EQ(modem->SetDialMode(kDialPulse), kDialPulse);
    EXPECT_EQ(modem->SetDialMode(11), kBadArgument);
    EXPECT_EQ(modem->DialMode(), kDialPulse);
    EXPECT_EQ(modem->Redial(), 0);
    EXPECT_EQ(modem->SetDialMode(kDialTone), kDialTone);
    EXPECT_EQ(modem->Dial("9,0123"), 0);
    EXPECT_EQ(Drain(), "ATDT5551234\rATDP5551234\rATDT9,0123\r");
    EXPECT_EQ(modem->Dial(nullptr), kBadArgument);
}

TEST_F(HayesModemTest, ANumberThatDoesNotFitIsRefusedAndNotRemembered) {
    EXPECT_EQ(modem->Redial(), kBadArgument); // nothing dialled yet
    EXPECT_EQ(modem->Dial("5551234"), 0);
    std::string tooLong(38, '1'); // "DT" + 38 digits leaves no room for the NUL
    EXPECT_EQ(modem->Dial(tooLong.c_str()), kBadArgument);
    EXPECT_STREQ(modem->LastNumber(), "5551234");
    std::string fits(37, '2');
    EXPECT_EQ(modem->Dial(fits.c_str()), 0);
    EXPECT_EQ(Drain(), "ATDT5551234\rATDT" + fits + "\r");
}

TEST_F(HayesModemTest, EmptyDialCommandIsNotSupported) {
    ModemProfile profile = DefaultModemProfile();
    SetProfileText(profile.pulseDial, "");
    HayesModem plain(serial.get(), &profile);
    plain.SetDialMode(kDialPulse);
    EXPECT_EQ(plain.Dial("123"), kNotSupported);
}

TEST_F(HayesModemTest, SetRegisterFormatsTheProfileCommand) {
    EXPECT_EQ(modem->SetRegister(7, 60), 0);
    EXPECT_EQ(Drain(), "ATS7=60\r");
}

TEST_F(HayesModemTest, RegisterFormatsFromTheRegistryCannotReadArbitraryArguments) {
    ModemProfile profile = DefaultModemProfile();
    HayesModem custom(serial.get(), &profile);
    for (const char* format : {"S%s=%d", "S%d=%d%d", "S%n", "S%", "S%x"}) {
        SetProfileText(profile.setRegister, format);
        SetProfileText(profile.queryRegister, format);
        EXPECT_EQ(custom.SetRegister(7, 60), kGeneralError) << format;
        EXPECT_EQ(custom.QueryRegister(7), nullptr) << format;
    }
    EXPECT_EQ(Drain(), "");
    SetProfileText(profile.setRegister, "S%d=%d%%");
    EXPECT_EQ(custom.SetRegister(7, 60), 0);
    EXPECT_EQ(Drain(), "ATS7=60%\r");
}

TEST_F(HayesModemTest, QueryRegisterReturnsTheValueWithoutWaitingForOk) {
    // The value must arrive within the fixed 350 ms read window; slowing the clock keeps a
    // busy machine's scheduling out of that window.
    ScopedTimeAcceleration slow(0.5);
    ScriptedModem farEnd(*far);
    farEnd.On("ATS7?", "\r\n060\r\n\r\nOK\r\n");
    modem->ExpectAnswer(5000, "OK");
    std::uint32_t start = GetTickCount();
    const char* value = modem->QueryRegister(7);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "060");
    EXPECT_GE(TicksSince(start), 200u);
    EXPECT_LT(TicksSince(start), 5000u);
    // The expected answer is back in force afterwards.
    EXPECT_STREQ(modem->ExpectedAnswer(), "OK");
    EXPECT_EQ(modem->ResponseMode(), -5000);
}

// ---- Initialising and opening for a job ----

TEST_F(HayesModemTest, InitializeResetsSendsTheInitStringAndSeesTheEcho) {
    ScopedTimeAcceleration slow(0.5); // the echo has a fixed 150 ms to come back
    ScriptedModem farEnd(*far);
    farEnd.SetEcho(true);
    HayesModem fresh;
    EXPECT_EQ(fresh.Initialize(serial.get(), nullptr), 0);
    EXPECT_TRUE(fresh.Echoes());
    ASSERT_TRUE(farEnd.WaitForLines(2));
    EXPECT_EQ(farEnd.Text(), "ATZ\rATX1 V1 S0=0\r");

    farEnd.On("ATS7?", "\r\n045\r\n\r\nOK\r\n");
    // With echo on the echoed query is skipped before the value is read.
    const char* value = fresh.QueryRegister(7);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "045");
}

TEST_F(HayesModemTest, InitializeWithoutEchoAndWithoutLink) {
    ScriptedModem farEnd(*far);
    farEnd.On("ATX1 V1 S0=0", "\r\nOK\r\n");
    HayesModem fresh;
    EXPECT_EQ(fresh.Initialize(serial.get(), nullptr), 0);
    EXPECT_FALSE(fresh.Echoes());
    EXPECT_EQ(fresh.Initialize(nullptr, nullptr), kBadArgument);
}

TEST_F(HayesModemTest, OpenForJobResetsWaitsSendsInitAndSwitchesToAFixedDelay) {
    ScopedTimeAcceleration fast(10.0);
    ScriptedModem farEnd(*far);
    farEnd.On("ATZ", "\r\nOK\r\nRING\r\n"); // the RING is stale by the time init goes out
    HayesModem job;
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(job.OpenForJob(serial.get(), nullptr, false), 0);
    EXPECT_GE(TicksSince(start), 100u + 500u + 500u);
    EXPECT_EQ(job.ResponseMode(), 500);
    ASSERT_TRUE(farEnd.WaitForLines(2));
    auto lines = farEnd.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "ATZ");
    EXPECT_EQ(lines[1].text, "ATX1 V1 S0=0");
    EXPECT_GE(lines[1].endTick - lines[0].endTick, 600u);
    char line[64];
    EXPECT_EQ(job.ReadLine(line, sizeof line, 200), 0);
    EXPECT_STREQ(line, "");
}

TEST_F(HayesModemTest, OpenForJobKeepingACallDoesNotReset) {
    ScopedTimeAcceleration fast(10.0);
    ScriptedModem farEnd(*far);
    HayesModem job;
    EXPECT_EQ(job.OpenForJob(serial.get(), nullptr, true), 0);
    ASSERT_TRUE(farEnd.WaitForLines(1));
    EXPECT_EQ(farEnd.Text(), "ATX1 V1 S0=0\r");
}

TEST_F(HayesModemTest, OpenForJobGoesOnWhenTheResetIsNotAnswered) {
    ScopedTimeAcceleration fast(20.0);
    ScriptedModem farEnd(*far);
    HayesModem job;
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(job.OpenForJob(serial.get(), nullptr, false), 0);
    EXPECT_GE(TicksSince(start), 5000u);
    ASSERT_TRUE(farEnd.WaitForLines(2));
    EXPECT_EQ(farEnd.Text(), "ATZ\rATX1 V1 S0=0\r");
}

// ---- Hanging up ----

TEST_F(HayesModemTest, HangUpSurroundsTheEscapeWithGuardTimesAndChecksTheCarrier) {
    ScopedTimeAcceleration fast(4.0);
    ScriptedModem farEnd(*far);
    // The modem drops the carrier when it takes the ATH0, then says OK.
    farEnd.On("+++ATH0", "\r\nOK\r\n", [&] { near->SetModemLine(kLineDcd, false); });
    modem->ExpectAnswer(5000, "OK");
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(modem->HangUp(), 0);
    EXPECT_EQ(farEnd.Text(), "+++ATH0\r");
    auto bytes = farEnd.Bytes();
    std::uint32_t firstPlus = TickOf(bytes, '+') - start;
    std::uint32_t attention = TickOf(bytes, 'A') - start;
    EXPECT_GE(firstPlus, 1500u);
    EXPECT_LE(firstPlus, 1500u + kSlack);
    EXPECT_LE(TickOf(bytes, '+', 3) - start, 1500u + kSlack);
    EXPECT_GE(attention, 3000u);
    EXPECT_GE(TicksSince(start), 3000u + 100u + 100u);
}

TEST_F(HayesModemTest, HangUpReportsACarrierThatStaysAndAHangUpCommandThatFails) {
    ScopedTimeAcceleration fast(20.0);
    EXPECT_EQ(modem->HangUp(), kGeneralError); // the loopback keeps DCD on
    near->SetModemLine(kLineDcd, false);
    EXPECT_EQ(modem->HangUp(), 0);

    ModemProfile profile = DefaultModemProfile();
    SetProfileText(profile.hangUp, "");
    HayesModem noHangUp(serial.get(), &profile);
    EXPECT_EQ(noHangUp.HangUp(), kNotSupported);
}

// ---- No link, and a link that gives up ----

TEST(HayesModemWithoutLink, EveryOperationReportsTheMissingLink) {
    HayesModem modem;
    char line[8];
    EXPECT_EQ(modem.SendCommand("Z", true), kNoSerialObject);
    EXPECT_EQ(modem.SendCommandNoWait("Z", true), kNoSerialObject);
    EXPECT_EQ(modem.Reset(), kNoSerialObject);
    EXPECT_EQ(modem.HangUp(), kNoSerialObject);
    EXPECT_EQ(modem.SetDialMode(kDialTone), kNoSerialObject);
    EXPECT_EQ(modem.Dial("123"), kNoSerialObject);
    EXPECT_EQ(modem.SetRegister(7, 60), kNoSerialObject);
    EXPECT_EQ(modem.QueryRegister(7), nullptr);
    EXPECT_EQ(modem.ReadLine(line, sizeof line, 100), kNoSerialObject);
    EXPECT_EQ(modem.SendCommand(nullptr, true), kNotSupported);
    EXPECT_EQ(modem.OpenForJob(nullptr, nullptr, false), kBadArgument);
}

namespace {

// A loopback end whose Idle reports that the user gave up, as an aborted job's link does.
class GivingUpLink : public testsupport::StubLink {
  public:
    explicit GivingUpLink(LoopbackLink& inner) : StubLink(inner.PortNumber()), m{inner} {}
    int Idle() override { return kUserAbort; }
    int ReadModemStatus() override { return m.ReadModemStatus(); }
    int Open() override { return 0; }
    int OpenDevice() override { return 0; }
    int Close() override { return 0; }
    int GetQueueStatus(QueueStatus& s) override { return m.GetQueueStatus(s); }
    int SetBufferSizes(long r, long x, long t) override { return m.SetBufferSizes(r, x, t); }
    int SetHandshake(int i, int o) override { return m.SetHandshake(i, o); }
    int GetHandshake(int& i, int& o) override { return m.GetHandshake(i, o); }
    int SetBreak(int s) override { return m.SetBreak(s); }
    int Line(int n, int v) override { return m.Line(n, v); }
    int SetLineParams(long b, char p, int d, int s) override { return m.SetLineParams(b, p, d, s); }
    int GetLineParams(long& b, char& p, int& d, int& s) override {
        return m.GetLineParams(b, p, d, s);
    }
    int GetLineStates(unsigned char s[4]) override { return m.GetLineStates(s); }
    int WriteChar(int c) override { return m.WriteChar(c); }
    int WriteString(const char* t) override { return m.WriteString(t); }
    int WriteBuffer(const unsigned char* d, int n) override { return m.WriteBuffer(d, n); }
    int SendImmediate(int c) override { return m.SendImmediate(c); }
    int ReadChar() override { return m.ReadChar(); }
    int ReadBuffer(unsigned char* b, int n) override { return m.ReadBuffer(b, n); }
    int Purge(int d, int n) override { return m.Purge(d, n); }

  private:
    LoopbackLink& m;
};

} // namespace

TEST_F(HayesModemTest, ALinkThatGivesUpEndsEveryWaitAtOnce) {
    GivingUpLink givingUp(*near);
    GFSerial quitting(&givingUp);
    HayesModem modem(&quitting);
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(modem.SendCommand("A~B", false), kUserAbort);
    EXPECT_EQ(Drain(), "A");
    char line[16];
    EXPECT_EQ(modem.ReadLine(line, sizeof line, 5000), kUserAbort);
    modem.SetCommandDelay(5000);
    EXPECT_EQ(modem.SendCommand("Z", true), kUserAbort);
    EXPECT_EQ(modem.OpenForJob(&quitting, nullptr, true), kUserAbort);
    EXPECT_LT(TicksSince(start), 500u);
}
