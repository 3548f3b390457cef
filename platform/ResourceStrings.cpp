// Lookup over the sorted, compile-time string table.
#include "platform/ResourceStrings.h"

#include <algorithm>
#include <array>

namespace platform {
namespace {

struct Entry {
    int id;
    const char* text;
};

constexpr Entry kTable[] = {
#include "platform/ResourceStringTable.inc"
};

constexpr bool IsSorted() {
    for (std::size_t i = 1; i < std::size(kTable); ++i)
        if (kTable[i - 1].id >= kTable[i].id)
            return false;
    return true;
}
static_assert(IsSorted(), "the string table must be sorted by id without duplicates");

const Entry* Find(int id) {
    auto it = std::lower_bound(std::begin(kTable), std::end(kTable), id,
                               [](const Entry& e, int value) { return e.id < value; });
    if (it == std::end(kTable) || it->id != id)
        return nullptr;
    return it;
}

} // namespace

std::string_view LoadResourceString(int id) {
    const Entry* e = Find(id);
    return e ? std::string_view(e->text) : std::string_view();
}

bool HasResourceString(int id) {
    return Find(id) != nullptr;
}

std::string FormatMessage1(std::string_view text, std::string_view argument) {
    std::string result(text);
    auto pos = result.find("%1");
    if (pos != std::string::npos)
        result.replace(pos, 2, argument);
    return result;
}

std::string ResourceText(int id) {
    return std::string(LoadResourceString(id));
}

std::string CutToBytes(std::string text, std::size_t maxBytes) {
    if (text.size() <= maxBytes)
        return text;
    std::size_t end = maxBytes;
    // Step back over continuation bytes so the cut falls before a character's first byte.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

} // namespace platform
