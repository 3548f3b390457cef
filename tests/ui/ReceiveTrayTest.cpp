// The Receive Files window with a tray icon (run under a tray host: see tray_host.sh): closing
// the window keeps the station waiting in the tray, the menu brings it back, Quit ends the
// waiting and asks for the program's end. Without a tray these tests are skipped; the window
// then stops the waiting when closed, as ReceiveFilesDialogTest checks.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QSystemTrayIcon>

#include "data/AppSettings.h"
#include "jobs/JobOutcome.h"
#include "tests/jobs/JobRig.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/ReceiveFilesDialog.h"
#include "ui/ReceiveTray.h"

namespace {

struct ReceiveTrayTest : testing::Test, jobtest::RigAndPeer {
    void SetUp() override {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            GTEST_SKIP() << "no tray on this display";
        settings.answerAfterRings = 1;
        settings.generalReceiveFolder = temp.Path().string();
        rig.context.settings = &settings;
        rig.context.receiveFolder = temp / "Partially Received Files";
        peer.SetDefaultReply("\r\nOK\r\n");
        jobs::SetOutcomePresenter([](const jobs::OutcomeMessage&) {});
    }
    void TearDown() override { jobs::SetOutcomePresenter({}); }

    testsupport::TempDir temp;
    data::AppSettings settings;
};

TEST_F(ReceiveTrayTest, ClosingKeepsTheStationWaitingInTheTrayAndQuitEndsIt) {
    QWidget main;
    main.show();
    ui::ReceiveFilesDialog dialog(rig.context, &main);
    dialog.show();
    ASSERT_NE(dialog.Tray(), nullptr);
    ASSERT_TRUE(uitest::RunUntil(
        [&] { return dialog.Logic().Block().CurrentStatus() == jobs::kStatusWaitingForRing; }));
    EXPECT_EQ(dialog.Tray()->Icon()->toolTip(), "Sendari: Waiting for ring");

    dialog.close();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(main.isVisible());
    EXPECT_TRUE(dialog.InTray());
    EXPECT_TRUE(dialog.Logic().WorkerRunning()) << "closing to the tray stopped the waiting";
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    EXPECT_EQ(dialog.Tray()->LastBody(),
              "Sendari is still waiting for calls. Choose Quit in this icon's menu to stop.");

    dialog.Tray()->ShowAction()->trigger();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(main.isVisible());
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());

    dialog.close();
    ASSERT_TRUE(dialog.InTray());
    dialog.Tray()->QuitAction()->trigger();
    ASSERT_TRUE(uitest::RunUntil([&] { return !dialog.Logic().WorkerRunning(); }));
    ASSERT_TRUE(uitest::RunUntil([&] { return dialog.result() == QDialog::Accepted; }));
    EXPECT_TRUE(dialog.QuitRequested());
}

TEST_F(ReceiveTrayTest, DoneStillEndsTheWaitingWithTheWindow) {
    ui::ReceiveFilesDialog dialog(rig.context);
    dialog.show();
    ASSERT_TRUE(uitest::RunUntil(
        [&] { return dialog.Logic().Block().CurrentStatus() == jobs::kStatusWaitingForRing; }));
    dialog.DoneButton()->click();
    ASSERT_TRUE(uitest::RunUntil([&] { return !dialog.isVisible(); }));
    EXPECT_FALSE(dialog.InTray());
    EXPECT_FALSE(dialog.QuitRequested());
    EXPECT_FALSE(dialog.Logic().WorkerRunning());
}

} // namespace
