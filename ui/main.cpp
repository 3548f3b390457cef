// Sendari's program entry: the desktop program, or its version with --version.
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

#include <cstdio>
#include <cstring>
#include <string>

#include "data/FileUtilities.h"
#include "jobs/JobContext.h"
#include "platform/Paths.h"
#include "platform/ResourceStrings.h"
#include "platform/Shell.h"
#include "comm/ModemDiscovery.h"
#include "ui/MainWindow.h"
#include "ui/ModemsDialog.h"
#include "ui/MessageWindows.h"
#include "ui/SingleInstance.h"

namespace {
constexpr int kApplicationTitle = 128;
constexpr int kMsgBusy = 50240;

void PrintVersion() {
    std::printf("%s %s\n", std::string(platform::LoadResourceString(kApplicationTitle)).c_str(),
                SENDARI_VERSION);
}
} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--version")) {
            PrintVersion();
            return 0;
        }
        if (!std::strcmp(argv[i], "--help")) {
            std::printf(
                "Usage: sendari [FILE|FOLDER...]\n"
                "  or:  sendari --help | --version\n"
                "Starts the desktop program: send files to another computer over the telephone\n"
                "line, or wait for calls and receive files. Files and folders named are sent\n"
                "once the window is up, straight to the choice of destination. When Sendari\n"
                "already runs for this user and configuration folder, a later start hands its\n"
                "files to that copy and ends.\n"
                "Exit status: 0, or 1 when the running copy was busy sending or receiving and\n"
                "did not take the files.\n");
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sendari"));
    QApplication::setApplicationVersion(QStringLiteral(SENDARI_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("sendari"));

    // Files and folders named on the command line, made absolute here, in the folder this
    // start was given. Switches begin with "-" ("/" begins a path here).
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (!arg.isEmpty() && !arg.startsWith(QLatin1Char('-')))
            paths.push_back(QFileInfo(arg).absoluteFilePath().toStdString());
    }

    // A copy already runs: it takes the files (or just comes to the front) and this start ends.
    ui::StartUpLock startUpLock;
    switch (ui::HandOverToRunningCopy(paths)) {
    case ui::HandOverResult::kAccepted:
        return 0;
    case ui::HandOverResult::kBusy: {
        const QString text = ui::Text(kMsgBusy);
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        QMessageBox box(QMessageBox::NoIcon, ui::Text(kApplicationTitle), text, QMessageBox::Ok);
        box.exec();
        return 1;
    }
    case ui::HandOverResult::kNoRunningCopy:
        break;
    }

    ui::InstallMessageHooks();
    platform::SetShellOpenHook([](const std::string& path) {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
    });
    // The modem window stands in for the system's modem control panel.
    comm::SetModemControlPanelHook([] {
        ui::ModemsDialog modems(QApplication::activeWindow());
        modems.exec();
        return true;
    });

    ui::MainWindow window;
    ui::InstanceServer instance(
        [&window] { return window.Busy(); },
        [&window](std::vector<std::string> handed) { window.HandOver(std::move(handed)); });
    if (!instance.Listen()) {
        // Without the socket this copy runs alone; later starts open copies of their own.
    }
    startUpLock.Release();

    // A name that cannot be added stops the adding.
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        if (!data::AddPathToList(path, files))
            break;
    }
    // The file windows open in the user's documents folder.
    if (::chdir(platform::DocumentsFolder().c_str()) != 0) {
        // The current folder stays as it was.
    }
    window.SetCommandLineFiles(std::move(files));
    window.show();
    return app.exec();
}
