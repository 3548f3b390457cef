// Fatal-error reporting with a replaceable presentation hook.
#include "platform/FatalError.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

std::mutex g_hookMutex;
FatalErrorHook g_hook;

} // namespace

FatalErrorHook SetFatalErrorHook(FatalErrorHook hook) {
    std::lock_guard lock(g_hookMutex);
    std::swap(g_hook, hook);
    return hook;
}

void FatalError(const std::string& title, const std::string& message) {
    FatalErrorHook hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook)
        hook(title, message);
    else
        std::fprintf(stderr, "%s: %s\n", title.c_str(), message.c_str());
    std::fflush(stderr);
    std::exit(1);
}

} // namespace platform
