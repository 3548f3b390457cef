// The Receive Files window over a scripted modem: "Done" waits for the worker, a modem that
// cannot be set up ends the waiting with the timed error, and a call is counted.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "data/AppSettings.h"
#include "jobs/JobOutcome.h"
#include "platform/Clock.h"
#include "tests/jobs/JobRig.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/MessageWindows.h"
#include "ui/ReceiveFilesDialog.h"
#include "ui/TransferDialog.h"

namespace {

struct ReceiveFilesDialogTest : testing::Test, jobtest::RigAndPeer {
    ReceiveFilesDialogTest() {
        settings.answerAfterRings = 1;
        settings.generalReceiveFolder = temp.Path().string();
        rig.context.settings = &settings;
        rig.context.receiveFolder = temp / "Partially Received Files";
        jobs::SetOutcomePresenter([this](const jobs::OutcomeMessage& message) {
            presented.push_back(message);
            ui::PresentOutcome(message);
        });
    }
    ~ReceiveFilesDialogTest() override { jobs::SetOutcomePresenter({}); }

    testsupport::TempDir temp;
    data::AppSettings settings;
    std::vector<jobs::OutcomeMessage> presented;
};

TEST_F(ReceiveFilesDialogTest, DoneClosesOnlyAfterTheWorkerHasReported) {
    peer.SetDefaultReply("\r\nOK\r\n");
    ui::ReceiveFilesDialog dialog(rig.context);
    dialog.show();
    EXPECT_EQ(uitest::ControlsWithoutHelp(&dialog), QStringList());
    EXPECT_EQ(dialog.Field(jobs::kControlCallsAnswered)->text(), "0");
    EXPECT_EQ(dialog.Field(jobs::kControlFilesReceivedCount)->text(), "0");
    EXPECT_TRUE(dialog.Field(jobs::kControlFreeSpace)->text().endsWith(" MB"));
    ASSERT_TRUE(uitest::RunUntil(
        [&] { return dialog.Logic().Block().CurrentStatus() == jobs::kStatusWaitingForRing; }));
    dialog.DoneButton()->click();
    // Still open: the worker puts the modem back first.
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.Logic().WorkerRunning());
    ASSERT_TRUE(uitest::RunUntil([&] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.Logic().WorkerRunning());
    EXPECT_TRUE(presented.empty());
}

TEST_F(ReceiveFilesDialogTest, WithoutATrayClosingTheWindowStopsTheWaiting) {
    peer.SetDefaultReply("\r\nOK\r\n");
    ui::ReceiveFilesDialog dialog(rig.context);
    dialog.show();
    if (dialog.Tray())
        GTEST_SKIP() << "this display has a tray";
    ASSERT_TRUE(uitest::RunUntil(
        [&] { return dialog.Logic().Block().CurrentStatus() == jobs::kStatusWaitingForRing; }));
    dialog.close();
    EXPECT_FALSE(dialog.InTray());
    ASSERT_TRUE(uitest::RunUntil([&] { return !dialog.isVisible(); }));
    EXPECT_FALSE(dialog.Logic().WorkerRunning());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(ReceiveFilesDialogTest, AModemThatCannotBeSetUpShowsTheTimedErrorAndCloses) {
    platform::ScopedTimeAcceleration fast{50.0};
    peer.SetDefaultReply("\r\nERROR\r\n");
    uitest::ModalWatcher watcher;
    ui::ReceiveFilesDialog dialog(rig.context);
    dialog.show();
    ASSERT_TRUE(uitest::RunUntil([&] { return !dialog.isVisible(); }, 30000));
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    ASSERT_EQ(presented.size(), 1u);
    EXPECT_EQ(presented[0].kind, jobs::MessageKind::TimedMessage);
    EXPECT_EQ(presented[0].stringId, 50209);
    ASSERT_FALSE(watcher.seen.empty());
    EXPECT_EQ(watcher.seen[0].className, "ui::TimedMessageDialog") << "closed by itself";
}

TEST_F(ReceiveFilesDialogTest, AnAnsweredCallIsCountedAndWaitingResumes) {
    platform::ScopedTimeAcceleration fast{20.0};
    peer.SetDefaultReply("\r\nOK\r\n");
    // The caller hangs up as soon as the modem answers.
    peer.On("ATA", "\r\nNO CARRIER\r\n");
    int transfers = 0;
    uitest::ModalWatcher watcher;
    ui::ReceiveFilesDialog dialog(rig.context);
    dialog.SetTransferObserver([&](ui::TransferDialog& transfer) {
        ++transfers;
        EXPECT_EQ(transfer.windowTitle(), "Receiving From: Unknown Sender");
    });
    dialog.show();
    ASSERT_TRUE(uitest::RunUntil(
        [&] { return dialog.Logic().Block().CurrentStatus() == jobs::kStatusWaitingForRing; }));
    peer.Send("\r\nRING\r\n");
    ASSERT_TRUE(uitest::RunUntil([&] { return transfers == 1 && !presented.empty(); }, 30000));
    EXPECT_EQ(dialog.Field(jobs::kControlCallsAnswered)->text(), "1");
    EXPECT_EQ(dialog.Field(jobs::kControlFilesReceivedCount)->text(), "0");
    EXPECT_EQ(presented[0].kind, jobs::MessageKind::TimedMessage);
    // Waiting again for the next call, until "Done".
    ASSERT_TRUE(uitest::RunUntil([&] {
        return dialog.Logic().WorkerRunning() &&
               dialog.Logic().Block().CurrentStatus() == jobs::kStatusWaitingForRing;
    }));
    dialog.reject();
    ASSERT_TRUE(uitest::RunUntil([&] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

} // namespace
