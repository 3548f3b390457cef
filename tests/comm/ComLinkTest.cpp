// The abstract link: open counting per port, last status, and the stop on abstract calls.
#include "comm/ComLink.h"

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "platform/FatalError.h"
#include "tests/support/LoopbackLink.h"

using namespace comm;
using testsupport::MakeLoopbackPair;

TEST(ComLink, SecondOpenOfAPortFailsAndTheFirstStaysCounted) {
    auto [a, b] = MakeLoopbackPair(7, 8);
    ASSERT_EQ(ComLink::OpenCount(7), 1);
    {
        auto [c, d] = MakeLoopbackPair(7, 9);
        EXPECT_EQ(c->TakeLastStatus(), kAlreadyOpen);
        EXPECT_EQ(c->LastStatus(), 0); // taken
        EXPECT_EQ(d->LastStatus(), 0);
        EXPECT_EQ(ComLink::OpenCount(7), 1);
    }
    // Destroying the link that failed to open leaves the first one counted.
    EXPECT_EQ(ComLink::OpenCount(7), 1);
    EXPECT_EQ(ComLink::OpenCount(9), 0);
    a.reset();
    EXPECT_EQ(ComLink::OpenCount(7), 0);
}

TEST(ComLink, PortNumbersOutsideTheTableAreRefused) {
    auto [a, b] = MakeLoopbackPair(36, 2);
    EXPECT_EQ(a->LastStatus(), kBadArgument);
    EXPECT_EQ(ComLink::OpenCount(36), 0);
    EXPECT_EQ(ComLink::OpenCount(-1), 0);
}

namespace {
class BareLink : public ComLink {
  public:
    BareLink() : ComLink(0) {}
};
} // namespace

TEST(ComLink, PauseAndResumeAreNotSupportedByDefault) {
    BareLink link;
    EXPECT_EQ(link.PauseInput(), kNotSupported);
    EXPECT_EQ(link.ResumeInput(), kNotSupported);
}

TEST(ComLinkDeathTest, AbstractOperationStopsWithLibraryError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    BareLink link;
    EXPECT_EXIT(link.ReadChar(), testing::ExitedWithCode(1),
                "Library Error: Pure Virtual function called @.*ComLink\\.cpp,[0-9]+\nUnable to "
                "continue execution");
}

TEST(ComLinkDeathTest, FatalErrorHookSeesTitleAndMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            platform::SetFatalErrorHook([](const std::string& title, const std::string& message) {
                std::fprintf(stderr, "[%s] %s", title.c_str(), message.c_str());
            });
            BareLink link;
            link.Idle();
        },
        testing::ExitedWithCode(1), "\\[Library Error\\] Pure Virtual function called @");
}
