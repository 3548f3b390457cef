// The application's file engine: "|"-separated lists and cleaned received names.
#include "protocol/ListFileEngine.h"

#include <cstring>

namespace protocol {

namespace {
constexpr char kEntrySeparator = '|';
constexpr char kFolderSeparator = '/';
constexpr const char* kUnfitCharacters = "/*?<>|";

bool WritesFile(const char* mode) {
    return mode && (std::strchr(mode, 'w') || std::strchr(mode, 'a') || std::strchr(mode, '+'));
}

// The path with only its last component cleaned: the folder part is the caller's own.
std::string CleanNamePart(const std::string& path) {
    std::size_t split = path.rfind(kFolderSeparator);
    if (split == std::string::npos)
        return CleanFileName(path);
    return path.substr(0, split + 1) + CleanFileName(path.substr(split + 1));
}
} // namespace

std::string CleanFileName(const std::string& name) {
    std::string clean = name;
    for (char& c : clean) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::strchr(kUnfitCharacters, c))
            c = '_';
    }
    if (clean.empty() || clean == "." || clean == "..")
        clean = "_";
    return clean;
}

ListFileEngine::ListFileEngine() = default;
ListFileEngine::~ListFileEngine() = default;

int ListFileEngine::Open(std::string& name, const char* mode) {
    if (WritesFile(mode))
        name = CleanNamePart(name);
    return LocalFileEngine::Open(name, mode);
}

std::string ListFileEngine::StoredName(const std::string& name) const {
    return CleanNamePart(name);
}

bool ListFileEngine::IsEntrySeparator(char c) const {
    return c == kEntrySeparator;
}

int ListFileEngine::NextName() {
    if (!m_singleLookup)
        return LocalFileEngine::NextName();
    // The receiver asks whether a file of the offered name is here: the whole text is that
    // name, looked up as it will be stored.
    SearchState& s = *m_search;
    const std::string entry = CleanNamePart(m_list.substr(s.parsePosition));
    s.parsePosition = m_list.size();
    return UseEntry(entry);
}

} // namespace protocol
