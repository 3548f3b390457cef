// Feeds arbitrary headers to the MacBinary check and the naming of the converted file: no
// crash, and the name built from an accepted header always stays inside its folder.
#include "data/MacBinary.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < data::kMacBinaryHeaderSize)
        return 0;
    data::MacBinaryInfo info;
    std::span<const std::uint8_t, data::kMacBinaryHeaderSize> header(data,
                                                                     data::kMacBinaryHeaderSize);
    if (!data::ParseMacBinaryHeader(header, info))
        return 0;
    std::string_view extension = data::LookupMacExtension(info.fileType, info.creator).value_or("");
    std::string path = data::MakeMacFileName("/folder", info.fileName, extension);
    std::string_view name = std::string_view(path).substr(8);
    if (path.compare(0, 8, "/folder/") != 0 || name.empty() ||
        name.find('/') != std::string_view::npos || name == "." || name == "..")
        std::abort();
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20)
            std::abort();
    // The line-end conversion of TEXT data never writes past twice its input.
    std::span<const std::uint8_t> rest(data + data::kMacBinaryHeaderSize,
                                       size - data::kMacBinaryHeaderSize);
    std::vector<std::uint8_t> out(2 * rest.size());
    bool pendingCr = false;
    if (data::ConvertTextLineEnds(rest, out.data(), pendingCr) > out.size())
        std::abort();
    return 0;
}
