// Feeds arbitrary bytes to the hive reader: it must never crash, and what it read must write
// out as text that reads back to the same tree.
#include "platform/RegistryHive.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parse = [](std::string_view input, platform::RegistryNode& root) {
        return platform::ParseRegistryText(input, [&root](std::string_view name) {
            return platform::RegistryNamesEqual(name, "HKEY_CURRENT_USER") ? &root : nullptr;
        });
    };
    platform::RegistryNode first;
    parse(text, first);
    std::string written = platform::FormatRegistryText(first, "HKEY_CURRENT_USER");
    platform::RegistryNode second;
    platform::RegistryParseResult reread = parse(written, second);
    if (!reread.Clean() || platform::FormatRegistryText(second, "HKEY_CURRENT_USER") != written)
        std::abort();
    return 0;
}
