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

enum class ValueParse { Set, Delete, Bad };

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
        return ValueParse::Set;
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
        return ValueParse::Set;
    }
    if (prefix == "hex") {
        value.type = kTypeBinary;
    } else if (prefix.size() > 5 && prefix.compare(0, 4, "hex(") == 0 && prefix.back() == ')') {
        if (!ReadHexNumber(std::string_view(prefix).substr(4, prefix.size() - 5), value.type, 8))
            return ValueParse::Bad;
    } else {
        return ValueParse::Bad;
    }
    return ReadHexBytes(data, value.data) ? ValueParse::Set : ValueParse::Bad;
}

// Splits the text into logical lines: CR LF or LF ends, and a hex list continued by a trailing
// backslash joined with the following line.
std::vector<std::string> LogicalLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string pending;
    bool continuing = false;
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        std::string_view line = Trim(raw);
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
    if (continuing)
        lines.push_back(pending);
    return lines;
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

RegistryParseResult ParseRegistryText(std::string_view text, const RegistryRootResolver& resolve) {
    RegistryParseResult result;
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    RegistryNode* current = nullptr;
    bool firstLine = true;
    for (const std::string& owned : LogicalLines(text)) {
        std::string_view line = Trim(owned);
        if (line.empty() || line.front() == ';')
            continue;
        if (firstLine) {
            firstLine = false;
            if (line == "REGEDIT4" || line == "Windows Registry Editor Version 5.00") {
                result.hasHeader = true;
                continue;
            }
        }
        if (line.front() == '[') {
            current = nullptr;
            std::size_t close = line.rfind(']');
            if (close == std::string_view::npos || close < 2) {
                ++result.damagedLines;
                continue;
            }
            std::string_view path = line.substr(1, close - 1);
            bool remove = path.front() == '-';
            if (remove)
                path.remove_prefix(1);
            std::size_t slash = path.find('\\');
            std::string_view rootName = path.substr(0, slash);
            std::string_view keyPath =
                slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
            RegistryNode* root = resolve(rootName);
            if (!root)
                continue;
            std::vector<std::string_view> pieces = SplitRegistryPath(keyPath);
            if (remove) {
                if (!pieces.empty()) {
                    std::string_view last = pieces.back();
                    keyPath.remove_suffix(keyPath.size() - (last.data() - keyPath.data()));
                    if (RegistryNode* parent = root->Find(keyPath))
                        parent->RemoveSubkey(last);
                }
                continue;
            }
            current = &root->Create(keyPath);
            continue;
        }
        if (line.front() != '"' && line.front() != '@') {
            ++result.damagedLines;
            continue;
        }
        if (!current)
            continue; // a value of a skipped section
        RegistryValue value;
        switch (ParseValueLine(line, value)) {
        case ValueParse::Set:
            current->SetValue(value.name, value.type, std::move(value.data));
            break;
        case ValueParse::Delete:
            current->RemoveValue(value.name);
            break;
        case ValueParse::Bad:
            ++result.damagedLines;
            break;
        }
    }
    return result;
}

std::string FormatRegistryText(const RegistryNode& root, std::string_view rootName) {
    std::string out = "REGEDIT4\n\n";
    AppendKey(out, root, std::string(rootName));
    return out;
}

} // namespace platform
