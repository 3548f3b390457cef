// The stop for programming errors: a message to the user, then the process ends with code 1.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Shows a fatal message; the user interface installs one that opens a message box.
using FatalErrorHook = std::function<void(const std::string& title, const std::string& message)>;

// Installs the hook and returns the previous one; an empty hook prints to stderr.
FatalErrorHook SetFatalErrorHook(FatalErrorHook hook);

// Shows `message` under `title` through the hook (or on stderr) and exits with code 1.
[[noreturn]] void FatalError(const std::string& title, const std::string& message);

} // namespace platform
