// One running copy: later starts of the real program hand their files to it, a busy copy
// refuses them, and a socket left by a crash or a stranger's bytes do not get in the way.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLocalSocket>

#include <cstring>
#include <QProcess>

#include "comm/ModemDiscovery.h"
#include "comm/ModemInstaller.h"
#include "data/AppSettings.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/DestinationDialogs.h"
#include "ui/MainWindow.h"
#include "ui/SingleInstance.h"

namespace {

constexpr const char* kBusyText = "Sendari is busy either sending or receiving files";

// A later start of the program in `folder`; runs the event loop until it ends.
struct LaterStart {
    LaterStart(const std::string& folder, const QStringList& arguments) {
        process.setWorkingDirectory(QString::fromStdString(folder));
        process.start(QStringLiteral(SENDARI_DESKTOP_PATH), arguments);
    }
    ~LaterStart() {
        process.kill();
        process.waitForFinished();
    }
    bool Ended() {
        return uitest::RunUntil([&] { return process.state() == QProcess::NotRunning; }, 20000);
    }
    QProcess process;
};

// Leaves a socket at `path` that nothing listens on, as a copy that crashed leaves it.
void LeaveDeadSocket(const QString& path) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = path.toLocal8Bit();
    std::memcpy(address.sun_path, bytes.constData(), bytes.size());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(s);
}

struct SingleInstanceTest : testing::Test {
    SingleInstanceTest() {
        platform::ReloadRegistry();
        const auto definition = comm::FindModemDefinition("virtual");
        EXPECT_TRUE(definition);
        const std::string listen = "127.0.0.1:" + std::to_string(uitest::FreePort());
        EXPECT_TRUE(comm::InstallModem(definition->text, "COM4",
                                       comm::VirtualModemMapValue(listen, "unlimited"))
                        .ok);
        platform::ReloadRegistry();
        data::AppSettings settings;
        data::LoadSettings(settings);
        settings.modemSelection = comm::ListInstalledModems().at(0).name;
        data::SaveSettings(settings);
        first = temp.WriteFile("outbox/report one.txt", "one");
        second = temp.WriteFile("outbox/notes.txt", "two");
    }
    ~SingleInstanceTest() override { platform::ReloadRegistry(); }

    testsupport::TempDir temp;
    std::string first, second;
};

TEST_F(SingleInstanceTest, LaterStartsHandTheirFilesToTheRunningCopyOrAreRefusedWhileItIsBusy) {
    std::vector<std::string> handed;
    int destinations = 0;
    bool busyTried = false;
    // Busy with the send the hand-over started: a later start's files are refused and it says
    // why; one without files ends quietly. The send is then cancelled.
    auto whileBusy = [&](ui::SelectDestinationDialog* destination, ui::MainWindow* window) {
        handed = window->SendList();
        EXPECT_TRUE(window->Busy());
        {
            LaterStart later(temp.Path().string(), {QString::fromStdString(second)});
            QByteArray said;
            EXPECT_TRUE(uitest::RunUntil([&] {
                said += later.process.readAllStandardError();
                return said.contains(kBusyText);
            })) << said.toStdString();
        }
        {
            LaterStart later(temp.Path().string(), {});
            EXPECT_TRUE(later.Ended());
            EXPECT_EQ(later.process.exitCode(), 0);
            EXPECT_FALSE(later.process.readAllStandardError().contains(kBusyText));
        }
        EXPECT_EQ(window->SendList(), handed) << "the running send was left alone";
        busyTried = true;
        destination->reject();
    };
    ui::MainWindow window;
    uitest::ModalWatcher watcher([&](QWidget* modal) {
        auto* destination = qobject_cast<ui::SelectDestinationDialog*>(modal);
        if (!destination) {
            ADD_FAILURE() << "unexpected " << modal->metaObject()->className();
            return;
        }
        ++destinations;
        QTimer::singleShot(0, destination, [&, destination] { whileBusy(destination, &window); });
    });
    window.show();
    ASSERT_TRUE(uitest::RunUntil([&] { return window.StartedUp(); }));
    LeaveDeadSocket(ui::InstanceSocketPath());
    ui::InstanceServer server(
        [&window] { return window.Busy(); },
        [&](std::vector<std::string> paths) { window.HandOver(std::move(paths)); });
    ASSERT_TRUE(server.Listen()) << "a socket left by a crash is taken over";

    // A stranger's bytes are dropped without an answer.
    QLocalSocket stranger;
    stranger.connectToServer(ui::InstanceSocketPath());
    ASSERT_TRUE(stranger.waitForConnected(2000));
    stranger.write("GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(uitest::RunUntil([&] { return stranger.state() != QLocalSocket::ConnectedState; }));
    EXPECT_EQ(stranger.bytesAvailable(), 0);

    {
        // Idle, no files: the later start just ends.
        LaterStart later(temp / "outbox", {});
        ASSERT_TRUE(later.Ended());
        EXPECT_EQ(later.process.exitCode(), 0);
        EXPECT_EQ(destinations, 0);
    }
    // Idle, files named relative to the later start's own folder, one of them with blanks, a
    // switch and a name that is gone: the two files go straight to the destination.
    LaterStart later(temp / "outbox", {"report one.txt", "-p", "gone.txt", "notes.txt"});
    ASSERT_TRUE(uitest::RunUntil([&] { return busyTried && !window.Busy(); }, 60000));
    EXPECT_EQ(later.process.exitCode(), 0);
    EXPECT_EQ(handed, (std::vector<std::string>{first, second}));
    EXPECT_EQ(destinations, 1);
}

TEST_F(SingleInstanceTest, TheProgramListensForLaterStartsAndTheyNeverOpenASecondWindow) {
    data::AppSettings settings;
    data::LoadSettings(settings);
    settings.modemSelection = "No Such Modem"; // the first copy waits in a message about it
    data::SaveSettings(settings);
    LaterStart running(temp.Path().string(), {});
    ASSERT_TRUE(uitest::RunUntil([&] {
        QLocalSocket probe;
        probe.connectToServer(ui::InstanceSocketPath());
        return probe.waitForConnected(100);
    }));
    for (const QStringList& arguments : {QStringList{}, QStringList{"outbox/notes.txt"}}) {
        LaterStart later(temp.Path().string(), arguments);
        ASSERT_TRUE(later.Ended());
        EXPECT_EQ(later.process.exitCode(), 0);
    }
    EXPECT_EQ(running.process.state(), QProcess::Running);
}

// Without a runtime folder of the user's, the socket would sit in the shared temporary folder,
// where another user can take its name first and be handed every later start's files. Such a
// stranger gets no connection, and the later start becomes the running copy itself.
TEST_F(SingleInstanceTest, AnotherUserCannotTakeTheSocketFirst) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    data::AppSettings settings;
    data::LoadSettings(settings);
    settings.modemSelection = "No Such Modem"; // the copy that starts waits in a message
    data::SaveSettings(settings);
    const std::string shared = (temp / "shared");
    ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(temp.Path().c_str(), 0755), 0);
    setenv("TMPDIR", shared.c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    const QByteArray path = ui::InstanceSocketPath().toLocal8Bit();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t stranger = fork();
    if (stranger == 0) {
        // Binds the name if it can and waits for a later start to connect.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            _exit(3);
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), path.size());
        const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                           ::listen(s, 4) == 0;
        (void)!::write(ready[1], "r", 1);
        pollfd wait{s, POLLIN, 0};
        _exit(bound && ::poll(&wait, 1, 30000) == 1 ? 1 : 0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    LaterStart later(temp.Path().string(), {QString::fromStdString(first)});
    const bool listening = uitest::RunUntil([&] {
        QLocalSocket probe;
        probe.connectToServer(QString::fromLocal8Bit(path));
        return platform::IsOwnSocket(path.toStdString()) && probe.waitForConnected(100);
    });
    int status = 0;
    const pid_t ended = ::waitpid(stranger, &status, WNOHANG);
    ::kill(stranger, SIGKILL);
    ::waitpid(stranger, nullptr, 0);
    unsetenv("TMPDIR");
    EXPECT_FALSE(ended == stranger && WIFEXITED(status) && WEXITSTATUS(status) == 1)
        << "the stranger was handed the files";
    EXPECT_TRUE(listening) << "the later start runs as the running copy";
    EXPECT_EQ(later.process.state(), QProcess::Running);
}

} // namespace
