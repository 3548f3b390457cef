// Reading and classifying modem answers, initialising the modem for a job and the SVD probe,
// against a scripted modem on the far end of a loopback link.
#include "jobs/ModemDialogue.h"

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "jobs/JobOutcome.h"
#include "platform/Clock.h"
#include "tests/jobs/JobRig.h"

using namespace jobs;
using jobtest::JobRig;
using platform::GetTickCount;
using platform::ScopedTimeAcceleration;
using platform::TicksSince;

namespace {

// Ticks a scheduler hiccup may add to a measured wait; only upper bounds use it.
constexpr std::uint32_t kSlack = 1000;

struct Scene : jobtest::RigAndPeer {
    int Wait(int timeoutMs, int classify) {
        return WaitForModemResponse(rig.context, line, sizeof line, timeoutMs, &entry, classify);
    }

    // Writes the pieces towards the job with the given (clock) pause before each.
    std::thread SendLater(std::vector<std::pair<int, std::string>> pieces) {
        return std::thread([this, pieces] {
            for (const auto& [pause, text] : pieces) {
                platform::Sleep(static_cast<std::uint32_t>(pause));
                peer.Send(text);
            }
        });
    }

    char line[kModemLineSize]{};
    const ModemResponse* entry{nullptr};
};

struct ModemDialogueTest : testing::Test, Scene {};

} // namespace

// ---- Classifying lines ----

TEST(MakeResponseEntry, ClassifiesByLeadingWordInTableOrder) {
    struct Case {
        const char* line;
        int code;
        int rate;
    } cases[] = {
        {"OK", kResponseOk, 0},
        {"PROTOCOL: LAPM", kResponseProtocol, 0},
        {"CONNECT 28800/V42BIS", kResponseConnect, 28800},
        {"CONNECT", kResponseConnect, 0},
        {"ERROR", kResponseError, 0},
        {"NO CARRIER", kResponseNoCarrier, 0},
        {"NO DIALTONE", kResponseNoDialtone, 0},
        {"NO DIAL TONE", kResponseNoDialtone, 0},
        {"BUSY", kResponseBusy, 0},
        {"CARRIER 2400", kResponseCarrier, 2400},
        {"RINGING", kResponseRing, 0},
        {"connect 9600", kResponseConnect, 9600},
        {"CONNECT 99999999999999", kResponseConnect, INT_MAX},
    };
    for (const Case& c : cases) {
        auto made = MakeResponseEntry(c.line);
        ASSERT_TRUE(made) << c.line;
        EXPECT_EQ(made->code, c.code) << c.line;
        EXPECT_EQ(made->dceRate, c.rate) << c.line;
        EXPECT_EQ(made->dteRate, 0);
        EXPECT_EQ(made->flags, 0);
    }
    EXPECT_EQ(MakeResponseEntry("connect 9600")->text, "CONNECT 9600");
    // Command echoes and remote text are no responses.
    for (const char* none : {"", "ATDT5551234", "HELLO", " OK"})
        EXPECT_FALSE(MakeResponseEntry(none)) << none;
    EXPECT_FALSE(MakeResponseEntry(nullptr));
}

// ---- WaitForModemResponse ----

TEST_F(ModemDialogueTest, ConnectLineGivesItsRateAndJoinsTheTable) {
    peer.Send("\r\nCONNECT 9600\r\n");
    EXPECT_EQ(Wait(2000, 1), kResponseConnect);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->ConnectionSpeed(), 9600);
    ASSERT_EQ(rig.context.responses.size(), 1u);
    EXPECT_EQ(rig.context.responses[0].get(), entry);

    // The second time the table answers, with the same entry.
    peer.Send("connect 9600\r");
    EXPECT_EQ(Wait(2000, 1), kResponseConnect);
    EXPECT_EQ(entry, rig.context.responses[0].get());
    EXPECT_EQ(rig.context.responses.size(), 1u);
}

TEST_F(ModemDialogueTest, TableEntryFromTheRegistryWinsAndCarriesItsRate) {
    auto known = std::make_unique<ModemResponse>();
    known->text = "CONNECT";
    known->code = kResponseConnect;
    known->dteRate = 57600;
    rig.context.responses.push_back(std::move(known));
    peer.Send("CONNECT\r");
    EXPECT_EQ(Wait(2000, 1), kResponseConnect);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->ConnectionSpeed(), 57600);
}

TEST_F(ModemDialogueTest, UnknownLineIsSkippedWhenClassifyingAndReturnedOtherwise) {
    peer.Send("Hello There\r\nOK\r\n");
    EXPECT_EQ(Wait(2000, 1), kResponseOk);
    EXPECT_STREQ(line, "OK");

    peer.Send("Hello There\r\nOK\r\n");
    EXPECT_EQ(Wait(2000, 0), kResponseUnrecognised);
    EXPECT_STREQ(line, "Hello There");
    EXPECT_EQ(entry, nullptr);
    // The OK behind it is now in the table (the first wait added it) and answers from there.
    EXPECT_EQ(Wait(2000, 0), kResponseOk);
}

TEST_F(ModemDialogueTest, UnknownResponseWordIsNotAddedWithoutClassifying) {
    peer.Send("CONNECT 14400\r");
    EXPECT_EQ(Wait(2000, 0), kResponseUnrecognised);
    EXPECT_STREQ(line, "CONNECT 14400");
    EXPECT_TRUE(rig.context.responses.empty());
}

TEST_F(ModemDialogueTest, LineSplitAcrossSlicesIsJoined) {
    // Each pause is longer than a read slice, so the line arrives in three slices.
    std::thread sender = SendLater({{0, "CONN"}, {700, "ECT 1"}, {700, "200\r"}});
    EXPECT_EQ(Wait(5000, 1), kResponseConnect);
    sender.join();
    EXPECT_STREQ(line, "CONNECT 1200");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->dceRate, 1200);
}

TEST_F(ModemDialogueTest, SilenceTimesOut) {
    ScopedTimeAcceleration fast(10.0);
    std::uint32_t start = GetTickCount();
    EXPECT_EQ(Wait(3000, 1), kResponseTimedOut);
    std::uint32_t took = TicksSince(start);
    EXPECT_GE(took, 2900u);
    EXPECT_LT(took, 3000u + kSlack);
}

TEST_F(ModemDialogueTest, FloodOfUnknownLinesStillTimesOut) {
    peer.SetDefaultReply("");
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop) {
            peer.Send("garbage\r");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::uint32_t start = GetTickCount();
    int code = Wait(1500, 1);
    std::uint32_t took = TicksSince(start);
    stop = true;
    flood.join();
    EXPECT_EQ(code, kResponseTimedOut);
    EXPECT_LT(took, 1500u + kSlack);
}

TEST_F(ModemDialogueTest, StopEndsTheWaitWithinHalfASecond) {
    for (bool plainModem : {false, true}) {
        SCOPED_TRACE(plainModem ? "plain modem" : "job modem");
        // A plain engine is only looked at between slices; the job modem at every poll.
        comm::HayesModem plain(&rig.serial);
        rig.context.modem = plainModem ? &plain : static_cast<comm::HayesModem*>(&rig.modem);
        std::uint32_t setAt = 0;
        std::thread stopper = jobtest::StopAfter(rig.context.requests, 300, setAt);
        int code = Wait(20000, 1);
        std::uint32_t end = GetTickCount();
        stopper.join();
        EXPECT_EQ(code, kResponseAborted);
        EXPECT_EQ(entry, nullptr);
        EXPECT_LT(end - setAt, 500u + kSlack / 2);
    }
}

// ---- InitializeModemForJob ----

namespace {

struct InitScene : Scene {
    InitScene() {
        peer.On("ATZ", "\r\nOK\r\n");
        peer.On("ATX1 V1 S0=0", "\r\nOK\r\n");
        peer.On("ATM1", "\r\nOK\r\n");
        peer.On("AT-SSE=1", "\r\nOK\r\n");
        rig.context.speakerMode = 1;
        rig.context.settings = &settings;
    }

    JobEnd End() const { return rig.block.End(true, 1); }

    std::vector<std::string> Commands() const { return jobtest::TextLines(peer.Lines()); }

    data::AppSettings settings;
};

struct InitializeModemTest : testing::Test, InitScene {
    ScopedTimeAcceleration fast{10.0};
};

} // namespace

TEST_F(InitializeModemTest, ReadyAfterResetInitialisationAndSpeaker) {
    EXPECT_EQ(InitializeModemForJob(rig.context, rig.block), kJobSucceeded);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"ATZ", "ATX1 V1 S0=0", "ATM1"}));
    EXPECT_EQ(rig.PostedStatuses(),
              (std::vector<int>{kStatusInitializingModem, kStatusExtraSettings}));
    EXPECT_EQ(rig.block.CurrentStatus(), kStatusExtraSettings);
    EXPECT_EQ(rig.block.finalResult, kJobSucceeded);
}

TEST_F(InitializeModemTest, DsvdModemIsToldToSwitchAndExtraSettingsFollow) {
    settings.modemType = data::kModemDsvd;
    rig.context.extraSettings = "&K3";
    peer.On("AT&K3", "\r\nOK\r\n");
    EXPECT_EQ(InitializeModemForJob(rig.context, rig.block), kJobSucceeded);
    EXPECT_EQ(Commands(),
              (std::vector<std::string>{"ATZ", "ATX1 V1 S0=0", "ATM1", "AT-SSE=1", "AT&K3"}));
}

TEST_F(InitializeModemTest, AVolumeWithoutACommandIsSkipped) {
    // The default profile has no command for volume 3.
    rig.context.speakerMode = 3;
    ASSERT_TRUE(rig.context.profile.speakerCommands[3].empty());
    EXPECT_EQ(InitializeModemForJob(rig.context, rig.block), kJobSucceeded);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"ATZ", "ATX1 V1 S0=0"}));
}

TEST_F(InitializeModemTest, VoiceCallUpSkipsTheReset) {
    rig.context.svdInCall = 1;
    EXPECT_EQ(InitializeModemForJob(rig.context, rig.block), kJobSucceeded);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"ATX1 V1 S0=0", "ATM1"}));
}

TEST_F(InitializeModemTest, ErrorToExtraSettingsBlamesThem) {
    rig.context.extraSettings = "&Q99";
    peer.On("AT&Q99", "\r\nERROR\r\n");
    EXPECT_EQ(InitializeModemForJob(rig.context, rig.block), kJobFailed);
    EXPECT_EQ(rig.block.finalResult, kJobFailed);
    EXPECT_EQ(rig.block.errorCode, kResponseError);
    EXPECT_EQ(rig.block.statusAtError, kStatusExtraSettings);
    OutcomeMessage message = ShowJobOutcome(End());
    EXPECT_EQ(message.stringId, 50227);
    EXPECT_EQ(message.kind, MessageKind::MessageBox);
}

TEST_F(InitializeModemTest, FailuresBeforeTheExtraSettingsBlameTheModemSetUp) {
    struct Case {
        const char* name;
        std::function<void(InitScene&)> arrange;
        int error;
    } cases[] = {
        {"init answered ERROR", [](InitScene& t) { t.peer.On("ATX1 V1 S0=0", "\r\nERROR\r\n"); },
         kResponseError},
        {"speaker unanswered", [](InitScene& t) { t.peer.On("ATM1", ""); }, kResponseTimedOut},
        {"speaker out of range", [](InitScene& t) { t.rig.context.speakerMode = 7; },
         comm::kBadArgument},
        {"DSVD refused",
         [](InitScene& t) {
             t.settings.modemType = data::kModemDsvd;
             t.peer.On("AT-SSE=1", "\r\nERROR\r\n");
         },
         kResponseError},
    };
    for (const Case& c : cases) {
        InitScene t;
        c.arrange(t);
        EXPECT_EQ(InitializeModemForJob(t.rig.context, t.rig.block), kJobFailed) << c.name;
        EXPECT_EQ(t.rig.block.errorCode, c.error) << c.name;
        EXPECT_EQ(t.rig.block.statusAtError, kStatusInitializingModem) << c.name;
        EXPECT_EQ(ShowJobOutcome(t.End()).stringId, 50209) << c.name;
    }
}

TEST_F(InitializeModemTest, StopWhileWaitingForTheModemAborts) {
    peer.On("ATX1 V1 S0=0", "", [this] { rig.context.requests.RequestStop(); });
    EXPECT_EQ(InitializeModemForJob(rig.context, rig.block), kJobAborted);
    EXPECT_EQ(rig.block.finalResult, kJobSucceeded); // nothing stored for a stop
}

TEST_F(InitializeModemTest, StopDuringTheResetPauseSendsNothingMore) {
    // The modem's pause after ATZ lasts a quarter of a second and the command delay half a
    // second; a stop in them ends the set-up there, not after the next command.
    peer.On("ATZ", "\r\nOK\r\n", [this] { rig.context.requests.RequestStop(); });
    EXPECT_EQ(InitializeModemForJob(rig.context, rig.block), kJobAborted);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"ATZ"}));
    EXPECT_EQ(rig.block.finalResult, kJobSucceeded);
}

// ---- DetectSvdCall ----

namespace {

struct DetectSvdCallTest : testing::Test, Scene {
    DetectSvdCallTest() {
        settings.modemType = data::kModemSvd;
        rig.context.settings = &settings;
        peer.On("AT#CLS=0", "\r\nOK\r\n");
        peer.On("AT#CLS=0-SMS=2", "\r\nOK\r\n");
    }
    ScopedTimeAcceleration fast{5.0};
    data::AppSettings settings;
};

} // namespace

TEST_F(DetectSvdCallTest, HandsetOffHookStartsDataInsideTheVoiceCall) {
    peer.On("AT#CLS=8", "\r\nOK\r\n\x10t\r");
    EXPECT_EQ(DetectSvdCall(rig.context), 1);
    EXPECT_EQ(jobtest::TextLines(peer.Lines()),
              (std::vector<std::string>{"AT#CLS=0", "AT#CLS=8", "AT#CLS=0-SMS=2"}));
}

TEST_F(DetectSvdCallTest, NoHandsetEventGoesBackToDataMode) {
    peer.SetEcho(true); // echoes are passed over
    peer.On("AT#CLS=8", "\r\nOK\r\n");
    EXPECT_EQ(DetectSvdCall(rig.context), 0);
    EXPECT_EQ(jobtest::TextLines(peer.Lines()),
              (std::vector<std::string>{"AT#CLS=0", "AT#CLS=8", "AT#CLS=0"}));
}

TEST_F(DetectSvdCallTest, ModemWithoutVoiceCommandsIsNoSvdModem) {
    peer.On("AT#CLS=8", "\r\nERROR\r\n");
    EXPECT_EQ(DetectSvdCall(rig.context), 0);
    EXPECT_EQ(jobtest::TextLines(peer.Lines()), (std::vector<std::string>{"AT#CLS=0", "AT#CLS=8"}));
}

TEST_F(DetectSvdCallTest, OtherModemTypesAreNotProbed) {
    for (std::uint32_t type : {data::kModemStandard, data::kModemDsvd}) {
        settings.modemType = type;
        EXPECT_EQ(DetectSvdCall(rig.context), 0);
    }
    EXPECT_TRUE(peer.Bytes().empty());
}
