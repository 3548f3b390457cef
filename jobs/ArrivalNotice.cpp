#include "jobs/ArrivalNotice.h"

#include "platform/ResourceStrings.h"

namespace jobs {
namespace {

constexpr int kTitle = 51240; // "Files received from %1"
constexpr int kUnnamedStation = 51241;
constexpr int kAndMore = 51242; // "%1 and %2 more"
constexpr std::size_t kNamesShown = 3;
constexpr std::size_t kMostNameBytes = 64;

// A caller's station name and the names of its files, fit for one line of a notification:
// no control characters (a line break would forge a line of its own), and of a bounded length.
std::string Shown(const std::string& text) {
    std::string out;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            out += c;
    return out.size() > kMostNameBytes ? platform::CutToBytes(out, kMostNameBytes) + "\u2026" : out;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return Shown(slash == std::string::npos ? path : path.substr(slash + 1));
}

} // namespace

std::optional<ArrivalNotice> ArrivalNoticeFor(const std::vector<data::FileRecord>& records) {
    std::string station;
    std::vector<std::string> names;
    for (const data::FileRecord& record : records) {
        if (!record.isReceive || !record.Completed())
            continue;
        if (station.empty())
            station = record.peer;
        names.push_back(BaseName(record.path));
    }
    if (names.empty())
        return std::nullopt;
    std::string shown;
    for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i)
        shown += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > kNamesShown) {
        std::string more = platform::FormatMessage1(platform::ResourceText(kAndMore), shown);
        if (const std::size_t at = more.find("%2"); at != std::string::npos)
            more.replace(at, 2, std::to_string(names.size() - kNamesShown));
        shown = more;
    }
    const std::string name = Shown(station);
    const std::string who = name.empty() ? platform::ResourceText(kUnnamedStation) : name;
    return ArrivalNotice{platform::FormatMessage1(platform::ResourceText(kTitle), who), shown};
}

} // namespace jobs
