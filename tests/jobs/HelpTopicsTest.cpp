// Which topic a help request shows, and that a topic's text stops where the next one begins.
#include "jobs/HelpTopics.h"

#include <gtest/gtest.h>

namespace jobs {
namespace {

TEST(HelpTopicsTest, ControlsButtonsAndStrangersGetTheirTopics) {
    EXPECT_EQ(ControlHelpTopic(1, kSelectDestinationHelp), 0x21030);
    EXPECT_EQ(ControlHelpTopic(2, kSelectDestinationHelp), 0x21031);
    EXPECT_EQ(ControlHelpTopic(2, kTransferLogHelp), 0) << "no Cancel topic: not ours";
    EXPECT_EQ(ControlHelpTopic(kHelpButtonId, kNoButtonHelp), kHelpButtonTopic);
    EXPECT_EQ(ControlHelpTopic(kHelpCommandId, kNoButtonHelp), kHelpButtonTopic);
    EXPECT_EQ(ControlHelpTopic(1000, kNoButtonHelp), 0x203E8);
    EXPECT_EQ(ControlHelpTopic(1999, kNoButtonHelp), 0x207CF);
    EXPECT_EQ(ControlHelpTopic(999, kNoButtonHelp), 0);
    EXPECT_EQ(ControlHelpTopic(2000, kNoButtonHelp), 0);
    EXPECT_EQ(HelpAnchor(WindowTopic(kSelectFilesWindow)), "t201f6");
}

TEST(HelpTopicsTest, ATopicRunsFromItsHeadingToTheNextHeading) {
    const std::string book = "<html><body><h1><a name=\"contents\"></a>Help</h1>\n"
                             "<h2><a name=\"t201f6\"></a>Select Files</h2>\n<p>Choose.</p>\n"
                             "<h3><a name=\"t203ed\"></a>Add</h3>\n<p>Adds.</p>\n"
                             "</body></html>";
    EXPECT_EQ(HelpTopicText(book, 0x201F6),
              "<h2><a name=\"t201f6\"></a>Select Files</h2>\n<p>Choose.</p>\n");
    EXPECT_EQ(HelpTopicText(book, 0x203ED), "<h3><a name=\"t203ed\"></a>Add</h3>\n<p>Adds.</p>\n");
    EXPECT_EQ(HelpTopicText(book, 0x201F), "") << "a shorter number is another topic";
    EXPECT_EQ(HelpTopicText(book, 0x203EE), "");
    EXPECT_EQ(HelpTopicText("", 0x203ED), "");
}

} // namespace
} // namespace jobs
