// The abstract link: open counting per port and the last status.
#include "comm/ComLink.h"

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
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
