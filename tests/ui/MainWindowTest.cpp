// The main window, its start-up timer's automatic modem choice and the self-closing messages.
#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>

#include "comm/ModemDiscovery.h"
#include "comm/ModemInstaller.h"
#include "data/AppSettings.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/Shell.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/MainWindow.h"
#include "ui/MessageWindows.h"
#include "ui/ReceiveFilesDialog.h"

namespace {

struct MainWindowTest : testing::Test {
    MainWindowTest() {
        platform::ReloadRegistry();
        previousPanel = comm::SetModemControlPanelHook([this] {
            ++controlPanelRuns;
            return true;
        });
    }
    ~MainWindowTest() override {
        comm::SetModemControlPanelHook(previousPanel);
        platform::ReloadRegistry();
    }

    void InstallModems(int count) {
        const auto hayes = comm::FindModemDefinition("hayes");
        ASSERT_TRUE(hayes);
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(comm::InstallModem(hayes->text, "COM" + std::to_string(i + 2), "").ok);
    }

    // Shows the window and lets its start-up timer run to its end.
    void StartUp(ui::MainWindow& window) {
        window.show();
        ASSERT_TRUE(uitest::RunUntil([&] { return window.StartedUp(); }));
    }

    testsupport::TempDir temp;
    int controlPanelRuns{0};
    comm::ControlPanelHook previousPanel;
};

TEST_F(MainWindowTest, LooksLikeTheProgramAndOffersWhatIsBuilt) {
    InstallModems(1);
    uitest::ModalWatcher watcher;
    ui::MainWindow window;
    StartUp(window);
    uitest::Screenshot(&window, "main-window");
    EXPECT_EQ(window.windowTitle(), "Sendari");
    EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "the window has a fixed size";
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window.ReceiveButton()->isEnabled());
    EXPECT_TRUE(window.SendButton()->isEnabled());
    EXPECT_EQ(window.Action("receive")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    EXPECT_EQ(window.Action("openReceiveFolder")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_EQ(window.Action("send")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    EXPECT_EQ(window.Action("transferLog")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_T));
    EXPECT_TRUE(window.Action("send")->isEnabled());
    EXPECT_TRUE(window.Action("transferLog")->isEnabled());
    EXPECT_TRUE(window.Action("about")->isEnabled());
}

TEST_F(MainWindowTest, StartUpWithoutAModemSaysSoAndStartsTheModemWindow) {
    uitest::ModalWatcher watcher;
    ui::MainWindow window;
    StartUp(window);
    ASSERT_EQ(watcher.seen.size(), 1u);
    EXPECT_TRUE(watcher.seen[0].text.startsWith("There are no modems configured"));
    EXPECT_EQ(watcher.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(controlPanelRuns, 1);
    EXPECT_TRUE(window.Settings().modemSelection.empty());
}

// A Receive asked for with no modem goes on with the modem the user adds in the Modems window.
TEST_F(MainWindowTest, AReceiveWithoutAModemGoesOnWithTheOneAdded) {
    data::AppSettings settings;
    data::LoadSettings(settings);
    settings.generalReceiveFolder = temp / "inbox";
    data::SaveSettings(settings);
    uitest::ModalWatcher watcher;
    ui::MainWindow window;
    StartUp(window);
    comm::SetModemControlPanelHook([] {
        const auto virtualModem = comm::FindModemDefinition("virtual");
        return virtualModem &&
               comm::InstallModem(virtualModem->text, "COM2",
                                  comm::VirtualModemMapValue("127.0.0.1:0", "unlimited"))
                   .ok;
    });
    bool opened = false;
    window.SetReceiveObserver([&](ui::ReceiveFilesDialog& dialog) {
        opened = true;
        QTimer::singleShot(0, &dialog, [&] { dialog.DoneButton()->click(); });
    });
    QTimer::singleShot(0, &window, [&] { window.ReceiveButton()->click(); });
    ASSERT_TRUE(uitest::RunUntil([&] { return opened && !window.Busy(); }, 30000));
    EXPECT_EQ(window.Settings().modemSelection, comm::ListInstalledModems().at(0).name);
}

// A receiving station already waits on the modem (the command-line receiver, as the service
// runs it): the desktop program's Receive is refused and names it, and never answers there.
TEST_F(MainWindowTest, AReceiveOnAModemThatAServiceHoldsNamesTheService) {
    const auto virtualModem = comm::FindModemDefinition("virtual");
    ASSERT_TRUE(virtualModem);
    const std::string listen = "127.0.0.1:" + std::to_string(uitest::FreePort());
    ASSERT_TRUE(comm::InstallModem(virtualModem->text, "COM2",
                                   comm::VirtualModemMapValue(listen, "unlimited"))
                    .ok);
    data::AppSettings settings;
    data::LoadSettings(settings);
    settings.generalReceiveFolder = temp / "inbox";
    settings.modemSelection = comm::ListInstalledModems().at(0).name;
    data::SaveSettings(settings);
    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(QStringLiteral(SENDARI_CLI_PATH), {"receive"});
    QByteArray said;
    ASSERT_TRUE(uitest::RunUntil(
        [&] {
            said += service.readAll();
            return said.contains("Waiting for ring");
        },
        20000))
        << said.toStdString();

    // The refusal comes as the timed message, which closes by itself: nobody is at the desk.
    QString refusal;
    uitest::ModalWatcher watcher([&](QWidget* modal) {
        if (auto* timed = qobject_cast<ui::TimedMessageDialog*>(modal)) {
            refusal = timed->MessageText();
            timed->accept();
        }
    });
    ui::MainWindow window;
    StartUp(window);
    QTimer::singleShot(0, &window, [&] { window.ReceiveButton()->click(); });
    ASSERT_TRUE(uitest::RunUntil([&] { return !refusal.isEmpty() && !window.Busy(); }, 30000));
    const QString expected = QString("being used by another program (sendari-cli receive, "
                                     "process %1)")
                                 .arg(service.processId());
    service.terminate();
    EXPECT_TRUE(service.waitForFinished(5000));
    EXPECT_EQ(service.exitCode(), 0) << said.toStdString() << service.readAll().toStdString();
    EXPECT_TRUE(refusal.contains(expected)) << refusal.toStdString();
}

TEST_F(MainWindowTest, StartUpWithOneModemChoosesItAndNamesIt) {
    InstallModems(1);
    uitest::ModalWatcher watcher;
    ui::MainWindow window;
    StartUp(window);
    ASSERT_EQ(watcher.seen.size(), 1u);
    const std::string name = window.Settings().modemSelection;
    ASSERT_FALSE(name.empty());
    EXPECT_TRUE(watcher.seen[0].text.contains(QString::fromStdString("'" + name + "' modem")));
    EXPECT_EQ(watcher.seen[0].icon, QMessageBox::Information);
    // Stored: the next start asks nothing.
    data::AppSettings stored;
    data::LoadSettings(stored);
    EXPECT_EQ(stored.modemSelection, name);
    EXPECT_EQ(controlPanelRuns, 0);
}

// A damaged settings file is named in a message when the program starts, and what could be read
// of it is used.
TEST_F(MainWindowTest, ADamagedSettingsFileIsNamedAtStartUpAndItsValuesAreUsed) {
    InstallModems(1);
    data::AppSettings settings;
    data::LoadSettings(settings);
    settings.stationName = "Quay";
    settings.modemSelection = comm::ListInstalledModems().at(0).name;
    data::SaveSettings(settings);
    const std::string path = platform::RegistryHivePath(platform::HKEY_CURRENT_USER);
    temp.WriteFile(path, testsupport::TempDir::ReadFile(path) + "\x01 damaged line\n");
    platform::ReloadRegistry();
    platform::TakeRegistryNotices();
    uitest::MessageRecorder messages;
    ui::MainWindow window;
    StartUp(window);
    ASSERT_EQ(messages.ids, std::vector<int>{50244});
    EXPECT_NE(messages.texts[0].find(path + " is damaged"), std::string::npos) << messages.texts[0];
    EXPECT_EQ(window.Settings().stationName, "Quay");
}

TEST_F(MainWindowTest, StartUpWithThreeModemsLetsTheUserChooseAndCancel) {
    InstallModems(3);
    QStringList offered;
    {
        uitest::ModalWatcher watcher([&](QWidget* modal) {
            auto* dialog = qobject_cast<ui::SelectModemDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            for (int i = 0; i < dialog->Combo()->count(); ++i)
                offered << dialog->Combo()->itemText(i);
            uitest::Screenshot(dialog, "select-modem");
            dialog->Combo()->setCurrentIndex(2);
            QTimer::singleShot(0, dialog, &QDialog::accept);
        });
        ui::MainWindow window;
        StartUp(window);
        ASSERT_EQ(offered.size(), 3);
        EXPECT_EQ(window.Settings().modemSelection, offered[2].toStdString());
        EXPECT_NE(offered[0], offered[1]) << "every modem can be told apart";
    }

    // Cancelled, the choice stays empty.
    data::AppSettings empty;
    data::LoadSettings(empty);
    empty.modemSelection.clear();
    data::SaveSettings(empty);
    uitest::ModalWatcher canceller([](QWidget* modal) {
        QTimer::singleShot(0, modal, [modal] { static_cast<QDialog*>(modal)->reject(); });
    });
    ui::MainWindow second;
    StartUp(second);
    EXPECT_TRUE(second.Settings().modemSelection.empty());
}

TEST(SelfClosingMessagesTest, BothCloseByThemselvesAndSayWhen) {
    platform::ScopedTimeAcceleration fast{100.0};
    QElapsedTimer clock;
    for (int files : {1, 3}) {
        ui::FilesReceivedDialog notice(files);
        EXPECT_EQ(notice.MessageText().toStdString(), jobs::FilesReceivedText(files));
        clock.start();
        EXPECT_EQ(notice.exec(), QDialog::Accepted);
        EXPECT_LT(clock.elapsed(), 5000);
    }
    ui::TimedMessageDialog message(
        QStringLiteral("The other person has cancelled the file transfer."));
    uitest::ModalWatcher watcher([](QWidget* modal) {
        // Still open, counting down from 15 seconds.
        auto* dialog = static_cast<ui::SelfClosingDialog*>(modal);
        uitest::Screenshot(dialog, "timed-message");
        EXPECT_TRUE(dialog->findChildren<QLabel*>().size() >= 2);
    });
    clock.start();
    EXPECT_EQ(message.exec(), QDialog::Accepted);
    EXPECT_GE(clock.elapsed(), 100) << "it stays up for its 15 (accelerated) seconds";
    EXPECT_LT(clock.elapsed(), 5000);
}

// The Files Received notice opens the receive folder; with no file manager to show it, a
// message says where the files are.
TEST(SelfClosingMessagesTest, TheFilesReceivedNoticeOpensTheReceiveFolder) {
    testsupport::TempDir temp;
    platform::ReloadRegistry();
    data::AppSettings settings;
    data::LoadSettings(settings);
    settings.generalReceiveFolder = temp / "inbox";
    data::SaveSettings(settings);
    std::vector<std::string> opened;
    auto previous = platform::SetShellOpenHook([&](const std::string& path) {
        opened.push_back(path);
        return false;
    });
    uitest::MessageRecorder messages;
    ui::FilesReceivedDialog notice(2);
    auto* open = notice.findChild<QPushButton*>(QStringLiteral("openReceiveFolder"));
    ASSERT_TRUE(open);
    open->click();
    platform::SetShellOpenHook(previous);
    EXPECT_EQ(opened, std::vector<std::string>{temp / "inbox"});
    ASSERT_EQ(messages.ids, std::vector<int>{50246});
    EXPECT_NE(messages.texts[0].find(temp / "inbox"), std::string::npos);
    platform::ReloadRegistry();
}

TEST(SelfClosingMessagesTest, UnattendedReceiveMessagesAreTheSelfClosingOnes) {
    for (int id : {50206, 50211, 50212, 50215, 50220, 50223})
        EXPECT_TRUE(ui::ClosesByItself(id)) << id;
    for (int id : {50221, 50229, 50233, 50214})
        EXPECT_FALSE(ui::ClosesByItself(id)) << id;
}

} // namespace
