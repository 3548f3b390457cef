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

int ListFileEngine::NextName() {
    SearchState& s = *m_search;
    std::string entry;
    if (m_singleLookup) {
        // The receiver asks whether a file of the offered name is here: the whole text is
        // that name, looked up as it will be stored.
        entry = CleanNamePart(m_list.substr(s.parsePosition));
        s.parsePosition = m_list.size();
    } else {
        while (s.parsePosition < m_list.size() && m_list[s.parsePosition] == kEntrySeparator)
            ++s.parsePosition;
        std::size_t start = s.parsePosition;
        while (s.parsePosition < m_list.size() && m_list[s.parsePosition] != kEntrySeparator)
            ++s.parsePosition;
        entry = m_list.substr(start, s.parsePosition - start);
    }
    std::size_t split = entry.rfind(kFolderSeparator);
    s.prefix = split == std::string::npos ? "" : entry.substr(0, split + 1);
    s.pattern = split == std::string::npos ? entry : entry.substr(split + 1);
    if (m_singleLookup) {
        m_currentPath = s.prefix + s.pattern;
        return 0;
    }
    return static_cast<int>(s.pattern.size()) + 1;
}

} // namespace protocol
