// One registry tree in memory and its REGEDIT4 text form: the reader tolerates damaged input
// and the writer produces text that the reader (and a person) reads back unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Key and value names compare without regard to (ASCII) case, as the original registry does.
bool RegistryNamesEqual(std::string_view a, std::string_view b);

struct RegistryValue {
    std::string name; // "" is the key's default value, written as @
    std::uint32_t type{0};
    std::vector<std::uint8_t> data;
};

struct RegistryNode {
    std::string name;
    std::vector<RegistryValue> values;
    std::vector<std::unique_ptr<RegistryNode>> subkeys;

    RegistryNode* FindSubkey(std::string_view key);
    RegistryNode& AddSubkey(std::string_view key); // returns the existing one when present
    bool RemoveSubkey(std::string_view key);
    RegistryValue* FindValue(std::string_view value);
    void SetValue(std::string_view value, std::uint32_t type, std::vector<std::uint8_t> data);
    bool RemoveValue(std::string_view value);

    // Follows `path` (names between backslashes; empty pieces are skipped).
    RegistryNode* Find(std::string_view path);
    RegistryNode& Create(std::string_view path);
};

// Splits a key path at backslashes, dropping empty pieces.
std::vector<std::string_view> SplitRegistryPath(std::string_view path);

// Maps the root named in a "[HKEY_...\...]" line to its tree, or nullptr to skip that section.
using RegistryRootResolver = std::function<RegistryNode*(std::string_view rootName)>;

struct RegistryParseResult {
    int damagedLines{0}; // lines that could not be understood and were skipped
    bool hasHeader{false};
    bool Clean() const { return hasHeader && damagedLines == 0; }
};

// Reads REGEDIT4 text into the trees the resolver names, merging with what they hold.
RegistryParseResult ParseRegistryText(std::string_view text, const RegistryRootResolver& resolve);

// Writes `root` (named `rootName`, e.g. "HKEY_CURRENT_USER") and every key below it.
std::string FormatRegistryText(const RegistryNode& root, std::string_view rootName);

} // namespace platform
