// The help book's topics: which topic a help request on a control shows, and where a topic's
// text stands in the book. A topic number is also its anchor in the book ("t21010").
#pragma once

#include <string>
#include <string_view>

namespace jobs {

// A Help button, asked what it does.
inline constexpr int kHelpButtonTopic = 0x21000;
inline constexpr int kHelpButtonId = 9;
inline constexpr int kHelpCommandId = 57670;

// Each window's own topic: 0x20000 plus its window number.
inline constexpr int WindowTopic(int windowNumber) {
    return 0x20000 + windowNumber;
}
inline constexpr int kMainWindowNumber = 128;
inline constexpr int kSelectFilesWindow = 502;
inline constexpr int kSelectDestinationWindow = 503;
inline constexpr int kTransferFilesWindow = 505;
inline constexpr int kReceiveFilesWindow = 506;
inline constexpr int kSendPage = 507;
inline constexpr int kReceivePage = 508;
inline constexpr int kEditDestinationWindow = 509;
inline constexpr int kModemPage = 510;
inline constexpr int kSelectModemWindow = 512;
inline constexpr int kTransferLogWindow = 513;
inline constexpr int kTelephoneNumberWindow = 516;
inline constexpr int kModemsWindow = 520;

// The topics a window's OK (1) and Cancel (2) buttons show; 0 where it has none.
struct WindowHelp {
    int okTopic;
    int cancelTopic;
};
inline constexpr WindowHelp kEditDestinationHelp{0x21010, 0x21011};
inline constexpr WindowHelp kReceiveFilesHelp{0x21020, 0};
inline constexpr WindowHelp kSelectDestinationHelp{0x21030, 0x21031};
inline constexpr WindowHelp kTransferFilesHelp{0x21040, 0};
inline constexpr WindowHelp kTelephoneNumberHelp{0x21040, 0};
inline constexpr WindowHelp kTransferLogHelp{0x21050, 0};
inline constexpr WindowHelp kNoButtonHelp{0, 0};

// The topic a help request on control `controlId` shows, or 0 when the request is not ours to
// answer: OK and Cancel show the window's topics, a Help button the Help button's topic, and a
// control numbered 1000 to 1999 the topic 0x20000 plus its number.
int ControlHelpTopic(int controlId, WindowHelp help);

// "t21010" for 0x21010.
std::string HelpAnchor(int topic);

// The part of the help book `book` (HTML) that belongs to `topic`: from its anchor to the next
// topic's anchor. Empty when the book has no such topic.
std::string HelpTopicText(std::string_view book, int topic);

} // namespace jobs
