// ShellOpen through xdg-open, started detached so the caller never waits for the file manager.
#include "platform/Shell.h"

#include <cerrno>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

std::mutex g_mutex;
ShellOpenHook g_hook;

bool SpawnXdgOpen(const std::string& path) {
    std::string program = "xdg-open";
    char* argv[] = {program.data(), const_cast<char*>(path.c_str()), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ) != 0)
        return false;
    // Reap it in the background: xdg-open may wait for the file manager in some desktops.
    std::thread([child] {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

} // namespace

bool ShellOpen(const std::string& path) {
    ShellOpenHook hook;
    {
        std::lock_guard guard(g_mutex);
        hook = g_hook;
    }
    return hook ? hook(path) : SpawnXdgOpen(path);
}

ShellOpenHook SetShellOpenHook(ShellOpenHook hook) {
    std::lock_guard guard(g_mutex);
    std::swap(g_hook, hook);
    return hook;
}

} // namespace platform
