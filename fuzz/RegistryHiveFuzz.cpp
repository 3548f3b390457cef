// Feeds arbitrary bytes to the hive reader: it must never crash, what it read must stay within
// the limits, and it must write out as text that reads back to the same tree.
#include "platform/RegistryHive.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool WithinLimits(const platform::RegistryDocument& document) {
    for (const platform::RegistrySection& section : document.sections) {
        if (section.path.size() > platform::kMaxRegistryKeyDepth)
            return false;
        for (const std::string& name : section.path)
            if (name.empty() || name.size() > platform::kMaxRegistryKeyNameLength)
                return false;
        for (const platform::RegistryValueChange& change : section.changes)
            if (change.value.name.size() > platform::kMaxRegistryValueNameLength ||
                change.value.data.size() > platform::kMaxRegistryValueSize)
                return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const platform::RegistryDocument document = platform::ReadRegistryDocument(text);
    if (!WithinLimits(document))
        std::abort();
    platform::RegistryNode first;
    auto resolve = [](platform::RegistryNode& root) {
        return [&root](std::string_view name) {
            return platform::RegistryNamesEqual(name, "HKEY_CURRENT_USER") ? &root : nullptr;
        };
    };
    platform::ApplyRegistryDocument(document, resolve(first));
    std::string written = platform::FormatRegistryText(first, "HKEY_CURRENT_USER");
    platform::RegistryNode second;
    platform::RegistryParseResult reread = platform::ParseRegistryText(written, resolve(second));
    if (!reread.Clean() || platform::FormatRegistryText(second, "HKEY_CURRENT_USER") != written)
        std::abort();
    return 0;
}
