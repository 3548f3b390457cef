// Starting the modem control panel: our own modem installer command, on its "add" page.
#include "comm/ModemDiscovery.h"

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

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

// Beside the running program when installed, or in the tools folder of a build tree.
std::string FindControlPanel() {
    std::string dir = SelfDirectory();
    if (!dir.empty()) {
        for (const std::string& candidate :
             {dir + "/" + kControlPanelProgram, dir + "/../tools/" + kControlPanelProgram}) {
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
    }
    return kControlPanelProgram;
}

bool StartDetached(const std::string& program) {
    // Prepared before the fork: between fork and exec only async-signal-safe calls are made.
    std::string arg0 = program;
    std::string arg1 = kControlPanelAction;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    bool searchPath = program.find('/') == std::string::npos;

    // A grandchild that the init process adopts: the program does not wait for the panel and
    // leaves no zombie behind when the panel ends.
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        pid_t grandchild = fork();
        if (grandchild == 0) {
            if (searchPath)
                execvp(argv[0], argv);
            else
                execv(argv[0], argv);
            _exit(127);
        }
        _exit(grandchild < 0 ? 1 : 0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
    return StartDetached(FindControlPanel());
}

ControlPanelHook SetModemControlPanelHook(ControlPanelHook hook) {
    std::lock_guard lock(g_hookMutex);
    ControlPanelHook previous = std::move(g_hook);
    g_hook = std::move(hook);
    return previous;
}

} // namespace comm
