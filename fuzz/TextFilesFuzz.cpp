// Feeds arbitrary bytes to the readers of the phone book and transfer log lines and to the
// log's time parsing.
#include "data/TextFields.h"
#include "data/TransferLog.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (std::size_t piece : {std::size_t{0}, std::size_t{254}, std::size_t{1022}}) {
        for (const std::string& line : data::SplitTextLines(text, piece)) {
            if (piece != 0 && line.size() > piece)
                std::abort();
            for (const std::string& field : data::SplitAtTabRuns(line)) {
                if (field.empty() || field.find('\t') != std::string::npos)
                    std::abort();
                data::ParseLogTime(field, 0);
                data::CompareLeadingNumbers(field, line);
            }
        }
    }
    return 0;
}
