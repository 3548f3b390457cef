// Our sender and receiver where the line or the files misbehave without damaging a frame:
// a slow line whose queue takes long to drain, a peer that sends nothing but flow control,
// output that never drains when the user stops, and files that cannot be read or stored.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "protocol/ZmodemJob.h"
#include "tests/protocol/ProtocolTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/protocol/ScriptedPeer.h"

using prototest::OnHeaderError;
using prototest::ScriptedPeer;
using namespace protocol;
using namespace protocol::zmodem;
using namespace comm;
using prototest::LinkPair;
using prototest::Pattern;
using prototest::RecordingStatus;
using testsupport::TempDir;

namespace {

// A slow line between two loopback pairs: the sender's end keeps its transmit queue, which
// drains at the line's rate, as a serial port's does towards a slow modem.
class SlowLine {
  public:
    SlowLine(LinkPair& a, LinkPair& b, int bytesPerSecond)
        : m_a{a}, m_b{b}, m_rate{bytesPerSecond}, m_thread{[this] { Run(); }} {}
    ~SlowLine() {
        m_stop = true;
        m_thread.join();
    }

  private:
    void Run() {
        constexpr int kTickMs = 100;
        unsigned char buffer[4096];
        while (!m_stop) {
            platform::Sleep(kTickMs);
            // Towards the receiver at the line's rate; the answers come back at once.
            int n = m_a.farLink->ReadBuffer(buffer, std::max(1, m_rate * kTickMs / 1000));
            if (n > 0)
                m_b.nearLink->WriteBuffer(buffer, n);
            while ((n = m_b.nearLink->ReadBuffer(buffer, sizeof buffer)) > 0)
                m_a.farLink->WriteBuffer(buffer, n);
        }
    }

    LinkPair& m_a;
    LinkPair& m_b;
    int m_rate;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

TEST(ZmodemSlowLine, DataStillQueuedNeverCountsAgainstTheRetryLimit) {
    // 240 bytes a second is 2400 bps; an 8 KiB transmit queue takes 34 seconds to drain,
    // more than twice the time the retry limit allows for one unanswered wait.
    platform::ScopedTimeAcceleration fast{100.0};
    TempDir dir;
    const std::string data = Pattern(20000, 1);
    const std::string path = dir.WriteFile("out/slow.bin", data);
    std::filesystem::create_directories(dir.Path() / "in");
    LinkPair senderSide, receiverSide;
    senderSide.nearLink->SetTransmitRoom(8192);
    RecordingStatus sendStatus, receiveStatus;
    int sent = 1;
    {
        SlowLine line(senderSide, receiverSide, 240);
        std::thread peer(
            [&] { sent = RunSendingZmodem(senderSide.nearSerial.get(), &sendStatus, path); });
        int received =
            prototest::RunReceivingZmodem(receiverSide.farSerial.get(), &receiveStatus, dir / "in");
        peer.join();
        EXPECT_EQ(received, 0);
    }
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(sendStatus.filesDone, 1);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/slow.bin"), data);
}

struct SenderAgainstHand : testing::Test {
    // The far end plays the receiver by hand.
    void Answer(int type, int position = 0) {
        unsigned char h[4];
        ScriptedPeer::PositionToHeader(position, h);
        if (type == kZrinit)
            h[kZf0] = ZmodemReceiver::kCapabilities;
        hand.SendHexHeader(type, h);
    }
    // Invites and reads the first offer; false if none came.
    bool AwaitOffer() {
        Answer(kZrinit);
        for (int i = 0; i < 20 && handStatus.statusCode >= 0; ++i) {
            int type = hand.ReadFrameHeader(OnHeaderError::Return);
            if (type == kZfile)
                return hand.ReadDataSubpacket() >= 0;
            if (type == kZrqinit)
                Answer(kZrinit);
        }
        return false;
    }

    platform::ScopedTimeAcceleration fast{20.0};
    TempDir dir;
    LinkPair wire;
    RecordingStatus status, handStatus;
    ScriptedPeer hand{wire.farSerial.get(), &handStatus};
};

TEST_F(SenderAgainstHand, AStreamOfFlowControlNeitherHoldsTheSenderNorHidesAStop) {
    const std::string path = dir.WriteFile("f.bin", Pattern(200000, 2));
    std::atomic<bool> done{false};
    std::thread peer([&] {
        if (!AwaitOffer())
            return;
        Answer(kZrpos, 0);
        // Then nothing but XON, every 20 ms, while the stream goes on.
        const unsigned char xon = kXon;
        for (int i = 0; i < 1000 && !done; ++i) {
            wire.farLink->WriteBuffer(&xon, 1);
            unsigned char sink[4096];
            while (wire.farLink->ReadBuffer(sink, sizeof sink) > 0) {
            }
            platform::Sleep(20);
            if (i == 100)
                status.abortAnswer = kUserCancelled;
        }
    });
    auto job = MakeSendingZmodem(wire.nearSerial.get(), &status);
    const int result = job.transfer->Send(path.c_str());
    done = true;
    peer.join();
    EXPECT_EQ(result, kUserCancelled);
    // Stopped within a moment of the request (at 2 seconds), not after the XONs ended.
    EXPECT_LT(status.errors, 10);
}

TEST_F(SenderAgainstHand, AStopIsObeyedAtOnceWhenTheOutputCannotDrain) {
    const std::string path = dir.WriteFile("f.bin", Pattern(200000, 3));
    std::thread peer([&] {
        if (AwaitOffer())
            Answer(kZrpos, 0);
    });
    wire.nearLink->SetTransmitRoom(4096);
    auto job = MakeSendingZmodem(wire.nearSerial.get(), &status);
    std::uint32_t stopped = 0;
    std::thread stopper([&] {
        // The receiver reads no more; once the line has filled, the user presses Stop.
        for (int i = 0; i < 1000 && wire.nearLink->BytesWritten() < 4096; ++i)
            platform::Sleep(10);
        platform::Sleep(2000);
        stopped = platform::GetTickCount();
        status.abortAnswer = kUserCancelled;
    });
    const int result = job.transfer->Send(path.c_str());
    const std::uint32_t ended = platform::GetTickCount();
    stopper.join();
    peer.join();
    EXPECT_EQ(result, kUserCancelled);
    // Seen within half a second, the cancel under its short bound, then a second's settle.
    EXPECT_LT(static_cast<long>(ended - stopped), 2500);
}

TEST(ZmodemFiles, AFileThatCannotBeReadIsReportedAndTheRestAreSent) {
    platform::ScopedTimeAcceleration fast{20.0};
    TempDir dir;
    const std::string a = Pattern(3000, 4), c = Pattern(2000, 5);
    const std::string pathA = dir.WriteFile("out/a.bin", a);
    const std::string pathB = dir.WriteFile("out/b.bin", "locked by another program");
    const std::string pathC = dir.WriteFile("out/c.bin", c);
    // Another program holds b.bin locked.
    int holder = ::open(pathB.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    std::filesystem::create_directories(dir.Path() / "in");
    LinkPair wire;
    RecordingStatus sendStatus, receiveStatus;
    int sent = 1;
    std::thread peer([&] {
        auto job = MakeSendingZmodem(wire.farSerial.get(), &sendStatus);
        sent = job.transfer->Send((pathA + "|" + pathB + "|" + pathC).c_str());
    });
    EXPECT_EQ(prototest::RunReceivingZmodem(wire.nearSerial.get(), &receiveStatus, dir / "in"), 0);
    peer.join();
    ::close(holder);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(sendStatus.filesDone, 2);
    EXPECT_EQ(sendStatus.filesFailed, 1);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/a.bin"), a);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/c.bin"), c);
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "in/b.bin"));
}

TEST(ZmodemFiles, AnOfferWhoseNameIsAFolderArrivesBesideItAndTheRestAreReceived) {
    platform::ScopedTimeAcceleration fast{20.0};
    TempDir dir;
    const std::string a = Pattern(3000, 6), c = Pattern(2000, 7);
    const std::string list = dir.WriteFile("out/a.bin", a) + "|" +
                             dir.WriteFile("out/b.bin", "no place for me") + "|" +
                             dir.WriteFile("out/c.bin", c);
    // A folder of the same name stands where b.bin would go.
    std::filesystem::create_directories(dir.Path() / "in/b.bin");
    LinkPair wire;
    RecordingStatus sendStatus, receiveStatus;
    int sent = 1;
    std::thread peer([&] {
        auto job = MakeSendingZmodem(wire.farSerial.get(), &sendStatus);
        sent = job.transfer->Send(list.c_str());
    });
    const int received =
        prototest::RunReceivingZmodem(wire.nearSerial.get(), &receiveStatus, dir / "in");
    peer.join();
    EXPECT_EQ(received, 0);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(receiveStatus.filesDone, 3);
    EXPECT_EQ(sendStatus.filesDone, 3);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/a.bin"), a);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/b#2.bin"), "no place for me");
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "in/b.bin"));
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/c.bin"), c);
}
