// Starting the modem control panel: our own modem installer command, on its "add" page.
#include "comm/ModemDiscovery.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace comm {
namespace {

constexpr const char* kControlPanelProgram = "sendari-modems";
constexpr const char* kControlPanelAction = "add";

std::mutex g_hookMutex;
ControlPanelHook g_hook;

std::string SelfDirectory() {
    std::vector<char> path(4096);
    ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0)
        return {};
    std::string self(path.data(), static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/'));
}

bool IsExecutable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

// Beside the running program when installed, in the tools folder of a build tree, else on the
// search path; empty when it is nowhere, so that a missing panel is reported, not assumed.
std::string FindControlPanel() {
    std::string dir = SelfDirectory();
    if (!dir.empty()) {
        for (const std::string& candidate :
             {dir + "/" + kControlPanelProgram, dir + "/../tools/" + kControlPanelProgram}) {
            if (IsExecutable(candidate))
                return candidate;
        }
    }
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string folder = folders.substr(start, end - start);
        std::string candidate = folder + "/" + kControlPanelProgram;
        if (!folder.empty() && IsExecutable(candidate))
            return candidate;
        start = end + 1;
    }
    return {};
}

bool StartDetached(const std::string& program) {
    // Prepared before the fork: between fork and exec only async-signal-safe calls are made.
    std::string arg0 = program;
    std::string arg1 = kControlPanelAction;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};

    // The grandchild reports a failed exec through this pipe; a successful exec closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return false;

    // A grandchild that the init process adopts: the program does not wait for the panel and
    // leaves no zombie behind when the panel ends.
    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (child == 0) {
        close(report[0]);
        pid_t grandchild = fork();
        if (grandchild == 0) {
            execv(argv[0], argv);
            int error = errno;
            (void)!write(report[1], &error, sizeof error);
            _exit(127);
        }
        _exit(grandchild < 0 ? 1 : 0);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int execError = 0;
    ssize_t got;
    while ((got = read(report[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
}

} // namespace

bool RunModemControlPanel() {
    ControlPanelHook hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook)
        return hook();
    std::string program = FindControlPanel();
    return !program.empty() && StartDetached(program);
}

ControlPanelHook SetModemControlPanelHook(ControlPanelHook hook) {
    std::lock_guard lock(g_hookMutex);
    ControlPanelHook previous = std::move(g_hook);
    g_hook = std::move(hook);
    return previous;
}

} // namespace comm
