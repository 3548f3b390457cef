// The send job's dialling, redial wait and outcomes, with the transfer window's logic as its
// window and a scripted modem on the far end of a loopback link, on an accelerated clock.
#include "jobs/SendJob.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "data/UserMessages.h"
#include "jobs/JobOutcome.h"
#include "jobs/TransferWindow.h"
#include "platform/Clock.h"
#include "tests/jobs/JobRig.h"
#include "tests/support/TempDir.h"

using namespace jobs;

namespace {

constexpr const char* kNumber = "5550101";
constexpr const char* kDial = "ATDT5550101";

struct SendJobTest : testing::Test, jobtest::RigAndPeer {
    SendJobTest() {
        peer.SetDefaultReply("\r\nOK\r\n");
        settings.numberOfAttempts = 3;
        settings.delayBetweenRedials = 1;
        rig.context.settings = &settings;
        rig.context.isSend = 1;
        rig.context.destinationName = "Anna Berg";
        rig.context.destinationPhone = kNumber;
    }

    // Runs a send job of one file to its end through the window; `observe` sees every message.
    int
    Run(std::function<void(TransferWindowLogic&, const platform::PostedMessage&)> observe = {}) {
        files = {temp.WriteFile("a.txt", "hello")};
        TransferWindowLogic window(SendJobThread, rig.context, &files);
        window.SetLogPath(temp / "TRANSLOG.TXT");
        window.SetObserver([&](TransferWindowLogic& w, const platform::PostedMessage& m) {
            if (m.id == WM_JOB_STATUS)
                statuses.push_back(static_cast<int>(m.first));
            if (observe)
                observe(w, m);
        });
        window.Open();
        std::uint32_t start = platform::GetTickCount();
        window.Start();
        int result = window.RunModal();
        elapsed = platform::TicksSince(start);
        end = window.Block().End(true, window.ShownFilesDone());
        return result;
    }

    std::vector<testsupport::ReceivedLine> Dials() const {
        std::vector<testsupport::ReceivedLine> dials;
        for (const auto& line : peer.Lines())
            if (line.text.rfind("ATD", 0) == 0)
                dials.push_back(line);
        return dials;
    }

    int Count(int status) const {
        return static_cast<int>(std::count(statuses.begin(), statuses.end(), status));
    }

    platform::ScopedTimeAcceleration fast{60.0};
    testsupport::TempDir temp;
    data::AppSettings settings;
    std::vector<std::string> files;
    std::vector<int> statuses;
    std::uint32_t elapsed{0};
    JobEnd end;
};

} // namespace

TEST_F(SendJobTest, BusyOnEveryAttemptDialsThreeTimesWithTwoCountdowns) {
    peer.On(kDial, "\r\nBUSY\r\n");
    std::vector<std::string> timeLeft;
    int result = Run([&](TransferWindowLogic& w, const platform::PostedMessage& m) {
        if (m.id == WM_JOB_STATUS && m.first == kStatusWaitingToRedial)
            timeLeft.push_back(w.ControlText(kControlTimeLeft));
    });
    EXPECT_EQ(result, kJobBusy);
    EXPECT_EQ(Dials().size(), 3u);
    EXPECT_EQ(Count(kStatusBusy), 3);
    // Sixty seconds shown one by one, then the return to "Stop", twice.
    EXPECT_EQ(Count(kStatusWaitingToRedial), 2 * 60 + 2);
    ASSERT_FALSE(timeLeft.empty());
    EXPECT_EQ(timeLeft.front(), "00:01:00");
    EXPECT_EQ(timeLeft.back(), "--:--:--");
    // Two minutes of countdown really passed between the dials.
    auto dials = Dials();
    EXPECT_GE(dials[1].endTick - dials[0].endTick, 60000u);
    EXPECT_GE(dials[2].endTick - dials[1].endTick, 60000u);
    OutcomeMessage shown = ShowJobOutcome(end);
    EXPECT_EQ(shown.stringId, 50226);
}

TEST_F(SendJobTest, DialNowEndsTheCountdownAndIsTakenBack) {
    peer.On(kDial, "\r\nBUSY\r\n");
    settings.numberOfAttempts = 2;
    settings.delayBetweenRedials = 5;
    bool pressed = false;
    int result = Run([&](TransferWindowLogic& w, const platform::PostedMessage&) {
        if (w.DialNowShown() && !pressed) {
            pressed = true;
            w.PressStopButton();
        }
    });
    EXPECT_TRUE(pressed);
    EXPECT_EQ(result, kJobBusy);
    auto dials = Dials();
    ASSERT_EQ(dials.size(), 2u);
    EXPECT_LT(dials[1].endTick - dials[0].endTick, 60000u);
    EXPECT_FALSE(rig.context.requests.Any());
}

TEST_F(SendJobTest, DialNowPressedAfterTheCountdownEndedIsNoAbort) {
    // The press reaches the flag while the dial is already under way.
    peer.On(kDial, "\r\nBUSY\r\n", [this] {
        rig.context.requests.RequestDialNow();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    settings.numberOfAttempts = 2;
    EXPECT_EQ(Run(), kJobBusy);
    EXPECT_EQ(Dials().size(), 2u);
    EXPECT_EQ(ShowJobOutcome(end).stringId, 50226);
}

TEST_F(SendJobTest, StopDuringTheCountdownAbortsWithoutAMessage) {
    peer.On(kDial, "\r\nNO CARRIER\r\n");
    data::MessageHook previous = data::SetMessageHook(
        [](data::MessageKind, int, const std::string&) { return data::MessageAnswer::Yes; });
    int result = Run([&](TransferWindowLogic& w, const platform::PostedMessage&) {
        if (w.DialNowShown() && !rig.context.requests.Any())
            w.CloseCommand();
    });
    data::SetMessageHook(previous);
    EXPECT_EQ(result, kJobAborted);
    EXPECT_EQ(Dials().size(), 1u);
    EXPECT_EQ(Count(kStatusNoAnswer), 1);
    EXPECT_EQ(ShowJobOutcome(end).kind, MessageKind::None);
}

TEST_F(SendJobTest, ZeroAttemptsStillDialsOnce) {
    peer.On(kDial, "\r\nBUSY\r\n");
    settings.numberOfAttempts = 0;
    EXPECT_EQ(Run(), kJobBusy);
    EXPECT_EQ(Dials().size(), 1u);
    EXPECT_EQ(Count(kStatusWaitingToRedial), 0);
}

TEST_F(SendJobTest, RingWhileDiallingIsTheRingMessage) {
    peer.On(kDial, "\r\nRING\r\n");
    EXPECT_EQ(Run(), kJobFailed);
    EXPECT_EQ(end.errorCode, kResponseRing);
    EXPECT_EQ(ShowJobOutcome(end).stringId, 50225);
    // The line is hung up after the failure as after any other.
    EXPECT_EQ(statuses.back(), kStatusDisconnecting);
}

TEST_F(SendJobTest, RefusedExtraSettingsAreReportedAfterTheModemWasHungUp) {
    rig.context.extraSettings = "&Q99";
    peer.On("AT&Q99", "\r\nERROR\r\n");
    EXPECT_EQ(Run(), kJobFailed);
    EXPECT_EQ(end.statusAtError, kStatusExtraSettings);
    EXPECT_EQ(ShowJobOutcome(end).stringId, 50227);
    EXPECT_TRUE(Dials().empty());
    EXPECT_EQ(statuses.back(), kStatusDisconnecting);
    EXPECT_EQ(jobtest::TextLines(peer.Lines()).back(), "+++ATH0");
}

TEST_F(SendJobTest, LongNumberIsDialledInPiecesOfTwenty) {
    const std::string number = "1234567890123456789012345678901234567890ABCDE";
    ASSERT_EQ(number.size(), 45u);
    rig.block.SetCurrentStatus(kStatusDialing);
    EXPECT_EQ(DialNumber(rig.context, rig.block, number), kJobSucceeded);
    ASSERT_TRUE(peer.WaitForLines(3));
    EXPECT_EQ(jobtest::TextLines(peer.Lines()),
              (std::vector<std::string>{"ATDT12345678901234567890;", "ATDT12345678901234567890;",
                                        "ATDTABCDE"}));

    // A piece the modem refuses ends the dialling with its answer as the error.
    peer.On("ATDT12345678901234567890;", "\r\nNO DIALTONE\r\n");
    EXPECT_EQ(DialNumber(rig.context, rig.block, number), kJobFailed);
    EXPECT_EQ(rig.block.errorCode, kResponseNoDialtone);
    EXPECT_EQ(rig.block.statusAtError, kStatusDialing);
}

TEST(TrimFileListToCurrent, ListBeginsAtTheFileThatFailed) {
    struct Case {
        const char* list;
        const char* name;
        const char* expected;
        bool finished{false};
    } cases[] = {
        {"/a/1.txt|/a/2.txt|/a/3.txt", "/a/2.txt", "/a/2.txt|/a/3.txt"},
        {"/a/1.txt|/a/2.txt|/a/3.txt", "/a/1.txt", "/a/1.txt|/a/2.txt|/a/3.txt"},
        {"/a/1.txt|/a/2.txt", "<None>", "/a/1.txt|/a/2.txt"},
        // A name that is also the tail of an earlier entry cuts at its own entry.
        {"/x/a/2.txt|/a/2.txt|/a/3.txt", "/a/2.txt", "/a/2.txt|/a/3.txt"},
        // A shortened name finds the entry that holds it.
        {"/a/1.txt|/a/report 2.txt|/a/3.txt", "report 2.txt", "/a/report 2.txt|/a/3.txt"},
        // A file finished with before the line broke is not sent again.
        {"/a/1.txt|/a/2.txt|/a/3.txt", "/a/2.txt", "/a/3.txt", true},
        {"/a/1.txt|/a/2.txt", "/a/2.txt", "", true},
        {"/a/1.txt|/a/report 2.txt|/a/3.txt", "report 2.txt", "/a/3.txt", true},
    };
    for (const Case& c : cases) {
        std::string list = c.list;
        TrimFileListToCurrent(list, c.name, c.finished);
        EXPECT_EQ(list, c.expected) << c.list << " @ " << c.name;
    }
}
