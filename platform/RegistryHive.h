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

// What a registry text may hold. Deeper keys, longer names, larger values or texts are not
// read: they would only serve to exhaust memory or the stack.
inline constexpr std::size_t kMaxRegistryKeyDepth = 512;
inline constexpr std::size_t kMaxRegistryKeyNameLength = 255;
inline constexpr std::size_t kMaxRegistryValueNameLength = 16383;
inline constexpr std::size_t kMaxRegistryValueSize = std::size_t{1} << 20;
inline constexpr std::size_t kMaxRegistryTextSize = std::size_t{16} << 20;

// One value line: a value set, or ("name"=-) removed.
struct RegistryValueChange {
    RegistryValue value;
    bool remove{false};
};

// One "[ROOT\key\path]" line ("[-ROOT\...]" removes the key) and the value lines below it.
struct RegistrySection {
    std::string line; // the key line as written, for messages
    std::string root;
    std::vector<std::string> path; // the key's names below the root, empty pieces dropped
    bool remove{false};
    std::vector<RegistryValueChange> changes;
};

// A registry text as read, before it is merged into any tree.
struct RegistryDocument {
    std::vector<RegistrySection> sections;
    int damagedLines{0}; // lines that could not be understood (or went past a limit): skipped
    bool hasHeader{false};
    std::string overLimit; // the first limit the text went past, as a phrase; empty when none
};

// Reads REGEDIT4 or "Windows Registry Editor Version 5.00" text: UTF-8 with or without a
// byte-order mark, or UTF-16 (either byte order) with one. A last line that ends without a line
// end inside a number or a hex list was cut off and counts as damaged.
RegistryDocument ReadRegistryDocument(std::string_view bytes);

// Maps the root named in a "[HKEY_...\...]" line to its tree, or nullptr to skip that section.
using RegistryRootResolver = std::function<RegistryNode*(std::string_view rootName)>;

struct RegistryParseResult {
    int damagedLines{0}; // lines that could not be understood and were skipped
    bool hasHeader{false};
    std::string overLimit; // as in RegistryDocument
    bool Clean() const { return hasHeader && damagedLines == 0 && overLimit.empty(); }
};

// Merges a read document into the trees the resolver names.
RegistryParseResult ApplyRegistryDocument(const RegistryDocument& document,
                                          const RegistryRootResolver& resolve);

// Reads `text` and merges it: ApplyRegistryDocument(ReadRegistryDocument(text), resolve).
RegistryParseResult ParseRegistryText(std::string_view text, const RegistryRootResolver& resolve);

// Writes `root` (named `rootName`, e.g. "HKEY_CURRENT_USER") and every key below it.
std::string FormatRegistryText(const RegistryNode& root, std::string_view rootName);

} // namespace platform
