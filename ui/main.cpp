// Sendari's program entry: the desktop program, or its version with --version.
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
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

namespace {
constexpr int kApplicationTitle = 128;

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
            std::printf("usage: sendari [--version]\n"
                        "Starts the desktop program: send files to another computer, or wait "
                        "for calls and receive files.\n");
            return 0;
        }
    }
    ui::g_busy = 0;
    jobs::JobAbortFlag = jobs::kAbortNone;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sendari"));
    QApplication::setApplicationVersion(QStringLiteral(SENDARI_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("sendari"));
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
    // The file windows open in the user's documents folder.
    if (::chdir(platform::DocumentsFolder().c_str()) != 0) {
        // The current folder stays as it was.
    }
    // Files and folders named on the command line are sent once the window is up; a name that
    // cannot be added stops the adding. Switches begin with "-" ("/" begins a path here).
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty() || arg[0] == '-')
            continue;
        if (!data::AddPathToList(arg, files))
            break;
    }
    ui::MainWindow window;
    window.SetCommandLineFiles(std::move(files));
    window.show();
    return app.exec();
}
