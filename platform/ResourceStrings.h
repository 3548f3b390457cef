// The program's numbered string table: every text the user sees is looked up here by number.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The text of string `id`, or an empty view when the table has no such string.
std::string_view LoadResourceString(int id);

// Whether the table holds string `id` (some strings are deliberately empty).
bool HasResourceString(int id);

// Replaces the first "%1" of `text` with `argument`, as messages with one insert expect.
std::string FormatMessage1(std::string_view text, std::string_view argument);

} // namespace platform
