// Our sender against our receiver with exactly one frame damaged or dropped: every frame of
// a session, in the direction it travels, in runs of one, two and three files so that the
// file boundaries are covered. The oracle is the user's: every file arrives byte-identical,
// or the run ends with a failure; a file is never counted as received or sent unless it is
// whole, and no run outlasts the protocol's time-outs.
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
#include "tests/support/ZmodemFaultTap.h"

using namespace protocol;
using namespace comm;
using prototest::LinkPair;
using prototest::Pattern;
using prototest::RecordingStatus;
using prototest::Watchdog;
using testsupport::Fault;
using testsupport::FrameKindName;
using testsupport::TempDir;
using testsupport::ZmodemFaultTap;
namespace ts = testsupport;

namespace {

constexpr int kZrqinit = 0, kZrinit = 1, kZack = 3, kZfile = 4, kZfin = 8, kZrpos = 9, kZdata = 10,
              kZeof = 11;

struct FaultCase {
    int files;
    bool fromSender; // the fault is on what the sender writes
    int kind;
    int occurrence;
    Fault fault;
    // A first damaged data subpacket, so that the restart frames (ZCRCW, ZACK) exist.
    bool afterRestart{false};
};

std::string CaseName(const FaultCase& c) {
    std::string name = std::to_string(c.files) + "files_" + (c.fromSender ? "S2R_" : "R2S_") +
                       (c.fault == Fault::kDrop ? "drop_" : "damage_") + FrameKindName(c.kind) +
                       "_" + std::to_string(c.occurrence);
    return name;
}

std::vector<FaultCase> Matrix() {
    std::vector<FaultCase> cases;
    for (int files = 1; files <= 3; ++files) {
        for (Fault fault : {Fault::kDamage, Fault::kDrop}) {
            auto add = [&](bool fromSender, int kind, int occurrences, bool restart = false) {
                for (int n = 0; n < occurrences; ++n)
                    cases.push_back({files, fromSender, kind, n, fault, restart});
            };
            // What the sender writes.
            add(true, kZrqinit, 1);
            add(true, kZfile, files);
            add(true, ts::kKindFileInfo, files);
            add(true, kZdata, files);
            add(true, ts::kKindZcrcg, std::min(4, 2 * files));
            add(true, ts::kKindZcrce, files);
            add(true, kZeof, files);
            add(true, kZfin, 1);
            add(true, ts::kKindOverAndOut, 1);
            add(true, ts::kKindZcrcw, 1, true);
            // What the receiver writes.
            add(false, kZrinit, files + 1);
            add(false, kZrpos, files);
            add(false, kZfin, 1);
            add(false, kZack, 1, true);
        }
    }
    return cases;
}

class FaultMatrix : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, EveryFileArrivesWholeOrTheRunFails) {
    const FaultCase& c = GetParam();
    platform::ScopedTimeAcceleration fast{20.0};
    TempDir dir;
    LinkPair wire;
    const std::vector<std::pair<std::string, std::string>> all = {{"first.bin", Pattern(3000, 1)},
                                                                  {"second.bin", Pattern(6000, 2)},
                                                                  {"third.bin", Pattern(2500, 3)}};
    std::string list;
    for (int i = 0; i < c.files; ++i)
        list += "|" + dir.WriteFile("out/" + all[i].first, all[i].second);
    std::filesystem::create_directories(dir.Path() / "in");

    // The far end sends, the near end receives.
    auto senderTap = std::make_shared<ZmodemFaultTap>();
    auto receiverTap = std::make_shared<ZmodemFaultTap>();
    (c.fromSender ? senderTap : receiverTap)->Also(c.kind, c.occurrence, c.fault);
    if (c.afterRestart)
        senderTap->Also(ts::kKindZcrcg, 0, Fault::kDamage);
    wire.farLink->SetTap(senderTap);
    wire.nearLink->SetTap(receiverTap);

    RecordingStatus sendStatus, receiveStatus;
    int sent = 1, received = 1;
    const std::uint32_t start = platform::GetTickCount();
    {
        Watchdog watchdog(sendStatus, receiveStatus, std::chrono::seconds(60));
        std::thread peer([&] {
            auto job = MakeSendingZmodem(wire.farSerial.get(), &sendStatus);
            sent = job.transfer->Send(list.c_str());
        });
        received = prototest::RunReceivingZmodem(wire.nearSerial.get(), &receiveStatus, dir / "in");
        peer.join();
        ASSERT_FALSE(watchdog.fired) << "the run did not end by itself";
    }
    const long elapsed = static_cast<long>(platform::TicksSince(start));
    EXPECT_TRUE(senderTap->Fired() && receiverTap->Fired()) << "the fault found no frame";

    // No file is counted as received or as sent unless it arrived whole.
    ASSERT_LE(receiveStatus.filesDone, c.files);
    ASSERT_LE(sendStatus.filesDone, receiveStatus.filesDone);
    for (int i = 0; i < receiveStatus.filesDone; ++i) {
        std::filesystem::path path = dir.Path() / "in" / all[i].first;
        ASSERT_TRUE(std::filesystem::exists(path)) << all[i].first;
        EXPECT_EQ(TempDir::ReadFile(path), all[i].second) << all[i].first << " counted but wrong";
    }
    if (sent == 0 && received == 0) {
        EXPECT_EQ(receiveStatus.filesDone, c.files);
        EXPECT_EQ(sendStatus.filesDone, c.files);
    }
    // One fault on an otherwise clean line is recovered from, and quickly: a few of the
    // ten-second waits at most.
    EXPECT_EQ(sent, 0) << "sender";
    EXPECT_EQ(received, 0) << "receiver";
    EXPECT_EQ(receiveStatus.filesDone, c.files);
    EXPECT_LT(elapsed, 60000) << "accelerated milliseconds";
    if (elapsed > 15000)
        std::printf("slow: %s %ld ms\n", CaseName(c).c_str(), elapsed);
}

INSTANTIATE_TEST_SUITE_P(OneFrame, FaultMatrix, testing::ValuesIn(Matrix()),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                             return CaseName(info.param);
                         });

} // namespace
