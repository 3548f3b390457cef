// The station identification between two copies of the program (one thread each, over one
// loopback pair), and against a scripted peer standing for a person at a terminal program.
#include "jobs/StationIdentification.h"

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "jobs/JobOutcome.h"
#include "platform/Clock.h"
#include "tests/jobs/JobRig.h"

using namespace jobs;
using jobtest::JobRig;
using jobtest::TextLines;
using platform::GetTickCount;
using platform::ScopedTimeAcceleration;
using platform::TicksSince;

namespace {

constexpr int kJobCommandDelayMs = 500; // what OpenForJob leaves the modem with
constexpr std::uint32_t kSlack = 1000;

void PrepareStation(JobRig& rig, const char* name, const char* phone) {
    rig.modem.SetCommandDelay(kJobCommandDelayMs);
    rig.context.stationName = name;
    rig.context.stationPhone = phone;
    SetJobStatus(rig.block, kStatusNegotiating);
}

struct TwoCopiesTest : testing::Test {
    TwoCopiesTest() : caller{*pair.first}, answerer{*pair.second} {
        PrepareStation(caller, "Harbour Office", "555 0101");
        // The trailing blank must not reach the caller's record.
        PrepareStation(answerer, "Hill Farm ", " 555 0199");
    }

    jobtest::LinkPair pair{testsupport::MakeLoopbackPair()};
    JobRig caller;
    JobRig answerer;
};

// A job end whose far side is a scripted peer.
struct TerminalPeerTest : testing::Test, jobtest::RigAndPeer {
    TerminalPeerTest() { PrepareStation(rig, "Harbour Office", "555 0101"); }
};

// A modem whose writes fail, as a port that has gone away.
class FailingWriteModem : public JobModem {
  public:
    using JobModem::JobModem;
    int SendCommand(const char*, bool) override { return comm::kWriteError; }
};

// A modem whose port has stopped delivering anything but a read error.
class FailingReadModem : public JobModem {
  public:
    using JobModem::JobModem;
    int ReadLine(char* buffer, int, int) override {
        buffer[0] = '\0';
        return comm::kReadError;
    }
};

} // namespace

TEST_F(TwoCopiesTest, EachLearnsTheOthersStation) {
    ScopedTimeAcceleration fast(4.0);
    int answererResult = -1;
    std::thread other([&] {
        answererResult = ExchangeIdentificationAsAnswerer(answerer.context, answerer.block);
    });
    int callerResult = ExchangeIdentificationAsCaller(caller.context, caller.block);
    other.join();

    EXPECT_EQ(callerResult, kJobSucceeded);
    EXPECT_EQ(answererResult, kJobSucceeded);

    EXPECT_EQ(caller.context.peerIsSame, 1);
    EXPECT_EQ(caller.context.peerVersion, "1.0");
    EXPECT_EQ(caller.context.peerMachineType, 0);
    EXPECT_EQ(caller.context.peerUser, "Hill Farm");
    EXPECT_EQ(caller.context.peerPhone, "555 0199");

    EXPECT_EQ(answerer.context.peerIsSame, 1);
    EXPECT_EQ(answerer.context.peerVersion, "1.0");
    EXPECT_EQ(answerer.context.peerMachineType, 0);
    EXPECT_EQ(answerer.context.peerUser, "Harbour Office");
    EXPECT_EQ(answerer.context.peerPhone, "555 0101");
}

TEST_F(TerminalPeerTest, TerminalUserIsToldWhatToDoInOrder) {
    ScopedTimeAcceleration fast(10.0);
    EXPECT_EQ(ExchangeIdentificationAsCaller(rig.context, rig.block), kJobSucceeded);
    EXPECT_EQ(rig.context.peerIsSame, 0);
    ASSERT_TRUE(peer.WaitForLines(12));
    EXPECT_EQ(TextLines(peer.Lines()), (std::vector<std::string>{
                                           "Sendari",
                                           "Version: 1.0",
                                           "Machine Type: PC",
                                           "User: Harbour Office",
                                           "Phone: 555 0101",
                                           "Start receiving files using Zmodem now...",
                                       }));
    // Line ends are CR LF for the person's screen, and every text has the modem's CR after it.
    EXPECT_NE(peer.Text().find("\rVersion: 1.0\r\n\r"), std::string::npos);
    EXPECT_NE(peer.Text().find("\r\n\rStart receiving files using Zmodem now...\r\n\r\r"),
              std::string::npos);
}

TEST_F(TerminalPeerTest, ProductNameInLowerCaseIsNotTheProduct) {
    ScopedTimeAcceleration fast(10.0);
    peer.On("Sendari", "\r\nsendari\r\n");
    EXPECT_EQ(ExchangeIdentificationAsCaller(rig.context, rig.block), kJobSucceeded);
    EXPECT_EQ(rig.context.peerIsSame, 0);
    ASSERT_TRUE(peer.WaitForLines(12));
    EXPECT_EQ(TextLines(peer.Lines())[1], "Version: 1.0");
}

TEST_F(TerminalPeerTest, HangUpDuringTheExchangeIsALostCarrierAtOnce) {
    ScopedTimeAcceleration fast(20.0);
    // The caller hangs up before its first line; then, as caller, the answerer hangs up
    // after the first field.
    peer.Send("\r\nNO CARRIER\r\n");
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(ExchangeIdentificationAsAnswerer(rig.context, rig.block), kJobFailed);
    EXPECT_EQ(rig.block.errorCode, comm::kLostCarrier);
    EXPECT_EQ(rig.block.statusAtError, kStatusNegotiating);
    EXPECT_LT(TicksSince(start), kSlack);

    rig.block.errorCode = 0;
    peer.On("Sendari", "\r\nSendari\r\n");
    peer.SetDefaultReply("\r\nNO CARRIER\r\n");
    EXPECT_EQ(ExchangeIdentificationAsCaller(rig.context, rig.block), kJobFailed);
    EXPECT_EQ(rig.block.errorCode, comm::kLostCarrier);
    EXPECT_LE(TextLines(peer.Lines()).size(), 3u); // nothing more went into the dead call
}

TEST_F(TerminalPeerTest, SilentCallerIsToldToStartSending) {
    ScopedTimeAcceleration fast(10.0);
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(ExchangeIdentificationAsAnswerer(rig.context, rig.block), kJobSucceeded);
    EXPECT_GE(TicksSince(start), 4000u);
    EXPECT_EQ(rig.context.peerIsSame, 0);
    ASSERT_TRUE(peer.WaitForLines(2));
    EXPECT_EQ(TextLines(peer.Lines()),
              (std::vector<std::string>{"Start sending files using Zmodem now..."}));
}

TEST_F(TerminalPeerTest, KnownConnectLineIsSkippedButANewModemMessageIsTheFirstLine) {
    ScopedTimeAcceleration fast(10.0);
    auto connect = std::make_unique<ModemResponse>();
    connect->text = "CONNECT 9600";
    connect->code = kResponseConnect;
    rig.context.responses.push_back(std::move(connect));

    peer.Send("\r\nCONNECT 9600\r\n\r\nSendari\r\n");
    EXPECT_EQ(ExchangeIdentificationAsAnswerer(rig.context, rig.block), kJobSucceeded);
    EXPECT_EQ(rig.context.peerIsSame, 1);

    rig.context.peerIsSame = 0;
    peer.Send("\r\nCONNECT 14400/ARQ\r\n\r\nSendari\r\n");
    EXPECT_EQ(ExchangeIdentificationAsAnswerer(rig.context, rig.block), kJobSucceeded);
    EXPECT_EQ(rig.context.peerIsSame, 0);
}

TEST_F(TerminalPeerTest, AnswererWithoutStartLineEndsAfterSilence) {
    ScopedTimeAcceleration fast(10.0);
    peer.Send("\r\nSendari\r\n\r\n\rVers:2.5 \r\r\rPhone:\t555\t01\x07\r\rCPU: 2\r");
    EXPECT_EQ(ExchangeIdentificationAsAnswerer(rig.context, rig.block), kJobSucceeded);
    EXPECT_EQ(rig.context.peerIsSame, 1);
    EXPECT_EQ(rig.context.peerVersion, "2.5");
    EXPECT_EQ(rig.context.peerMachineType, 2);
    EXPECT_EQ(rig.context.peerUser, "");
    // No tab may reach the tab-separated transfer log.
    EXPECT_EQ(rig.context.peerPhone, "555 01");
    // The answers: the product line, then the own value for each of the caller's fields.
    EXPECT_EQ(TextLines(peer.Lines()),
              (std::vector<std::string>{"Sendari", "Vers:1.0", "Phone:555 0101", "CPU:0"}));
}

TEST_F(TerminalPeerTest, StopDuringTheExchangeAbortsWithinHalfASecond) {
    for (bool asCaller : {false, true}) {
        SCOPED_TRACE(asCaller ? "caller" : "answerer");
        std::uint32_t setAt = 0;
        std::thread stopper = jobtest::StopAfter(rig.context.requests, 1200, setAt);
        int result = asCaller ? ExchangeIdentificationAsCaller(rig.context, rig.block)
                              : ExchangeIdentificationAsAnswerer(rig.context, rig.block);
        std::uint32_t end = GetTickCount();
        stopper.join();
        EXPECT_EQ(result, kJobAborted);
        EXPECT_LT(end - setAt, 500u + kSlack / 2);
        EXPECT_EQ(rig.block.finalResult, kJobSucceeded); // a stop stores no error
    }
}

TEST(StationIdentification, FailedWriteIsStoredWithTheNegotiatingStatus) {
    jobtest::RigAndPeer scene;
    JobRig& rig = scene.rig;
    FailingWriteModem failing(&rig.serial);
    rig.context.modem = &failing;
    SetJobStatus(rig.block, kStatusNegotiating);
    EXPECT_EQ(ExchangeIdentificationAsCaller(rig.context, rig.block), kJobFailed);
    EXPECT_EQ(rig.block.errorCode, comm::kWriteError);
    EXPECT_EQ(rig.block.statusAtError, kStatusNegotiating);
    OutcomeMessage message = ShowJobOutcome(rig.block.End(true, 1));
    EXPECT_EQ(message.stringId, 50203);
    EXPECT_NE(message.text.find("(-834)"), std::string::npos);
}

TEST(StationIdentification, DeadLinkEndsTheExchangeInsteadOfWaitingForever) {
    jobtest::RigAndPeer scene;
    JobRig& rig = scene.rig;
    FailingReadModem failing(&rig.serial);
    rig.context.modem = &failing;
    SetJobStatus(rig.block, kStatusNegotiating);
    EXPECT_EQ(ExchangeIdentificationAsAnswerer(rig.context, rig.block), kJobFailed);
    EXPECT_EQ(rig.block.errorCode, comm::kReadError);
    EXPECT_EQ(rig.block.statusAtError, kStatusNegotiating);
}
