// Our sender against our receiver on a bad line: changed bytes in both directions and a
// receiver that stops taking data. Every file either arrives intact or the job ends with a
// failure; a damaged file is never passed off as received.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "protocol/ZmodemJob.h"
#include "tests/protocol/ProtocolTestSupport.h"
#include "tests/support/TempDir.h"

using namespace protocol;
using namespace comm;
using prototest::LinkPair;
using prototest::Pattern;
using prototest::RecordingStatus;
using prototest::Watchdog;
using testsupport::TempDir;

namespace {

struct NoiseFixture : testing::Test {
    NoiseFixture() {
        files = {{"random.bin", Pattern(150000, 11)},
                 {"small.txt", "a few bytes"},
                 {"escapes.bin", std::string(40000, '\x18')}};
        for (const auto& [name, data] : files)
            list += "|" + dir.WriteFile("out/" + name, data);
        std::filesystem::create_directories(dir.Path() / "in");
    }

    void Run() {
        Watchdog watchdog(sendStatus, receiveStatus, std::chrono::seconds(60));
        std::thread peer([this] {
            auto job = MakeSendingZmodem(wire.farSerial.get(), &sendStatus);
            sent = job.transfer->Send(list.c_str());
            sendDone = true;
        });
        received = prototest::RunReceivingZmodem(wire.nearSerial.get(), &receiveStatus, dir / "in");
        peer.join();
        EXPECT_FALSE(watchdog.fired) << "the transfer did not end by itself";
    }

    // A received file is the original, or (after a failure) a beginning of it that is not
    // counted as received.
    void ExpectNothingCorrupted() {
        int intact = 0;
        for (const auto& [name, data] : files) {
            std::filesystem::path path = dir.Path() / "in" / name;
            if (!std::filesystem::exists(path))
                continue;
            std::string got = TempDir::ReadFile(path);
            ASSERT_LE(got.size(), data.size()) << name;
            EXPECT_EQ(got, data.substr(0, got.size())) << name;
            intact += got == data;
        }
        EXPECT_LE(receiveStatus.filesDone, intact);
        if (received == 0) {
            EXPECT_EQ(receiveStatus.filesDone, static_cast<int>(files.size()));
        }
    }

    platform::ScopedTimeAcceleration fast{50.0};
    TempDir dir;
    LinkPair wire;
    std::vector<std::pair<std::string, std::string>> files;
    std::string list;
    RecordingStatus sendStatus, receiveStatus;
    std::atomic<int> sent{1};
    std::atomic<bool> sendDone{false};
    int received{1};
};

class LineNoise : public NoiseFixture, public testing::WithParamInterface<double> {};

} // namespace

TEST_P(LineNoise, FilesArriveIntactOrTheJobFails) {
    // Where the run must succeed, time runs slower: an acknowledgement that a busy machine
    // delays must not count as an error against the retry limit.
    platform::ScopedTimeAcceleration pace(GetParam() <= 1e-4 ? 5.0 : 50.0);
    wire.nearLink->SetFlipProbability(GetParam(), 5);
    wire.farLink->SetFlipProbability(GetParam(), 6);
    Run();
    RecordProperty("outcome", std::to_string(sent) + "/" + std::to_string(received) + " errors " +
                                  std::to_string(receiveStatus.errors));
    std::printf("sent %d received %d errors %d/%d files %d\n", sent.load(), received,
                sendStatus.errors, receiveStatus.errors, receiveStatus.filesDone);
    ExpectNothingCorrupted();
    if (GetParam() <= 1e-4) {
        // At this rate ZRPOS recovery always gets the files through.
        EXPECT_EQ(received, 0);
        EXPECT_EQ(sent, 0);
    }
    if (received == 0 && sent == 0) {
        EXPECT_GT(receiveStatus.errors, 0); // the noise was really there
    }
}

INSTANTIATE_TEST_SUITE_P(ByteErrorRates, LineNoise, testing::Values(1e-4, 1e-3));

using StalledReceiver = NoiseFixture;

TEST_F(StalledReceiver, SenderGivesUpAndNothingIsCountedAsReceived) {
    platform::ScopedTimeAcceleration faster(1000.0);
    // The receiver stops taking data in the middle of the first file: the sender's queue
    // fills up and stays full.
    wire.farLink->StallAfter(20000);
    std::thread stall([this] {
        // The receiving job ends the way the application ends it: by its stop check.
        while (!sendDone)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        receiveStatus.abortAnswer = kUserCancelled;
    });
    Run();
    stall.join();
    EXPECT_LT(sent, 0);
    EXPECT_EQ(received, kUserCancelled);
    // Files that were whole before the stall may count; the one cut short never does.
    EXPECT_LT(receiveStatus.filesDone, static_cast<int>(files.size()));
    ExpectNothingCorrupted();
}
