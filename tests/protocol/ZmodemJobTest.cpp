// The application's ZMODEM set-up: "|"-separated send lists, cleaned received names shown
// as stored, the patient receiver's time-outs, and the job's view of skipped files.
#include "protocol/ZmodemJob.h"

#include <array>
#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "tests/protocol/ProtocolTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/protocol/ScriptedPeer.h"

using prototest::OnHeaderError;
using prototest::ScriptedPeer;
using namespace protocol;
using namespace protocol::zmodem;
using namespace comm;
using prototest::LinkPair;
using prototest::RecordingStatus;
using testsupport::TempDir;

namespace {

// Keeps every file name the progress display was shown.
class ProgressNames : public RecordingStatus {
  public:
    int Progress(int code) override {
        if (names.empty() || names.back() != fileName)
            names.push_back(fileName);
        return code;
    }
    std::vector<std::string> names;
};

struct JobFixture : testing::Test {
    JobFixture() { std::filesystem::create_directories(dir.Path() / "in"); }

    // Our sending job on another thread against our receiving job on this one.
    int Transfer(const std::string& list, int* sendResult, int management = 0) {
        RecordingStatus sendStatus;
        std::thread peer([&] {
            if (management == 0) {
                *sendResult = RunSendingZmodem(wire.farSerial.get(), &sendStatus, list);
                return;
            }
            auto job = MakeSendingZmodem(wire.farSerial.get(), &sendStatus);
            job.transfer->SetManagementOption(management);
            const int result = job.transfer->Send(list.c_str());
            *sendResult = result == kNoFilesSent ? 0 : result;
        });
        int result = prototest::RunReceivingZmodem(wire.nearSerial.get(), &status, dir / "in");
        peer.join();
        return result;
    }

    // A receiving job on another thread, against a sender the test plays by hand.
    void StartReceiver() {
        receiver = std::thread([this] {
            received = prototest::RunReceivingZmodem(wire.nearSerial.get(), &status, dir / "in");
        });
    }
    int JoinReceiver() {
        receiver.join();
        return received;
    }
    ~JobFixture() override {
        if (receiver.joinable()) {
            status.abortAnswer = kUserCancelled;
            receiver.join();
        }
    }

    platform::ScopedTimeAcceleration fast{20.0};
    TempDir dir;
    LinkPair wire;
    ProgressNames status;
    std::thread receiver;
    int received{1};
};

} // namespace

using ZmodemJobSetup = JobFixture;

TEST_F(ZmodemJobSetup, ListEntriesAreSeparatedByBarsOnly) {
    std::string first = dir.WriteFile("out/my file, v2; final.txt", "spaces and a comma");
    std::string second = dir.WriteFile("out/other.txt", "second");
    int sent = 1;
    ASSERT_EQ(Transfer("|" + first + "||" + second + "|", &sent), 0);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(status.filesDone, 2);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/my file, v2; final.txt"), "spaces and a comma");
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/other.txt"), "second");
    // The job's folder change does not outlive it.
    EXPECT_NE(std::filesystem::current_path(), dir.Path() / "in");
}

TEST_F(ZmodemJobSetup, ReceiverThatSkipsEveryFileIsASuccessfulSend) {
    // The receiver's user keeps the file it has (protect): the offer is skipped.
    std::string path = dir.WriteFile("out/have.txt", "offered");
    dir.WriteFile("in/have.txt", "kept");
    int sent = 1;
    ASSERT_EQ(Transfer(path, &sent, kManageProtect), 0);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(status.filesDone, 0);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/have.txt"), "kept");
}

TEST_F(ZmodemJobSetup, CompleteCopyLeftByABrokenCallIsClosedCountedAndStamped) {
    std::string data(4000, 'c');
    std::string path = dir.WriteFile("out/c.bin", data);
    dir.WriteFile("in/c.bin", data);
    int sent = 1;
    ASSERT_EQ(Transfer(path, &sent), 0);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(status.filesDone, 1);
    EXPECT_TRUE(status.Traced("Resuming at offset 4000"));
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/c.bin"), data);
    EXPECT_LT(wire.farLink->BytesWritten(), 1000);
}

TEST_F(ZmodemJobSetup, WildcardCharactersInAReceivedNameAreStoredAsUnderscores) {
    StartReceiver();
    RecordingStatus senderStatus;
    ScriptedPeer sender(wire.farSerial.get(), &senderStatus);
    sender.SetReceiverCapabilities(kCanFcs32, 0);
    std::array<unsigned char, 4> none{};
    ASSERT_EQ(sender.ReadFrameHeader(OnHeaderError::Return), kZrinit);
    const std::string info("what?*<now>.txt\0"
                           "2 0",
                           19);
    sender.SendBinaryHeader(kZfile, none.data());
    std::memcpy(sender.DataBuffer(), info.data(), info.size());
    sender.SendDataSubpacket(static_cast<int>(info.size()), kZcrcw);
    ASSERT_EQ(sender.ReadFrameHeader(OnHeaderError::Return), kZrpos);
    sender.SendBinaryHeader(kZdata, none.data());
    std::memcpy(sender.DataBuffer(), "ok", 2);
    sender.SendDataSubpacket(2, kZcrcw);
    ASSERT_EQ(sender.ReadFrameHeader(OnHeaderError::Return), kZack);
    unsigned char end[4];
    ScriptedPeer::PositionToHeader(2, end);
    sender.SendBinaryHeader(kZeof, end);
    ASSERT_EQ(sender.ReadFrameHeader(OnHeaderError::Return), kZrinit);
    sender.SendHexHeader(kZfin, none.data());
    ASSERT_EQ(sender.ReadFrameHeader(OnHeaderError::Return), kZfin);
    wire.FeedNear("OO");
    EXPECT_EQ(JoinReceiver(), 0);
    EXPECT_EQ(TempDir::ReadFile(dir.Path() / "in/what___now_.txt"), "ok");
    EXPECT_NE(std::find(status.names.begin(), status.names.end(), "what___now_.txt"),
              status.names.end());
    EXPECT_EQ(std::find(status.names.begin(), status.names.end(), "what?*<now>.txt"),
              status.names.end());
}

TEST_F(ZmodemJobSetup, ACallerWhoNeverStartsASenderIsGivenUpAfterTwoMinutes) {
    platform::ScopedTimeAcceleration faster(2000.0);
    const std::uint32_t start = platform::GetTickCount();
    EXPECT_EQ(prototest::RunReceivingZmodem(wire.nearSerial.get(), &status, dir / "in"), kTimedOut);
    EXPECT_TRUE(status.Traced("GetFileName: no ZMODEM frame from the caller"));
    EXPECT_LT(platform::TicksSince(start), 200000u); // not the 310 s of silences
    EXPECT_EQ(status.errors, 0);
}

TEST_F(ZmodemJobSetup, ASenderThatFellSilentTimesOutAfterTheThirtyFirstSilence) {
    platform::ScopedTimeAcceleration faster(2000.0);
    RecordingStatus senderStatus;
    ScriptedPeer sender(wire.farSerial.get(), &senderStatus);
    std::array<unsigned char, 4> none{};
    StartReceiver();
    ASSERT_EQ(sender.ReadFrameHeader(OnHeaderError::Return), kZrinit);
    sender.SendHexHeader(kZrqinit, none.data());
    EXPECT_EQ(JoinReceiver(), kTimedOut);
    EXPECT_GE(status.CountOf("GetFileName: sending RINIT"), 31);
    EXPECT_FALSE(status.Traced("GetFileName: no ZMODEM frame from the caller"));
    EXPECT_EQ(status.errors, 0);
}

TEST_F(ZmodemJobSetup, SenderSilentInMidFileIsAskedAgainUntilTheJobStops) {
    platform::ScopedTimeAcceleration faster(500.0);
    StartReceiver();
    RecordingStatus senderStatus;
    ScriptedPeer sender(wire.farSerial.get(), &senderStatus);
    sender.SetReceiverCapabilities(kCanFcs32, 0);
    std::array<unsigned char, 4> none{};
    ASSERT_EQ(sender.ReadFrameHeader(OnHeaderError::Return), kZrinit);
    const std::string info("quiet.bin\0"
                           "5000 0",
                           16);
    sender.SendBinaryHeader(kZfile, none.data());
    std::memcpy(sender.DataBuffer(), info.data(), info.size());
    sender.SendDataSubpacket(static_cast<int>(info.size()), kZcrcw);
    // The first ZRPOS answers the offer; the next ones answer the silence. Far more than the
    // retry limit of them come without the job giving up on its own.
    sender.SetRetryLimit(1000);
    int asked = 0;
    for (int reads = 0; reads < 100 && asked < 15; ++reads) {
        int type = sender.ReadFrameHeader(OnHeaderError::Return);
        if (type >= 0) {
            ASSERT_EQ(type, kZrpos);
            ++asked;
        }
    }
    EXPECT_EQ(asked, 15);
    status.abortAnswer = kUserCancelled;
    EXPECT_EQ(JoinReceiver(), kUserCancelled);
    EXPECT_EQ(status.filesDone, 0);
}
