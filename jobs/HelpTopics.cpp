// Help topics and the help book's anchors.
#include "jobs/HelpTopics.h"

#include <cstdio>

namespace jobs {

namespace {
constexpr int kOkId = 1;
constexpr int kCancelId = 2;
constexpr int kFirstControlId = 1000;
constexpr int kLastControlId = 1999;
constexpr std::string_view kAnchorStart = "<a name=\"t";
} // namespace

int ControlHelpTopic(int controlId, WindowHelp help) {
    if (controlId == kOkId)
        return help.okTopic;
    if (controlId == kCancelId)
        return help.cancelTopic;
    if (controlId == kHelpButtonId || controlId == kHelpCommandId)
        return kHelpButtonTopic;
    if (controlId >= kFirstControlId && controlId <= kLastControlId)
        return WindowTopic(controlId);
    return 0;
}

std::string HelpAnchor(int topic) {
    char anchor[16];
    std::snprintf(anchor, sizeof anchor, "t%x", static_cast<unsigned>(topic));
    return anchor;
}

std::string HelpTopicText(std::string_view book, int topic) {
    if (topic <= 0)
        return {};
    const std::string anchor = "<a name=\"" + HelpAnchor(topic) + "\">";
    const std::size_t at = book.find(anchor);
    if (at == std::string_view::npos)
        return {};
    // From the heading that holds the anchor to the heading that holds the next one.
    const std::size_t heading = book.rfind("<h", at);
    const std::size_t begin = heading == std::string_view::npos ? at : heading;
    std::size_t end = book.find(kAnchorStart, at + anchor.size());
    if (end != std::string_view::npos) {
        const std::size_t nextHeading = book.rfind("<h", end);
        if (nextHeading != std::string_view::npos && nextHeading > at)
            end = nextHeading;
    } else {
        end = book.find("</body>", at);
        if (end == std::string_view::npos)
            end = book.size();
    }
    return std::string(book.substr(begin, end - begin));
}

} // namespace jobs
