// Line and field splitting shared by the phone book and the transfer log.
#include "data/TextFields.h"

#include <algorithm>

namespace data {

std::vector<std::string> SplitTextLines(std::string_view text, std::size_t maxPiece) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!line.empty() && line.back() == '\r' && nl != std::string_view::npos)
            line.remove_suffix(1);
        if (maxPiece == 0 || line.size() <= maxPiece) {
            lines.emplace_back(line);
            continue;
        }
        // A fixed-size line buffer hands a long line over in pieces; the last piece of an
        // exact multiple is the empty rest before the line end.
        while (line.size() >= maxPiece) {
            lines.emplace_back(line.substr(0, maxPiece));
            line.remove_prefix(maxPiece);
        }
        if (!line.empty() || nl != std::string_view::npos)
            lines.emplace_back(line);
    }
    return lines;
}

std::vector<std::string> SplitAtTabRuns(std::string_view line) {
    std::vector<std::string> pieces;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == '\t')
            ++i;
        if (i == line.size())
            break;
        std::size_t end = line.find('\t', i);
        if (end == std::string_view::npos)
            end = line.size();
        pieces.emplace_back(line.substr(i, end - i));
        i = end;
    }
    return pieces;
}

int CompareTextsNoCase(std::string_view a, std::string_view b) {
    auto upper = [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; };
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        int x = upper(static_cast<unsigned char>(a[i]));
        int y = upper(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

} // namespace data
