// Feeds arbitrary bytes to the readers of the phone book and transfer log lines and to the
// log's time parsing: a line is one line however long (the phone book cuts its fields, never its
// lines), and a cut field stays within its limit.
#include "data/TextFields.h"
#include "data/TransferLog.h"
#include "platform/ResourceStrings.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (std::size_t piece : {std::size_t{0}, std::size_t{254}, std::size_t{1022}}) {
        for (const std::string& line : data::SplitTextLines(text, piece)) {
            if ((piece != 0 && line.size() > piece) || line.find('\n') != std::string::npos)
                std::abort();
            for (const std::string& field : data::SplitAtTabRuns(line)) {
                if (field.empty() || field.find('\t') != std::string::npos)
                    std::abort();
                data::ParseLogTime(field, 0);
                data::CompareLeadingNumbers(field, line);
                if (platform::CutToBytes(field, 254).size() > 254)
                    std::abort();
            }
        }
    }
    return 0;
}
