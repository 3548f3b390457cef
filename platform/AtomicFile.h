// Whole-file replacement that a crash or a full disk can never leave half written.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Writes `content` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`. Returns 0, or the errno of the step that failed (the old file is then untouched).
int WriteFileAtomically(const std::string& path, std::string_view content);

// Reads the whole file; false (and `content` empty) when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& content);

} // namespace platform
