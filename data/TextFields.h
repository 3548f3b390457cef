// Reading the program's tab-separated text files (phone book, transfer log) and comparing
// their texts the way the list sorts do.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace data {

// Splits file text into lines: CR LF and LF both end a line, and a line longer than
// `maxPiece` characters is returned in pieces of `maxPiece` (0: no limit). A final line
// without a line end still counts.
std::vector<std::string> SplitTextLines(std::string_view text, std::size_t maxPiece);

// The pieces of a line between tabs; a run of tabs is one separator and leading or trailing
// tabs give no empty piece.
std::vector<std::string> SplitAtTabRuns(std::string_view line);

// Compares two texts without regard to case (both upper-cased, then compared byte-wise);
// -1, 0 or 1.
int CompareTextsNoCase(std::string_view a, std::string_view b);

// Line end of the program's own text files.
inline constexpr std::string_view kLineEnd = "\r\n";

} // namespace data
