// The loopback link's own behaviour: other tests rely on its queues and faults.
#include "tests/support/LoopbackLink.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comm/GFSerial.h"
#include "comm/StatusCodes.h"

using namespace comm;
using testsupport::MakeLoopbackPair;

namespace {
std::vector<unsigned char> AllBytes(int copies) {
    std::vector<unsigned char> v;
    for (int k = 0; k < copies; ++k)
        for (int i = 0; i < 256; ++i)
            v.push_back(static_cast<unsigned char>(i));
    return v;
}
} // namespace

TEST(LoopbackLink, CarriesEveryByteValueBothWays) {
    auto [a, b] = MakeLoopbackPair();
    auto data = AllBytes(4);
    ASSERT_EQ(a->WriteBuffer(data.data(), static_cast<int>(data.size())), 1024);
    ASSERT_EQ(b->WriteBuffer(data.data(), 256), 256);
    std::vector<unsigned char> got(2048);
    EXPECT_EQ(b->ReadBuffer(got.data(), 2048), 1024);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    EXPECT_EQ(a->ReadBuffer(got.data(), 2048), 256);
    EXPECT_EQ(a->ReadChar(), kTimedOut);
}

TEST(LoopbackLink, TransmitRoomLimitsWritesAndRecordsBufferFull) {
    auto [a, b] = MakeLoopbackPair();
    a->SetTransmitRoom(10);
    auto data = AllBytes(1);
    EXPECT_EQ(a->WriteBuffer(data.data(), 25), 10);
    EXPECT_EQ(a->TakeLastStatus(), kBufferFull);
    QueueStatus q;
    a->GetQueueStatus(q);
    EXPECT_EQ(q.transmitCount, 10);
    b->GetQueueStatus(q);
    EXPECT_EQ(q.receiveCount, 10);
    unsigned char got[4];
    EXPECT_EQ(b->ReadBuffer(got, 4), 4);
    EXPECT_EQ(a->WriteBuffer(data.data(), 25), 4);
}

TEST(LoopbackLink, FlipsAreSeededAndAtTheAskedRate) {
    auto count = [](std::uint32_t seed) {
        auto [a, b] = MakeLoopbackPair();
        a->SetFlipProbability(0.01, seed);
        auto data = AllBytes(200);
        a->WriteBuffer(data.data(), static_cast<int>(data.size()));
        std::vector<unsigned char> got(data.size());
        b->ReadBuffer(got.data(), static_cast<int>(got.size()));
        int changed = 0;
        for (std::size_t i = 0; i < data.size(); ++i)
            changed += got[i] != data[i];
        return changed;
    };
    int first = count(42);
    EXPECT_EQ(first, count(42));
    EXPECT_GT(first, 51200 / 100 / 2);
    EXPECT_LT(first, 51200 / 100 * 2);
}

TEST(LoopbackLink, DropAfterCutsTheConnectionAndTheCarrier) {
    auto [a, b] = MakeLoopbackPair();
    a->DropAfter(5);
    EXPECT_EQ(a->Line(kLineDcd, -1), 1);
    EXPECT_EQ(a->WriteString("0123456789"), 10);
    unsigned char got[16];
    EXPECT_EQ(b->ReadBuffer(got, 16), 5);
    EXPECT_TRUE(b->Dropped());
    EXPECT_EQ(a->Line(kLineDcd, -1), 0);
    EXPECT_EQ(b->Line(kLineDcd, -1), 0);
    EXPECT_EQ(b->WriteString("x"), 1);
    EXPECT_EQ(a->ReadChar(), kTimedOut);
}

TEST(LoopbackLink, StalledOutputIsHeldThenDelivered) {
    auto [a, b] = MakeLoopbackPair();
    a->SetTransmitRoom(4);
    a->SetStalled(true);
    EXPECT_EQ(a->WriteString("abcdef"), 4);
    EXPECT_EQ(b->ReadChar(), kTimedOut);
    a->SetStalled(false);
    EXPECT_EQ(b->ReadChar(), 'a');
}

TEST(LoopbackLink, LineQueriesAndTheUnknownNumber) {
    auto [a, b] = MakeLoopbackPair();
    EXPECT_EQ(a->Line(99, -1), kLineUnknown);
    EXPECT_EQ(a->Line(kLineReserved17, -1), 0);
    EXPECT_EQ(a->Line(kLineDtr, 0), 0);
    EXPECT_EQ(a->Line(kLineDtr, -1), 0);
    a->SetModemLine(kLineRi, true);
    EXPECT_EQ(a->Line(kLineRi, -1), 1);
}

TEST(LoopbackLink, GFSerialReaderOnAnotherThreadSeesLateBytes) {
    auto [a, b] = MakeLoopbackPair();
    GFSerial reader(b.get());
    testsupport::LoopbackLink* writerEnd = a.get();
    std::thread writer([writerEnd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        writerEnd->WriteChar('Z');
    });
    EXPECT_EQ(reader.ReadChar(2000), 'Z');
    writer.join();
}
