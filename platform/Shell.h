// Asking the desktop to show a folder or file, as the shell's "open" verb did.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Opens `path` with the desktop's handler (a folder in the file manager). Returns false when
// the handler could not be started; the handler reports its own failures.
bool ShellOpen(const std::string& path);

// Replaces what ShellOpen does (tests record the paths; the Qt front end may use its desktop
// services). Returns the previous hook; an empty hook restores the default, `xdg-open`.
using ShellOpenHook = std::function<bool(const std::string& path)>;
ShellOpenHook SetShellOpenHook(ShellOpenHook hook);

} // namespace platform
