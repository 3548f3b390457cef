// The sender's window over simulated time: streaming on a clean line, bounded after errors,
// streaming again after clean stretches, never narrower than what one round trip carries.
#include "protocol/SendWindow.h"

#include <algorithm>
#include <cstdint>
#include <deque>

#include <gtest/gtest.h>

using protocol::SendWindow;

namespace {
// Acknowledges `bytes` more in subpacket-sized steps, each `stepMs` after the last.
void AcknowledgeClean(SendWindow& window, std::int64_t& end, std::int64_t bytes, std::uint32_t& now,
                      std::uint32_t stepMs = 10) {
    for (std::int64_t done = 0; done < bytes; done += window.Subpacket()) {
        end += window.Subpacket();
        now += stepMs;
        window.Acknowledged(end, window.Subpacket(), now);
    }
}

// A line of `bytesPerMs` with `oneWayMs` of delay each way, run a millisecond at a time: the
// sender queues subpackets while the window has room, the line carries them at its rate, and
// each comes back acknowledged one round trip after it was fully sent.
struct SimulatedLine {
    int bytesPerMs;
    std::uint32_t oneWayMs;

    // Runs until `done` holds or `limitMs` passed; the time taken.
    template <typename Done>
    std::uint32_t Run(SendWindow& window, Done done, std::uint32_t limitMs = 60000) {
        struct Ack {
            std::uint32_t at;
            std::int64_t end;
        };
        std::deque<std::int64_t> queued; // ends of subpackets waiting for the line
        std::deque<Ack> acks;
        std::int64_t sent = 0, onLine = 0, acknowledged = 0;
        for (std::uint32_t now = 0; now < limitMs; ++now) {
            while (window.Streaming()
                       ? queued.size() < 4
                       : sent - acknowledged + window.Subpacket() <= window.Window()) {
                sent += window.Subpacket();
                queued.push_back(sent);
                if (!window.Streaming())
                    window.Sent(sent, now);
            }
            onLine += bytesPerMs;
            while (!queued.empty() && queued.front() <= onLine) {
                acks.push_back({now + 2 * oneWayMs, queued.front()});
                queued.pop_front();
            }
            onLine = std::min(onLine, queued.empty() ? sent : onLine);
            while (!acks.empty() && acks.front().at <= now) {
                const std::int64_t end = acks.front().end;
                acks.pop_front();
                if (end > acknowledged) {
                    window.Acknowledged(end, end - acknowledged, now);
                    acknowledged = end;
                }
            }
            if (done())
                return now;
        }
        return limitMs;
    }
};
} // namespace

TEST(SendWindow, ALongLineOpensTheWindowToStreamingWithinAFewRoundTrips) {
    // 92 bytes a millisecond (921600 bps), 300 ms each way: a round trip holds 55 kB, and a
    // 4 kB window would deliver a fifteenth of the line.
    SendWindow window;
    window.Error();
    ASSERT_TRUE(window.Probing());
    SimulatedLine line{92, 300};
    const std::uint32_t took = line.Run(window, [&] { return window.Streaming(); });
    EXPECT_TRUE(window.Streaming());
    EXPECT_LE(took, 8 * 600u);
    // Each error costs the round trip whatever the window: the line streams on through them.
    window.Error();
    EXPECT_TRUE(window.Streaming());
}

TEST(SendWindow, AShortLineKeepsTheFirstWindowAfterOneProbe) {
    // The same rate with 1 ms each way: 4 kB already fills the line, 8 kB delivers no faster.
    SendWindow window;
    window.Error();
    SimulatedLine line{92, 1};
    line.Run(
        window, [&] { return !window.Probing(); }, 2000);
    EXPECT_FALSE(window.Probing());
    EXPECT_FALSE(window.Streaming());
    EXPECT_EQ(window.Window(), 4096);
}

TEST(SendWindow, ErrorsNarrowTheWindowAndShortenSubpacketsDownToTheirFloors) {
    SendWindow window;
    EXPECT_TRUE(window.Streaming());
    EXPECT_EQ(window.Subpacket(), 1024);
    window.Error();
    EXPECT_FALSE(window.Streaming());
    EXPECT_EQ(window.Window(), 4096);
    EXPECT_EQ(window.Subpacket(), 1024); // the first error keeps full subpackets
    window.Error();
    EXPECT_EQ(window.Window(), 2048);
    EXPECT_EQ(window.Subpacket(), 512);
    for (int i = 0; i < 10; ++i)
        window.Error();
    EXPECT_EQ(window.Window(), 1024);
    EXPECT_EQ(window.Subpacket(), 256);
    EXPECT_FALSE(window.Streaming());
}

TEST(SendWindow, CleanStretchesWidenBackToStreaming) {
    SendWindow window;
    for (int i = 0; i < 3; ++i)
        window.Error();
    ASSERT_EQ(window.Window(), 1024);
    std::int64_t end = 0;
    std::uint32_t now = 0;
    // Seven windows' worth is not yet enough; the eighth doubles both.
    AcknowledgeClean(window, end, 7 * 1024, now);
    EXPECT_EQ(window.Window(), 1024);
    AcknowledgeClean(window, end, 1024, now);
    EXPECT_EQ(window.Window(), 2048);
    EXPECT_EQ(window.Subpacket(), 512);
    // An error in the middle of a stretch starts the count again.
    AcknowledgeClean(window, end, 7 * 2048, now);
    window.Error();
    const int narrowed = window.Window();
    AcknowledgeClean(window, end, 7 * narrowed, now);
    EXPECT_EQ(window.Window(), narrowed);
    int widenings = 0;
    while (!window.Streaming() && widenings < 20) {
        AcknowledgeClean(window, end, 8 * window.Window(), now);
        ++widenings;
    }
    EXPECT_TRUE(window.Streaming());
    EXPECT_EQ(window.Subpacket(), 1024);
    EXPECT_LE(widenings, 8);
    // Streaming again, the next error starts from the first window once more.
    window.Error();
    EXPECT_EQ(window.Window(), 4096);
}

TEST(SendWindow, AWindowNeverNarrowsBelowWhatOneRoundTripCarries) {
    // Once the line has shown its rate and round trip (50 ms each way: 9 kB a round trip),
    // errors narrow the window no further than that: narrower, the line would stand idle.
    SendWindow window;
    window.Error();
    SimulatedLine line{92, 50};
    line.Run(window, [&] { return !window.Probing(); });
    ASSERT_FALSE(window.Streaming());
    const std::int64_t perRoundTrip = window.BytesPerRoundTrip();
    EXPECT_GE(perRoundTrip, 4096);
    EXPECT_LE(perRoundTrip, 2 * 92 * 111); // within twice what it is
    for (int i = 0; i < 10; ++i)
        window.Error();
    EXPECT_EQ(window.Window(), perRoundTrip);
    EXPECT_EQ(window.Subpacket(), 256);
}

TEST(SendWindow, AcknowledgementsOfUntimedDataDoNotInventARoundTrip) {
    // Acknowledgements that match no timed subpacket (streamed data, or a ZACK that covers
    // several) give no round trip, and the floor stays the smallest window.
    SendWindow window;
    std::int64_t end = 0;
    std::uint32_t now = 0;
    window.Sent(999999, 0);
    AcknowledgeClean(window, end, 64 * 1024, now, 100);
    EXPECT_EQ(window.BytesPerRoundTrip(), 0);
    for (int i = 0; i < 10; ++i)
        window.Error();
    EXPECT_EQ(window.Window(), 1024);
}
