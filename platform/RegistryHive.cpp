// REGEDIT4 reading and writing for the registry hives and for imported .reg files.
#include "platform/RegistryHive.h"

#include <algorithm>
#include <cstdio>

namespace platform {
namespace {

constexpr std::uint32_t kTypeSz = 1;
constexpr std::uint32_t kTypeBinary = 3;
constexpr std::uint32_t kTypeDword = 4;
constexpr std::size_t kHexLineWidth = 76;

char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = FoldCase(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads a quoted text starting at s[0] == '"', with \\ and \" escapes. On success `s` is left
// after the closing quote.
bool ReadQuoted(std::string_view& s, std::string& out) {
    if (s.empty() || s.front() != '"')
        return false;
    std::size_t i = 1;
    out.clear();
    while (i < s.size()) {
        char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\' && i + 1 < s.size()) {
            out.push_back(s[i + 1]);
            i += 2;
            continue;
        }
        out.push_back(c);
        ++i;
    }
    return false;
}

bool ReadHexNumber(std::string_view s, std::uint32_t& out, std::size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits)
        return false;
    std::uint32_t v = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    out = v;
    return true;
}

// "01,02, ff" -> bytes; spaces around bytes are allowed, an empty list is an empty value.
bool ReadHexBytes(std::string_view s, std::vector<std::uint8_t>& out) {
    out.clear();
    s = Trim(s);
    if (s.empty())
        return true;
    while (true) {
        std::size_t comma = s.find(',');
        std::string_view piece = Trim(s.substr(0, comma));
        std::uint32_t byte = 0;
        if (!ReadHexNumber(piece, byte, 2))
            return false;
        out.push_back(static_cast<std::uint8_t>(byte));
        if (comma == std::string_view::npos)
            return true;
        s.remove_prefix(comma + 1);
    }
}

// SetText: a quoted text, which shows where it ends; SetData: a number or a hex list, which a
// cut could shorten unseen.
enum class ValueParse { SetText, SetData, Delete, Bad };

// Parses one value line: ("name" | @) = data.
ValueParse ParseValueLine(std::string_view line, RegistryValue& value) {
    if (line.front() == '@') {
        value.name.clear();
        line.remove_prefix(1);
    } else if (!ReadQuoted(line, value.name)) {
        return ValueParse::Bad;
    }
    line = TrimLeft(line);
    if (line.empty() || line.front() != '=')
        return ValueParse::Bad;
    line = Trim(line.substr(1));
    if (line == "-")
        return ValueParse::Delete;
    if (!line.empty() && line.front() == '"') {
        std::string text;
        if (!ReadQuoted(line, text) || !Trim(line).empty())
            return ValueParse::Bad;
        value.type = kTypeSz;
        value.data.assign(text.begin(), text.end());
        value.data.push_back(0);
        return ValueParse::SetText;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return ValueParse::Bad;
    std::string prefix;
    for (char c : Trim(line.substr(0, colon)))
        prefix.push_back(FoldCase(c));
    std::string_view data = line.substr(colon + 1);
    if (prefix == "dword") {
        std::uint32_t number = 0;
        if (!ReadHexNumber(Trim(data), number, 8))
            return ValueParse::Bad;
        value.type = kTypeDword;
        value.data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                      static_cast<std::uint8_t>(number >> 16),
                      static_cast<std::uint8_t>(number >> 24)};
        return ValueParse::SetData;
    }
    if (prefix == "hex") {
        value.type = kTypeBinary;
    } else if (prefix.size() > 5 && prefix.compare(0, 4, "hex(") == 0 && prefix.back() == ')') {
        if (!ReadHexNumber(std::string_view(prefix).substr(4, prefix.size() - 5), value.type, 8))
            return ValueParse::Bad;
    } else {
        return ValueParse::Bad;
    }
    return ReadHexBytes(data, value.data) ? ValueParse::SetData : ValueParse::Bad;
}

struct LogicalText {
    std::vector<std::string> lines;
    bool lastCut{false}; // the last line ends without a line end
};

// Splits the text into logical lines: CR LF or LF ends, and a hex list continued by a trailing
// backslash joined with the following line.
LogicalText LogicalLines(std::string_view text) {
    LogicalText result;
    std::vector<std::string>& lines = result.lines;
    std::string pending;
    bool continuing = false;
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        std::string_view line = Trim(raw);
        result.lastCut = nl == std::string_view::npos && !line.empty();
        if (!continuing)
            pending.clear();
        bool continues = !line.empty() && line.back() == '\\' &&
                         (continuing || (line.front() != '[' && line.find('=') != line.npos));
        if (continues)
            line.remove_suffix(1);
        pending.append(line);
        continuing = continues;
        if (!continuing)
            lines.push_back(pending);
    }
    if (continuing) {
        lines.push_back(pending);
        result.lastCut = true;
    }
    return result;
}

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// UTF-16 code units (after the byte-order mark) as UTF-8; a lone surrogate or an odd last byte
// becomes U+FFFD, so the line holding it reads as damaged rather than as something else.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    constexpr std::uint32_t kReplacement = 0xFFFD;
    auto unit = [&](std::size_t i) -> std::uint32_t {
        const auto a = static_cast<std::uint8_t>(bytes[i]);
        const auto b = static_cast<std::uint8_t>(bytes[i + 1]);
        return bigEndian ? (a << 8) | b : (b << 8) | a;
    };
    std::string out;
    out.reserve(bytes.size() / 2);
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        std::uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            const std::uint32_t low = unit(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, c >= 0xD800 && c < 0xE000 ? kReplacement : c);
    }
    if (i < bytes.size())
        AppendUtf8(out, kReplacement);
    return out;
}

// The text behind any byte-order mark, as UTF-8 (converted into `storage` when it was UTF-16).
std::string_view DecodeText(std::string_view bytes, std::string& storage) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        return bytes.substr(3);
    if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
        storage = Utf16ToUtf8(bytes.substr(2), bytes[0] == '\xFE');
        return storage;
    }
    return bytes;
}

// Why a key path may not be read, or nullptr.
const char* KeyPathOverLimit(const std::vector<std::string_view>& pieces) {
    if (pieces.size() > kMaxRegistryKeyDepth)
        return "a key is nested deeper than 512 levels";
    for (std::string_view piece : pieces)
        if (piece.size() > kMaxRegistryKeyNameLength)
            return "a key name is longer than 255 characters";
    return nullptr;
}

const char* ValueOverLimit(const RegistryValue& value) {
    if (value.name.size() > kMaxRegistryValueNameLength)
        return "a value name is longer than 16383 characters";
    if (value.data.size() > kMaxRegistryValueSize)
        return "a value is larger than 1 MiB";
    return nullptr;
}

// Reads one "[...]" line into `section`; false when it is damaged or past a limit.
bool ReadKeyLine(std::string_view line, RegistrySection& section, RegistryDocument& document) {
    std::size_t close = line.rfind(']');
    if (close == std::string_view::npos || close < 2)
        return false;
    std::string_view path = line.substr(1, close - 1);
    section.remove = path.front() == '-';
    if (section.remove)
        path.remove_prefix(1);
    std::size_t slash = path.find('\\');
    section.root = std::string(path.substr(0, slash));
    std::vector<std::string_view> pieces;
    if (slash != std::string_view::npos)
        pieces = SplitRegistryPath(path.substr(slash + 1));
    if (const char* over = KeyPathOverLimit(pieces)) {
        if (document.overLimit.empty())
            document.overLimit = over;
        return false;
    }
    section.line = std::string(line.substr(0, 300));
    section.path.assign(pieces.begin(), pieces.end());
    return true;
}

// Reads one value line into the open section; false when it is damaged or past a limit.
bool ReadValueLine(std::string_view line, bool cut, RegistrySection& section,
                   RegistryDocument& document) {
    RegistryValueChange change;
    const ValueParse parsed = ParseValueLine(line, change.value);
    if (parsed == ValueParse::Bad || (cut && parsed == ValueParse::SetData))
        return false;
    if (const char* over = ValueOverLimit(change.value)) {
        if (document.overLimit.empty())
            document.overLimit = over;
        return false;
    }
    change.remove = parsed == ValueParse::Delete;
    section.changes.push_back(std::move(change));
    return true;
}

void AppendQuoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// A REG_SZ prints as a quoted text only when it reads back identically: one terminating NUL,
// no NUL, CR or LF inside.
bool PrintsAsText(const RegistryValue& value) {
    if (value.type != kTypeSz || value.data.empty() || value.data.back() != 0)
        return false;
    return std::none_of(value.data.begin(), value.data.end() - 1,
                        [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

void AppendValue(std::string& out, const RegistryValue& value) {
    std::size_t lineStart = out.size();
    if (value.name.empty())
        out.push_back('@');
    else
        AppendQuoted(out, value.name);
    out.push_back('=');
    char buffer[32];
    if (PrintsAsText(value)) {
        AppendQuoted(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                           value.data.size() - 1));
    } else if (value.type == kTypeDword && value.data.size() == 4) {
        std::uint32_t n = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                          (static_cast<std::uint32_t>(value.data[3]) << 24);
        std::snprintf(buffer, sizeof buffer, "dword:%08x", n);
        out.append(buffer);
    } else {
        if (value.type == kTypeBinary) {
            out.append("hex:");
        } else {
            std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
            out.append(buffer);
        }
        for (std::size_t i = 0; i < value.data.size(); ++i) {
            std::snprintf(buffer, sizeof buffer, "%02x", value.data[i]);
            out.append(buffer);
            if (i + 1 < value.data.size()) {
                out.push_back(',');
                if (out.size() - lineStart >= kHexLineWidth) {
                    out.append("\\\n  ");
                    lineStart = out.size();
                }
            }
        }
    }
    out.push_back('\n');
}

void AppendKey(std::string& out, const RegistryNode& node, const std::string& path) {
    out.append("[").append(path).append("]\n");
    for (const RegistryValue& value : node.values)
        AppendValue(out, value);
    out.push_back('\n');
    for (const auto& child : node.subkeys)
        AppendKey(out, *child, path + "\\" + child->name);
}

} // namespace

bool RegistryNamesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldCase(x) == FoldCase(y);
           });
}

RegistryNode* RegistryNode::FindSubkey(std::string_view key) {
    for (auto& child : subkeys)
        if (RegistryNamesEqual(child->name, key))
            return child.get();
    return nullptr;
}

RegistryNode& RegistryNode::AddSubkey(std::string_view key) {
    if (RegistryNode* existing = FindSubkey(key))
        return *existing;
    subkeys.push_back(std::make_unique<RegistryNode>());
    subkeys.back()->name = std::string(key);
    return *subkeys.back();
}

bool RegistryNode::RemoveSubkey(std::string_view key) {
    auto it = std::find_if(subkeys.begin(), subkeys.end(),
                           [&](const auto& child) { return RegistryNamesEqual(child->name, key); });
    if (it == subkeys.end())
        return false;
    subkeys.erase(it);
    return true;
}

RegistryValue* RegistryNode::FindValue(std::string_view value) {
    for (RegistryValue& v : values)
        if (RegistryNamesEqual(v.name, value))
            return &v;
    return nullptr;
}

void RegistryNode::SetValue(std::string_view value, std::uint32_t type,
                            std::vector<std::uint8_t> data) {
    RegistryValue* v = FindValue(value);
    if (!v) {
        values.push_back({std::string(value), type, {}});
        v = &values.back();
    }
    v->type = type;
    v->data = std::move(data);
}

bool RegistryNode::RemoveValue(std::string_view value) {
    auto it = std::find_if(values.begin(), values.end(), [&](const RegistryValue& v) {
        return RegistryNamesEqual(v.name, value);
    });
    if (it == values.end())
        return false;
    values.erase(it);
    return true;
}

std::vector<std::string_view> SplitRegistryPath(std::string_view path) {
    std::vector<std::string_view> pieces;
    while (!path.empty()) {
        std::size_t slash = path.find('\\');
        std::string_view piece = path.substr(0, slash);
        if (!piece.empty())
            pieces.push_back(piece);
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return pieces;
}

RegistryNode* RegistryNode::Find(std::string_view path) {
    RegistryNode* node = this;
    for (std::string_view piece : SplitRegistryPath(path)) {
        node = node->FindSubkey(piece);
        if (!node)
            return nullptr;
    }
    return node;
}

RegistryNode& RegistryNode::Create(std::string_view path) {
    RegistryNode* node = this;
    for (std::string_view piece : SplitRegistryPath(path))
        node = &node->AddSubkey(piece);
    return *node;
}

RegistryDocument ReadRegistryDocument(std::string_view bytes) {
    RegistryDocument document;
    if (bytes.size() > kMaxRegistryTextSize) {
        document.overLimit = "the text is larger than 16 MiB";
        return document;
    }
    std::string storage;
    const LogicalText text = LogicalLines(DecodeText(bytes, storage));
    bool firstLine = true;
    bool inSection = false; // value lines belong to the last key line read well
    for (std::size_t i = 0; i < text.lines.size(); ++i) {
        std::string_view line = Trim(text.lines[i]);
        if (line.empty() || line.front() == ';')
            continue;
        if (firstLine) {
            firstLine = false;
            if (line == "REGEDIT4" || line == "Windows Registry Editor Version 5.00") {
                document.hasHeader = true;
                continue;
            }
        }
        if (line.front() == '[') {
            RegistrySection section;
            inSection = ReadKeyLine(line, section, document);
            if (inSection)
                document.sections.push_back(std::move(section));
            else
                ++document.damagedLines;
            continue;
        }
        if (line.front() != '"' && line.front() != '@') {
            ++document.damagedLines;
            continue;
        }
        if (!inSection)
            continue; // a value of a skipped section
        const bool cut = text.lastCut && i + 1 == text.lines.size();
        if (!ReadValueLine(line, cut, document.sections.back(), document))
            ++document.damagedLines;
    }
    return document;
}

RegistryParseResult ApplyRegistryDocument(const RegistryDocument& document,
                                          const RegistryRootResolver& resolve) {
    RegistryParseResult result{document.damagedLines, document.hasHeader, document.overLimit};
    for (const RegistrySection& section : document.sections) {
        RegistryNode* node = resolve(section.root);
        if (!node)
            continue;
        if (section.remove) {
            for (std::size_t i = 0; node && i + 1 < section.path.size(); ++i)
                node = node->FindSubkey(section.path[i]);
            if (node && !section.path.empty())
                node->RemoveSubkey(section.path.back());
            continue;
        }
        for (const std::string& piece : section.path)
            node = &node->AddSubkey(piece);
        for (const RegistryValueChange& change : section.changes) {
            if (change.remove)
                node->RemoveValue(change.value.name);
            else
                node->SetValue(change.value.name, change.value.type, change.value.data);
        }
    }
    return result;
}

RegistryParseResult ParseRegistryText(std::string_view text, const RegistryRootResolver& resolve) {
    return ApplyRegistryDocument(ReadRegistryDocument(text), resolve);
}

std::string FormatRegistryText(const RegistryNode& root, std::string_view rootName) {
    std::string out = "REGEDIT4\n\n";
    AppendKey(out, root, std::string(rootName));
    return out;
}

} // namespace platform
