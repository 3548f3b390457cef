// The desktop program end to end, with nobody at the screen: its main window waits for calls
// on a virtual modem installed by sendari-modems, and sendari-cli dials it and sends three
// files. With SENDARI_SCREENSHOTS set, the run also photographs the windows along the way
// (at a slower line rate, so that the transfer window is caught in the middle).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>

#include <filesystem>
#include <fstream>
#include <random>

#include "comm/ModemInstaller.h"
#include "data/AppSettings.h"
#include "jobs/JobStatusBlock.h"
#include "jobs/ReceiveFilesWindow.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/MainWindow.h"
#include "ui/MessageWindows.h"
#include "ui/ReceiveFilesDialog.h"
#include "ui/ReceiveTray.h"
#include "ui/TransferDialog.h"

namespace fs = std::filesystem;

namespace {

bool Screenshots() {
    const char* folder = std::getenv("SENDARI_SCREENSHOTS");
    return folder && *folder;
}

std::string RandomBytes(std::size_t size) {
    std::mt19937 random(20261208);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

int CountLines(const std::string& text, const std::string& field) {
    int count = 0;
    for (std::size_t at = text.find(field); at != std::string::npos; at = text.find(field, at + 1))
        ++count;
    return count;
}

TEST(DesktopEndToEndTest, MainWindowReceivesThreeFilesSentByTheCommandLine) {
    testsupport::TempDir temp;
    platform::ReloadRegistry();
    // Real time while the other program talks to this one; the self-closing notice after the
    // call runs on a faster clock (below).
    platform::ScopedTimeAcceleration clock{1.0};
    const int receiverPort = uitest::FreePort();
    const int senderPort = uitest::FreePort();

    // The receiving station: a virtual modem installed as a user would, and its settings.
    ASSERT_EQ(QProcess::execute(QStringLiteral(SENDARI_MODEMS_PATH),
                                {"add-virtual", "--port", "COM4", "--listen",
                                 QString("127.0.0.1:%1").arg(receiverPort), "--rate", "unlimited"}),
              0);
    platform::ReloadRegistry();
    const auto modems = comm::ListInstalledModems();
    ASSERT_EQ(modems.size(), 1u);
    const std::string inbox = temp / "inbox";
    {
        data::AppSettings settings;
        data::LoadSettings(settings);
        settings.stationName = "Quay";
        settings.generalReceiveFolder = inbox;
        settings.answerAfterRings = 1;
        settings.modemSelection = modems[0].name;
        data::SaveSettings(settings);
    }
    // The sending station has folders of its own.
    const std::string sender = temp / "sender";
    fs::create_directories(sender + "/config/Sendari");
    std::ofstream(sender + "/config/Sendari/HKEY_CURRENT_USER.reg")
        << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari\\1.0]\n"
           "\"StationName\"=\"Lighthouse\"\n\"NumberOfAttempts\"=dword:00000001\n";
    const std::size_t photoSize = Screenshots() ? 600000 : 200000;
    const std::map<std::string, std::string> files{
        {"photo one.bin", RandomBytes(photoSize)}, {"note.txt", "hello\r\n"}, {"empty.dat", ""}};
    QStringList senderArguments{
        "send", "--to",     QString("127.0.0.1:%1").arg(receiverPort), "--name",
        "Quay", "--vmodem", QString("127.0.0.1:%1").arg(senderPort)};
    senderArguments << "--rate" << (Screenshots() ? "115200" : "unlimited");
    for (const auto& [name, content] : files)
        senderArguments << QString::fromStdString(temp.WriteFile("outbox/" + name, content));

    ui::InstallMessageHooks();
    // Nobody presses anything in the self-closing windows; any other modal window is a fault.
    QStringList modalsSeen;
    uitest::ModalWatcher watcher([&](QWidget* modal) {
        modalsSeen << QString::fromLatin1(modal->metaObject()->className());
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            ADD_FAILURE() << "unexpected message: " << box->text().toStdString();
            QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
        }
        if (auto* notice = qobject_cast<ui::FilesReceivedDialog*>(modal))
            uitest::Screenshot(notice, "files-received");
    });

    ui::MainWindow window;
    window.show();
    ASSERT_TRUE(uitest::RunUntil([&] { return window.StartedUp(); }));
    EXPECT_TRUE(modalsSeen.isEmpty()) << "the stored modem is taken without a question";

    QProcess sending;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(sender + "/config"));
    environment.insert("XDG_DATA_HOME", QString::fromStdString(sender + "/data"));
    environment.insert("SENDARI_HOME", QString::fromStdString(sender + "/data/Sendari"));
    sending.setProcessEnvironment(environment);
    sending.setProcessChannelMode(QProcess::MergedChannels);

    bool scriptDone = false;
    QString callsAfter, filesAfter;
    window.SetReceiveObserver([&](ui::ReceiveFilesDialog& dialog) {
        dialog.SetTransferObserver([&](ui::TransferDialog& transfer) {
            // The call is over when the transfer window closes: the 15 s of the Files
            // Received notice pass in 1.5 s.
            QObject::connect(&transfer, &QDialog::finished,
                             [] { platform::SetTimeAcceleration(10.0); });
            if (!Screenshots())
                return;
            auto* poll = new QTimer(&transfer);
            QObject::connect(poll, &QTimer::timeout, &transfer, [&transfer, poll] {
                const int percent = transfer.Progress()->value();
                if (percent >= 35 && percent <= 75) {
                    uitest::Screenshot(&transfer, "transfer-files");
                    poll->stop();
                }
            });
            poll->start(50);
        });
        QTimer::singleShot(0, &dialog, [&] {
            // Waiting for a ring, then the call: the transfer window runs on top of this one.
            EXPECT_TRUE(uitest::RunUntil([&] {
                return dialog.Logic().Block().CurrentStatus() == jobs::kStatusWaitingForRing;
            }));
            // Where the desktop has a tray, the station waits there with its window closed.
            if (dialog.Tray()) {
                dialog.close();
                EXPECT_TRUE(dialog.InTray());
                EXPECT_FALSE(window.isVisible());
            }
            sending.start(QStringLiteral(SENDARI_CLI_PATH), senderArguments);
            EXPECT_TRUE(uitest::RunUntil(
                [&] {
                    return sending.state() == QProcess::NotRunning &&
                           dialog.Field(jobs::kControlFilesReceivedCount)->text() == "3";
                },
                120000))
                << sending.readAll().toStdString();
            callsAfter = dialog.Field(jobs::kControlCallsAnswered)->text();
            filesAfter = dialog.Field(jobs::kControlFilesReceivedCount)->text();
            EXPECT_TRUE(dialog.Field(jobs::kControlFreeSpace)->text().endsWith(" MB"));
            if (dialog.Tray()) {
                EXPECT_EQ(dialog.Tray()->LastTitle(), "Files received from Lighthouse");
                EXPECT_EQ(dialog.Tray()->LastBody(), "empty.dat, note.txt, photo one.bin");
                uitest::ScreenScreenshot("tray-notification");
                dialog.Tray()->ShowAction()->trigger();
            }
            uitest::Screenshot(&dialog, "receive-files");
            // "Done" ends the waiting once the worker has put the modem back.
            dialog.DoneButton()->click();
            scriptDone = true;
        });
    });
    QTimer::singleShot(0, &window, [&] { window.ReceiveButton()->click(); });
    ASSERT_TRUE(uitest::RunUntil([&] { return scriptDone && !window.Busy(); }, 180000));

    const std::string senderOutput = sending.readAll().toStdString();
    EXPECT_EQ(sending.exitCode(), 0) << senderOutput;
    EXPECT_EQ(callsAfter, "1");
    EXPECT_EQ(filesAfter, "3");
    EXPECT_TRUE(modalsSeen.contains("ui::FilesReceivedDialog")) << "the notice came and went";
    // Every file in the dated folder, byte for byte.
    for (const auto& [name, content] : files) {
        std::string found;
        for (const auto& entry : fs::recursive_directory_iterator(inbox))
            if (entry.path().filename() == name &&
                entry.path().parent_path().filename().string().rfind("Received ", 0) == 0)
                found = entry.path().string();
        ASSERT_FALSE(found.empty()) << name << " is not in a dated folder";
        EXPECT_EQ(testsupport::TempDir::ReadFile(found), content) << name;
    }
    EXPECT_FALSE(fs::exists(inbox + "/Partially Received Files"));
    const std::string receiverLog =
        testsupport::TempDir::ReadFile(temp / "data/Sendari/TRANSLOG.TXT");
    const std::string senderLog =
        testsupport::TempDir::ReadFile(sender + "/data/Sendari/TRANSLOG.TXT");
    EXPECT_EQ(CountLines(receiverLog, "\tSuccessful\t"), 3) << receiverLog;
    EXPECT_EQ(CountLines(receiverLog, "\tLighthouse\t"), 3) << receiverLog << senderOutput;
    EXPECT_EQ(CountLines(senderLog, "\tSuccessful\t"), 3) << senderLog;
    uitest::Screenshot(&window, "main-window-after-receiving");
    jobs::SetOutcomePresenter({});
    data::SetMessageHook({});
}

} // namespace
