// The tick count and sleep, in real time and accelerated.
#include "platform/Clock.h"

#include <chrono>

#include <gtest/gtest.h>

using namespace platform;

TEST(Clock, AcceleratedSleepAdvancesTicksByTheAskedAmountInAFractionOfTheTime) {
    ScopedTimeAcceleration fast(100.0);
    auto realStart = std::chrono::steady_clock::now();
    std::uint32_t start = GetTickCount();
    Sleep(2000);
    std::uint32_t elapsed = TicksSince(start);
    auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_GE(elapsed, 2000u);
    EXPECT_LT(elapsed, 2000u + 1500u); // generous bound for a loaded machine
    EXPECT_LT(real, std::chrono::milliseconds(1000));
}

TEST(Clock, TicksStayContinuousWhenTheFactorChanges) {
    std::uint32_t before = GetTickCount();
    {
        ScopedTimeAcceleration fast(1000.0);
        EXPECT_GE(GetTickCount() - before, 0u);
        Sleep(1000);
    }
    std::uint32_t after = GetTickCount();
    EXPECT_GE(after - before, 1000u);
    EXPECT_LT(after - before, 100000u);
}

TEST(Clock, RealTimeSleepIsNotShortened) {
    std::uint32_t start = GetTickCount();
    Sleep(30);
    EXPECT_GE(TicksSince(start), 29u);
}

TEST(Clock, TicksSinceIsWrapSafe) {
    std::uint32_t start = 0xFFFFFFF0u;
    EXPECT_EQ(static_cast<std::uint32_t>(0x10u - start), 0x20u);
}
