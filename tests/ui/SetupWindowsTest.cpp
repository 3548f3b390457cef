// The options sheet, the transfer log window and the modem window.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <fstream>

#include "comm/ModemInstaller.h"
#include "data/AppSettings.h"
#include "jobs/JobStatusBlock.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/MainWindow.h"
#include "ui/ModemsDialog.h"
#include "ui/OptionsDialog.h"
#include "ui/ReceiveFilesDialog.h"
#include "ui/TransferLogDialog.h"

namespace {

struct OptionsDialogTest : testing::Test {
    OptionsDialogTest() {
        platform::ReloadRegistry();
        data::LoadSettings(settings);
    }
    ~OptionsDialogTest() override { platform::ReloadRegistry(); }
    testsupport::TempDir temp;
    data::AppSettings settings;
};

TEST_F(OptionsDialogTest, OpensOnThePageOfTheCommandAndShowsTheStoredChoices) {
    uitest::ModalWatcher watcher([](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
            return;
        }
        auto* options = qobject_cast<ui::OptionsDialog*>(modal);
        ASSERT_NE(options, nullptr);
        EXPECT_EQ(options->Tabs()->currentIndex(), ui::OptionsDialog::kReceivePage);
        uitest::Screenshot(options, "options-receive");
        QTimer::singleShot(0, options, &QDialog::reject);
    });
    {
        ui::MainWindow window;
        window.show();
        ASSERT_TRUE(uitest::RunUntil([&] { return window.StartedUp(); }));
        window.Action("receiveSetup")->trigger();
        EXPECT_EQ(watcher.seen.size(), 2u) << "the no-modem message, then the sheet";
    }
    for (std::uint32_t delay : {10u, 1u, 45u}) {
        settings.delayBetweenRedials = delay;
        ui::OptionsDialog options(settings, ui::OptionsDialog::kModemPage);
        EXPECT_EQ(options.Tabs()->currentIndex(), ui::OptionsDialog::kModemPage);
        EXPECT_EQ(options.List("delay")->currentText(), QString::number(delay));
        EXPECT_FALSE(options.ApplyButton()->isEnabled());
        options.show();
        if (delay == 10)
            uitest::Screenshot(&options, "options-modem");
        options.reject();
    }
}

TEST_F(OptionsDialogTest, LongTextsAreRefusedAndPagesLeftAreSavedEvenOnCancel) {
    uitest::MessageRecorder messages;
    ui::OptionsDialog options(settings, ui::OptionsDialog::kSendPage);
    options.show();
    uitest::Screenshot(&options, "options-send");
    options.Field("stationName")->setText(QString(51, 'n'));
    EXPECT_TRUE(options.ApplyButton()->isEnabled());
    options.Tabs()->setCurrentIndex(ui::OptionsDialog::kModemPage);
    EXPECT_EQ(messages.ids, std::vector<int>{61716});
    EXPECT_EQ(options.Tabs()->currentIndex(), ui::OptionsDialog::kSendPage) << "the page stays";
    options.Field("stationName")->setText(QStringLiteral("Lighthouse"));
    options.List("attempts")->setCurrentIndex(4);
    options.Tabs()->setCurrentIndex(ui::OptionsDialog::kModemPage);
    EXPECT_EQ(options.Tabs()->currentIndex(), ui::OptionsDialog::kModemPage);
    // An edit on the page showing when Cancel is pressed is not taken.
    options.Field("extra")->setText(QStringLiteral("M2"));
    options.reject();
    data::AppSettings stored;
    data::LoadSettings(stored);
    EXPECT_EQ(stored.stationName, "Lighthouse");
    EXPECT_EQ(stored.numberOfAttempts, 5u);
    EXPECT_EQ(stored.extraSettings, "");
    EXPECT_TRUE(stored.modemSelection.empty()) << "no modem installed: an empty selection";
}

// A receive folder that cannot take files is refused on OK, naming the folder typed; one that
// does not exist yet but can be made is taken.
TEST_F(OptionsDialogTest, AReceiveFolderThatCannotTakeFilesIsRefusedOnOk) {
    uitest::MessageRecorder messages;
    temp.WriteFile("a file", "x");
    ui::OptionsDialog options(settings, ui::OptionsDialog::kReceivePage);
    options.show();
    for (const std::string& bad : {temp / "a file/inbox", temp / "a file", std::string("inbox")}) {
        options.Field("receiveFolder")->setText(QString::fromStdString(bad));
        options.accept();
        EXPECT_TRUE(options.isVisible()) << bad;
        ASSERT_FALSE(messages.ids.empty());
        ASSERT_EQ(messages.ids.back(), 50245);
        EXPECT_NE(messages.texts.back().find("'" + bad + "'"), std::string::npos)
            << messages.texts.back();
    }
    options.Field("receiveFolder")->setText(QString::fromStdString(temp / "new/inbox"));
    options.accept();
    EXPECT_FALSE(options.isVisible());
    EXPECT_EQ(settings.generalReceiveFolder, temp / "new/inbox");
}

TEST_F(OptionsDialogTest, AChosenFolderShowsAndEnablesApplyAndApplyTakesThePage) {
    ui::OptionsDialog options(settings, ui::OptionsDialog::kReceivePage);
    options.show();
    EXPECT_FALSE(options.ApplyButton()->isEnabled());
    options.FolderChosen(QString::fromStdString(temp / "inbox"));
    EXPECT_EQ(options.Field("receiveFolder")->text().toStdString(), temp / "inbox");
    ASSERT_TRUE(options.ApplyButton()->isEnabled());
    options.ApplyButton()->click();
    EXPECT_FALSE(options.ApplyButton()->isEnabled());
    EXPECT_EQ(options.Logic().Receive().folder, temp / "inbox");
    options.List("macBinary")->setCurrentIndex(0);
    EXPECT_TRUE(options.ApplyButton()->isEnabled());
    options.accept();
    data::AppSettings stored;
    data::LoadSettings(stored);
    EXPECT_EQ(stored.generalReceiveFolder, temp / "inbox");
    EXPECT_EQ(stored.macBinary, 0u);
}

TEST(TransferLogDialogTest, SortsEachColumnBothWaysAndClears) {
    testsupport::TempDir temp;
    const std::string log = temp / "TRANSLOG.TXT";
    std::ofstream(log)
        << "12/8/26 9:05:00 AM\tb.txt\tSending\tQuay\tSuccessful\t12KB\t00:01:00\t/b.txt\n"
           "1/2/26 11:00:00 PM\ta.txt\tReceiving\tHarbour\tFailed\t3KB\t00:10:00\t/a.txt\n"
           "12/8/26 1:05:00 PM\tC.txt\tSending\tQuay\tSkipped\t100KB\t00:00:05\t/C.txt\n";
    ui::TransferLogDialog dialog(log);
    ASSERT_TRUE(dialog.Load());
    dialog.show();
    uitest::Screenshot(&dialog, "transfer-log");
    auto column = [&](int c) {
        QStringList texts;
        for (int i = 0; i < dialog.List()->topLevelItemCount(); ++i)
            texts << dialog.List()->topLevelItem(i)->text(c);
        return texts;
    };
    auto click = [&](int c) { emit dialog.List()->header()->sectionClicked(c); };
    click(5);
    EXPECT_EQ(column(5), QStringList({"3KB", "12KB", "100KB"}));
    click(5);
    EXPECT_EQ(column(5), QStringList({"100KB", "12KB", "3KB"}));
    click(0);
    EXPECT_EQ(column(1), QStringList({"a.txt", "b.txt", "C.txt"})) << "by date and time";
    click(6);
    EXPECT_EQ(column(6), QStringList({"00:00:05", "00:01:00", "00:10:00"}));
    click(1);
    EXPECT_EQ(column(1), QStringList({"a.txt", "b.txt", "C.txt"})) << "without regard to case";
    click(1);
    EXPECT_EQ(column(1), QStringList({"C.txt", "b.txt", "a.txt"}));
    click(4);
    EXPECT_EQ(column(4), QStringList({"Failed", "Skipped", "Successful"}));
    EXPECT_TRUE(dialog.List()->header()->isSortIndicatorShown());
    EXPECT_EQ(dialog.List()->header()->sortIndicatorSection(), 4);
    EXPECT_EQ(dialog.List()->header()->sortIndicatorOrder(), Qt::AscendingOrder);
    const QFontMetrics metrics(dialog.List()->font());
    EXPECT_GT(dialog.List()->header()->sectionSize(0),
              metrics.horizontalAdvance(dialog.List()->topLevelItem(0)->text(0)))
        << "dates are not cut";

    // Enter, Enter never empties the log: the question's default answer is No, and Enter in the
    // window closes it.
    {
        uitest::ModalWatcher enter([](QWidget* modal) {
            QTimer::singleShot(0, modal, [modal] { QTest::keyClick(modal, Qt::Key_Return); });
        });
        dialog.ClearButton()->click();
        EXPECT_EQ(dialog.List()->topLevelItemCount(), 3) << "Enter answered No";
        EXPECT_FALSE(dialog.ClearButton()->isDefault());
        QTest::keyClick(&dialog, Qt::Key_Return);
        EXPECT_FALSE(dialog.isVisible()) << "Enter closes the window";
        EXPECT_EQ(dialog.List()->topLevelItemCount(), 3);
        dialog.show();
    }

    uitest::MessageRecorder answers(data::MessageAnswer::No);
    dialog.ClearButton()->click();
    EXPECT_EQ(answers.ids, std::vector<int>{50213});
    EXPECT_EQ(dialog.List()->topLevelItemCount(), 3) << "No keeps the log";
    answers.answer = data::MessageAnswer::Yes;
    dialog.ClearButton()->click();
    EXPECT_EQ(dialog.List()->topLevelItemCount(), 0);
    EXPECT_EQ(testsupport::TempDir::ReadFile(log), "");

    // A log that cannot be opened says so and the window does not open.
    ui::TransferLogDialog unreadable(temp / "missing-folder/TRANSLOG.TXT");
    EXPECT_FALSE(unreadable.Load());
    EXPECT_EQ(answers.ids.back(), 50211);
}

TEST(ModemsDialogTest, AVirtualModemAddedThereIsUsedByTheNextReceive) {
    testsupport::TempDir temp;
    platform::ReloadRegistry();
    uitest::ModalWatcher watcher;
    {
        ui::ModemsDialog modems;
        modems.show();
        EXPECT_EQ(modems.List()->topLevelItemCount(), 0);
        // An address wider than loopback is warned about as it is typed.
        const auto* exposed = modems.findChild<QLabel*>(QStringLiteral("listenWarning"));
        ASSERT_TRUE(exposed);
        modems.Field("listen")->setText(QStringLiteral("0.0.0.0:2323"));
        EXPECT_TRUE(exposed->isVisible());
        uitest::Screenshot(&modems, "modems-exposed");
        EXPECT_TRUE(exposed->text().contains(QStringLiteral("0.0.0.0")))
            << exposed->text().toStdString();
        modems.Field("listen")->setText(QStringLiteral("127.0.0.1:0"));
        EXPECT_FALSE(exposed->isVisible());
        modems.Choice("rate")->setCurrentText(QStringLiteral("unlimited"));
        // The virtual modem takes the port chosen in its own section.
        modems.Choice("port")->setCurrentText(QStringLiteral("COM7"));
        modems.Choice("virtualPort")->setCurrentText(QStringLiteral("COM2"));
        modems.Button("addVirtual")->click();
        ASSERT_EQ(modems.List()->topLevelItemCount(), 1);
        EXPECT_EQ(modems.List()->topLevelItem(0)->text(1), "COM2");
        EXPECT_EQ(modems.List()->topLevelItem(0)->text(2), "Virtual, 127.0.0.1:0, unlimited");
        uitest::Screenshot(&modems, "modems");
        // A bad address is refused with a message and adds nothing.
        modems.Field("listen")->setText(QStringLiteral("nowhere"));
        modems.Button("addVirtual")->click();
        EXPECT_EQ(modems.List()->topLevelItemCount(), 1);
    }
    data::AppSettings settings;
    data::LoadSettings(settings);
    settings.generalReceiveFolder = temp / "inbox";
    data::SaveSettings(settings);

    bool waited = false;
    ui::MainWindow window;
    window.show();
    ASSERT_TRUE(uitest::RunUntil([&] { return window.StartedUp(); }));
    EXPECT_EQ(window.Settings().modemSelection, comm::ListInstalledModems().at(0).name);
    window.SetReceiveObserver([&](ui::ReceiveFilesDialog& dialog) {
        QTimer::singleShot(0, &dialog, [&] {
            waited = uitest::RunUntil([&] {
                return dialog.Logic().Block().CurrentStatus() == jobs::kStatusWaitingForRing;
            });
            dialog.DoneButton()->click();
        });
    });
    QTimer::singleShot(0, &window, [&] { window.ReceiveButton()->click(); });
    ASSERT_TRUE(uitest::RunUntil([&] { return waited && !window.Busy(); }, 30000));
    platform::ReloadRegistry();
}

} // namespace
