// Posting keeps one thread's order, never blocks, and frees payloads when the window is gone.
#include "platform/PostedMessages.h"

#include <atomic>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Threads.h"

using namespace platform;

namespace {
struct Counted : MessagePayload {
    explicit Counted(std::atomic<int>& live) : m_live{live} { ++m_live; }
    ~Counted() override { --m_live; }
    std::atomic<int>& m_live;
};
} // namespace

TEST(PostedMessages, EachThreadsOrderIsKept) {
    auto queue = std::make_shared<MessageQueue>();
    WindowHandle window = queue;
    constexpr int kPerThread = 2000;
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                PostMessage(window, kWmUser + 301, t, i);
        });
    int next[3] = {0, 0, 0};
    for (int received = 0; received < 3 * kPerThread; ++received) {
        auto m = queue->Wait(5000);
        ASSERT_TRUE(m.has_value());
        ASSERT_EQ(m->second, next[m->first]) << "thread " << m->first;
        ++next[m->first];
    }
    for (auto& p : posters)
        p.join();
    EXPECT_FALSE(queue->TryTake().has_value());
}

TEST(PostedMessages, PayloadIsFreedWhenTheWindowIsGoneOrTheMessageHandled) {
    std::atomic<int> live{0};
    WindowHandle window;
    {
        auto queue = std::make_shared<MessageQueue>();
        window = queue;
        EXPECT_TRUE(PostMessage(window, 1325, 0, 0, std::make_unique<Counted>(live)));
        EXPECT_EQ(live, 1);
        auto m = queue->TryTake();
        ASSERT_TRUE(m.has_value());
        EXPECT_NE(dynamic_cast<Counted*>(m->payload.get()), nullptr);
        EXPECT_TRUE(PostMessage(window, 1325, 0, 0, std::make_unique<Counted>(live)));
        EXPECT_EQ(live, 2);
    } // the handled message and the window with one message still queued are both gone
    EXPECT_EQ(live, 0);
    EXPECT_FALSE(PostMessage(window, 1325, 0, 0, std::make_unique<Counted>(live)));
    EXPECT_EQ(live, 0);
}

TEST(Threads, BelowNormalWorkerRunsWithARaisedNiceValue) {
    std::atomic<int> niceSeen{-100};
    std::thread worker =
        StartThread(ThreadPriority::BelowNormal, [&] { niceSeen = getpriority(PRIO_PROCESS, 0); });
    worker.join();
    EXPECT_GT(niceSeen.load(), getpriority(PRIO_PROCESS, 0));
}
