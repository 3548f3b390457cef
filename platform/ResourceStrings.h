// The program's numbered string table: every text the user sees is looked up here by number.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The text of string `id`, or an empty view when the table has no such string.
std::string_view LoadResourceString(int id);

// The same text as a string of its own.
std::string ResourceText(int id);

// Whether the table holds string `id` (some strings are deliberately empty).
bool HasResourceString(int id);

// Replaces the first "%1" of `text` with `argument`, as messages with one insert expect.
std::string FormatMessage1(std::string_view text, std::string_view argument);

// `text` cut to at most `maxBytes` bytes, never inside a UTF-8 character.
std::string CutToBytes(std::string text, std::size_t maxBytes);

} // namespace platform
