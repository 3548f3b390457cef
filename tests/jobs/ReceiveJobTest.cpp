// The receive side's workers against a scripted modem on a loopback link: ring counting and
// answering, a modem that answers by itself, and receive jobs that end without files.
#include "jobs/ReceiveJob.h"

#include "jobs/FiledCopies.h"

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comm/ComLink.h"
#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "jobs/JobOutcome.h"
#include "platform/Clock.h"
#include "tests/jobs/JobRig.h"
#include "tests/support/TempDir.h"

using namespace jobs;

namespace {

constexpr const char* kRing = "\r\nRING\r\n";

struct ReceiveJobTest : testing::Test, jobtest::RigAndPeer {
    ReceiveJobTest() {
        peer.SetDefaultReply("\r\nOK\r\n");
        settings.answerAfterRings = 3;
        rig.context.settings = &settings;
        rig.context.receiveFolder = temp.Path().string();
        pair.first->SetModemLine(comm::kLineDcd, true);
    }

    // Starts the wait for a call on its own thread, as the waiting dialog does.
    std::thread StartWaiting() {
        rig.context.requests.Clear();
        rig.block.SetCurrentStatus(0);
        return std::thread([this] { WaitForCallThread(parameter); });
    }

    // Waits (real time) until the worker reports `status` as current.
    bool ReachStatus(int status) {
        for (int i = 0; i < 1000; ++i) {
            if (rig.block.CurrentStatus() == status)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    int CallWaitResult() {
        while (auto message = rig.window->Wait(10000))
            if (message->id == WM_CALL_WAIT_DONE)
                return static_cast<int>(message->second);
        // Nothing came: stop the worker so that the test can end.
        rig.context.requests.RequestStop();
        return -1;
    }

    // Waits (real time) a little for the answer command to reach the modem.
    bool AnswerArrives() const {
        for (int i = 0; i < 400 && !Answered(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return Answered();
    }

    bool Answered() const {
        for (const auto& line : peer.Lines())
            if (line.text == "ATA")
                return true;
        return false;
    }

    // Runs a receive job in a transfer window to its end.
    JobEnd RunReceiveJob() {
        TransferWindowLogic window(ReceiveJobThread, rig.context, nullptr);
        window.SetLogPath(temp / "TRANSLOG.TXT");
        window.Open();
        window.Start();
        window.RunModal();
        return window.Block().End(false, window.ShownFilesDone());
    }

    // The modem connected when the rings were counted; the job goes straight to the caller.
    void ConnectedWhileRinging() {
        rig.context.connectedBeforeAnswer = 1;
        rig.context.connectResponse.code = kResponseConnect;
        rig.context.connectResponse.dceRate = 9600;
    }

    testsupport::TempDir temp;
    data::AppSettings settings;
    JobThreadParameter parameter{{}, &rig.block, &rig.context};
};

} // namespace

TEST_F(ReceiveJobTest, ThirdRingAfterALongSilenceIsAnswered) {
    platform::ScopedTimeAcceleration fast{60.0};
    std::thread waiting = StartWaiting();
    ASSERT_TRUE(ReachStatus(kStatusWaitingForRing));
    peer.Send(kRing);
    peer.Send(kRing);
    // Longer than one two-minute read: the rings so far still count.
    platform::Sleep(130000);
    EXPECT_FALSE(Answered());
    peer.Send(kRing);
    EXPECT_EQ(CallWaitResult(), kCallAnswered);
    waiting.join();
    EXPECT_TRUE(AnswerArrives());
    EXPECT_EQ(rig.context.connectedBeforeAnswer, 0);
}

TEST_F(ReceiveJobTest, ModemThatAnswersByItselfIsNotToldToAnswerAndTheNextCallIsCountedAgain) {
    platform::ScopedTimeAcceleration fast{10.0};
    std::thread waiting = StartWaiting();
    ASSERT_TRUE(ReachStatus(kStatusWaitingForRing));
    peer.Send(kRing);
    peer.Send("\r\nCONNECT 9600\r\n");
    EXPECT_EQ(CallWaitResult(), kCallAnswered);
    waiting.join();
    EXPECT_FALSE(Answered());
    EXPECT_EQ(rig.context.connectedBeforeAnswer, 1);
    EXPECT_EQ(rig.context.connectResponse.ConnectionSpeed(), 9600);

    settings.answerAfterRings = 1;
    waiting = StartWaiting();
    ASSERT_TRUE(ReachStatus(kStatusWaitingForRing));
    EXPECT_EQ(rig.context.connectedBeforeAnswer, 0);
    peer.Send(kRing);
    EXPECT_EQ(CallWaitResult(), kCallAnswered);
    waiting.join();
    EXPECT_TRUE(AnswerArrives());
}

TEST_F(ReceiveJobTest, UnexpectedLineWhileWaitingEndsTheWaitWithItsMessage) {
    platform::ScopedTimeAcceleration fast{10.0};
    std::thread waiting = StartWaiting();
    ASSERT_TRUE(ReachStatus(kStatusWaitingForRing));
    peer.Send("\r\nNO CARRIER\r\n");
    EXPECT_EQ(CallWaitResult(), kCallWaitFailed);
    waiting.join();
    OutcomeMessage shown = ShowJobError(rig.block.End(false, 0));
    EXPECT_EQ(shown.stringId, 50230);
}

TEST_F(ReceiveJobTest, CallerThatNeverStartsZmodemTimesOutWithItsOwnMessage) {
    platform::ScopedTimeAcceleration fast{100.0};
    ConnectedWhileRinging();
    JobEnd end = RunReceiveJob();
    EXPECT_EQ(end.finalResult, kJobFailed);
    EXPECT_EQ(end.errorCode, comm::kTimedOut);
    EXPECT_EQ(end.statusAtError, kStatusReceivingFiles);
    EXPECT_EQ(end.fileRecords, 0);
    EXPECT_EQ(ShowJobOutcome(end).stringId, 50232);
    // A person at a terminal was told what to do.
    EXPECT_NE(peer.Text().find("Start sending files using Zmodem now..."), std::string::npos);
}

TEST_F(ReceiveJobTest, RemoteCancelIsTheCancelMessage) {
    platform::ScopedTimeAcceleration fast{20.0};
    ConnectedWhileRinging();
    std::thread canceller([this] {
        // Once the receiver has asked for a file, the sender's user cancels.
        for (int i = 0; i < 2000 && peer.Text().find("B01") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        peer.Send(std::string(10, '\x18') + std::string(10, '\x08'));
    });
    JobEnd end = RunReceiveJob();
    canceller.join();
    EXPECT_EQ(end.errorCode, comm::kRemoteCancelled);
    EXPECT_EQ(ShowJobOutcome(end).stringId, 50210);
}

TEST(ReceiveFolderEngine, OffersAreStoredAndLookedUpInsideTheFolder) {
    testsupport::TempDir temp;
    const std::string folder = temp / "Partially Received Files";
    std::filesystem::create_directories(folder);
    ReceiveFolderEngine engine(folder);
    std::string name = "what?.txt";
    ASSERT_EQ(engine.Open(name, "wb"), 0);
    EXPECT_EQ(name, "what_.txt"); // the stored name, without the folder
    EXPECT_EQ(engine.Write("abc", 3), 3);
    engine.Close();
    EXPECT_EQ(testsupport::TempDir::ReadFile(folder + "/what_.txt"), "abc");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::current_path() / "what_.txt"));

    EXPECT_EQ(engine.Examine(engine.StoredName("what?.txt")).kind, protocol::LocalKind::File);
    EXPECT_EQ(engine.Examine("missing.txt").kind, protocol::LocalKind::None);
}

TEST_F(ReceiveJobTest, RingDuringInitialisationIsTriedAgainAtMostFiveTimes) {
    platform::ScopedTimeAcceleration fast{20.0};
    struct Case {
        int ringingInits;
        int expectedInits;
    } cases[] = {{2, 3}, {99, kInitialisationTries}};
    settings.answerAfterRings = 1;
    for (const Case& c : cases) {
        auto inits = std::make_shared<std::atomic<int>>(0);
        const std::string init = "ATX1 V1 S0=0";
        peer.On(init, kRing, [this, inits, init, c] {
            if (++*inits == c.ringingInits)
                peer.On(init, "\r\nOK\r\n");
        });
        std::size_t before = peer.Lines().size();
        std::thread waiting = StartWaiting();
        // After five rings the counting starts anyway: a call is coming in.
        ASSERT_TRUE(ReachStatus(kStatusWaitingForRing)) << c.ringingInits;
        EXPECT_EQ(rig.block.errorCode, 0);
        peer.Send(kRing);
        EXPECT_EQ(CallWaitResult(), kCallAnswered) << c.ringingInits;
        waiting.join();
        int sent = 0;
        auto lines = peer.Lines();
        for (std::size_t i = before; i < lines.size(); ++i)
            sent += lines[i].text == init ? 1 : 0;
        EXPECT_EQ(sent, c.expectedInits) << c.ringingInits;
    }
}

TEST(StationPartialFolder, OneFolderPerStationAndOneForEveryCallerWithoutAName) {
    testsupport::TempDir dir;
    const std::string partial = dir.Path().string();
    EXPECT_EQ(StationPartialFolder(partial, "Ann", "555-1234"), partial + "/Ann (555-1234)");
    EXPECT_EQ(StationPartialFolder(partial, "Ann", ""), partial + "/Ann");
    EXPECT_EQ(StationPartialFolder(partial, "", "555"), partial + "/(555)");
    // A name from the line never leaves the folder.
    EXPECT_EQ(StationPartialFolder(partial, "../x/y", ""), partial + "/.._x_y");
    // Callers without a name share one folder: what is resumed there is proven by its bytes.
    const std::string unknown = StationPartialFolder(partial, "", "");
    EXPECT_EQ(unknown, partial + "/Unknown caller");
    std::filesystem::create_directory(unknown);
    EXPECT_EQ(StationPartialFolder(partial, "", ""), partial + "/Unknown caller");
}

TEST(FiledCopies, ABrokenCallRemembersWhatItFiledByItsBytesAndACompleteOneForgetsIt) {
    testsupport::TempDir dir;
    const std::string station = dir.Path().string() + "/station";
    std::filesystem::create_directory(station);
    const std::string filed = dir.WriteFile("dated/report.bin", "whole");
    data::FileRecord done;
    done.failed = data::kRecordSuccessful;
    done.path = filed;
    data::FileRecord broken; // still in the station's folder: a partial copy
    broken.path = station + "/big.dat";
    const std::time_t now = 1800000000;
    RememberFiledCopies(station, {station + "/report.bin", station + "/big.dat"}, {done, broken},
                        false, now);
    std::vector<protocol::FiledFile> remembered = LoadFiledFiles(station, now + 60);
    ASSERT_EQ(remembered.size(), 1u);
    EXPECT_EQ(remembered[0].name, "report.bin");
    EXPECT_EQ(remembered[0].size, 5);
    EXPECT_EQ(remembered[0].crc, 0xc459294fu); // CRC-32 of "whole"
    EXPECT_EQ(remembered[0].filedAt, now);
    // Nothing in the station's folder leads to the filed file.
    for (const auto& entry : std::filesystem::directory_iterator(station))
        EXPECT_EQ(entry.path().filename(), kFiledListName);
    // The memory lasts a week, and a complete session ends it.
    EXPECT_TRUE(LoadFiledFiles(station, now + kFiledMemorySeconds + 1).empty());
    RememberFiledCopies(station, {}, {}, true, now);
    EXPECT_FALSE(std::filesystem::exists(station + "/" + kFiledListName));
    EXPECT_TRUE(std::filesystem::exists(filed));
}

TEST(FiledCopies, ADamagedOrHostileListIsReadOnlyAsFarAsItHoldsRecords) {
    testsupport::TempDir dir;
    const std::string station = dir.Path().string();
    const std::string victim = dir.WriteFile("victim.txt", "keep");
    std::string list = "report.bin\t" + victim +
                       "\n"                                     // a list of an older version
                       "../victim.txt\t5\t100\t0\t1800000000\n" // leaves the folder
                       "cut.bin\t5\t10\n"                       // cut short
                       "neg.bin\t-5\t100\t0\t1800000000\n"
                       "big.bin\t99999999999\t100\t0\t1800000000\n"
                       "late.bin\t5\t100\tzz\t1800000000\n"
                       "future.bin\t5\t100\t1\t1900000000\n"
                       "good.bin\t5\t100\tdeadbeef\t1800000000\n";
    for (std::size_t i = 0; i < kFiledMemoryEntries + 10; ++i)
        list += "many" + std::to_string(i) + "\t1\t1\t1\t1800000000\n";
    dir.WriteFile(kFiledListName, list);
    std::vector<protocol::FiledFile> remembered = LoadFiledFiles(station, 1800000100);
    ASSERT_EQ(remembered.size(), kFiledMemoryEntries);
    EXPECT_EQ(remembered.back().name, "many" + std::to_string(kFiledMemoryEntries + 9));
    dir.WriteFile(kFiledListName, list.substr(0, list.find("many")));
    remembered = LoadFiledFiles(station, 1800000100);
    ASSERT_EQ(remembered.size(), 1u);
    EXPECT_EQ(remembered[0].name, "good.bin");
    EXPECT_EQ(remembered[0].crc, 0xdeadbeefu);
    // A list far too long to be ours is not read at all, nor one that is a link or a FIFO.
    dir.WriteFile(kFiledListName, std::string(1 << 20, 'x') + "\n" + list);
    EXPECT_TRUE(LoadFiledFiles(station, 1800000100).empty());
    std::filesystem::remove(dir / kFiledListName);
    std::filesystem::create_symlink("/dev/zero", dir / kFiledListName);
    EXPECT_TRUE(LoadFiledFiles(station, 1800000100).empty());
    std::filesystem::remove(dir / kFiledListName);
    ASSERT_EQ(::mkfifo((dir / kFiledListName).c_str(), 0600), 0);
    EXPECT_TRUE(LoadFiledFiles(station, 1800000100).empty());
    EXPECT_EQ(testsupport::TempDir::ReadFile(victim), "keep");
}
