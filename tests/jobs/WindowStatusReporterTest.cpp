// The progress records the reporter posts to its window, on a clock the test moves by hand, and
// its answer to the protocol's question whether to stop.
#include "jobs/WindowStatusReporter.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "jobs/JobContext.h"
#include "jobs/JobStatusBlock.h"
#include "tests/jobs/JobRig.h"

using namespace jobs;

namespace {

struct WindowStatusReporterTest : testing::Test {
    WindowStatusReporterTest() { reporter.SetWindow(window); }

    // One poll of the protocol at the given clock time.
    void Poll(std::uint32_t at, const std::string& file, int position, int filesDone = 0) {
        now = at;
        reporter.fileName = file;
        reporter.position = position;
        reporter.filesDone = filesDone;
        reporter.fileSize = 200000;
        EXPECT_EQ(reporter.Progress(0), 0);
    }

    std::vector<ProgressRecord> Records() {
        std::vector<ProgressRecord> records;
        while (auto message = window->TryTake()) {
            EXPECT_EQ(message->id, WM_JOB_PROGRESS);
            auto* record = dynamic_cast<ProgressRecord*>(message->payload.get());
            EXPECT_NE(record, nullptr);
            if (record)
                records.push_back(*record);
        }
        return records;
    }

    std::uint32_t now{0};
    std::shared_ptr<platform::MessageQueue> window{std::make_shared<platform::MessageQueue>()};
    WindowStatusReporter reporter{[this] { return now; }};
};

} // namespace

TEST_F(WindowStatusReporterTest, ResumeOffsetIsReportedOnceAndOnlyAboveTheThreshold) {
    struct Case {
        int start;
        int expected;
    } cases[] = {{0, 0}, {120000, 120000}, {4000, 0}, {5001, 5001}};
    for (const Case& c : cases) {
        WindowStatusReporter fresh{[this] { return now; }};
        fresh.SetWindow(window);
        fresh.fileName = "report.doc";
        // The protocol polls at every 1024-byte subpacket, ten times a second.
        for (int poll = 0; poll < 25; ++poll) {
            now = 100000 + static_cast<std::uint32_t>(poll) * 100;
            fresh.position = c.start + poll * 1024;
            fresh.Progress(0);
        }
        std::vector<ProgressRecord> records = Records();
        ASSERT_EQ(records.size(), 3u) << c.start;
        EXPECT_EQ(records[0].position, c.start);
        EXPECT_EQ(records[0].resumeOffset, c.expected) << c.start;
        EXPECT_EQ(records[1].resumeOffset, 0) << c.start;
        EXPECT_EQ(records[2].resumeOffset, 0) << c.start;
        EXPECT_EQ(records[0].fileName, "report.doc");
        EXPECT_EQ(records[0].resetFlag, 0);
    }
}

TEST_F(WindowStatusReporterTest, NewFilePostsAtOnce) {
    Poll(5000, "a.txt", 0);
    Poll(5100, "a.txt", 100);
    Poll(5200, "b.txt", 0, 1);
    Poll(5300, "b.txt", 100, 1);
    EXPECT_FALSE(reporter.CurrentFileFinished());
    Poll(5400, "b.txt", 100, 2); // the second file finished
    reporter.filesSkipped = 1;   // and the receiver skipped the third at once
    Poll(5450, "b.txt", 100, 2);
    std::vector<ProgressRecord> records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[3].filesSkipped, 1);
    EXPECT_EQ(records[0].fileName, "a.txt");
    EXPECT_EQ(records[1].fileName, "b.txt");
    EXPECT_EQ(records[1].filesDone, 1);
    EXPECT_EQ(records[2].filesDone, 2);
    EXPECT_EQ(reporter.CurrentFileName(), "b.txt");
    EXPECT_TRUE(reporter.CurrentFileFinished());
    // The next connection cycle counts afresh: a resumed file is not finished yet.
    reporter.ResetStatus(protocol::kDirectionSend);
    Poll(5500, "b.txt", 0, 0);
    EXPECT_FALSE(reporter.CurrentFileFinished());
}

TEST_F(WindowStatusReporterTest, PollsEvery100MsGiveAboutOneRecordASecond) {
    for (int i = 0; i <= 100; ++i)
        Poll(20000 + static_cast<std::uint32_t>(i) * 100, "big.bin", i * 1000);
    std::vector<ProgressRecord> records = Records();
    // Ten seconds of polls: a record at the start, then the first poll after each second.
    EXPECT_GE(records.size(), 9u);
    EXPECT_LE(records.size(), 11u);
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_GE(records[i].position - records[i - 1].position, 10000);
}

TEST_F(WindowStatusReporterTest, FirstPollPostsWhateverTheClockSays) {
    Poll(0, "<None>", 0);
    EXPECT_EQ(Records().size(), 1u);
}

TEST_F(WindowStatusReporterTest, LongFileNameIsKeptWholeAndStillThrottled) {
    std::string longName = "/home/ann/" + std::string(400, 'n') + "/report.txt";
    Poll(1000, longName, 0);
    Poll(1100, longName, 10);
    Poll(1200, longName, 20);
    std::vector<ProgressRecord> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fileName, longName);
}

TEST_F(WindowStatusReporterTest, RecordCarriesTheStatusRecord) {
    reporter.statusCode = comm::kTimedOut;
    reporter.errors = 3;
    now = 7000;
    reporter.fileName = "x";
    reporter.fileSize = 1234;
    reporter.position = 99;
    EXPECT_EQ(reporter.Progress(comm::kTimedOut), comm::kTimedOut);
    auto message = window->TryTake();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->first, comm::kTimedOut);
    auto* record = dynamic_cast<ProgressRecord*>(message->payload.get());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->statusCode, comm::kTimedOut);
    EXPECT_EQ(record->errors, 3);
    EXPECT_EQ(record->fileSize, 1234);
    EXPECT_EQ(record->position, 99);
}

TEST_F(WindowStatusReporterTest, GoneWindowLosesTheRecordQuietly) {
    window.reset();
    Poll(1000, "a", 0);
    Poll(3000, "a", 10);
}

TEST(WindowStatusReporter, StopAndLostCarrierStopTheProtocolALateDialNowDoesNot) {
    JobRequests requests;
    WindowStatusReporter reporter;
    EXPECT_EQ(reporter.AbortRequested(), 0) << "no job's requests: runs to its end";
    reporter.WatchRequests(&requests);
    EXPECT_EQ(reporter.AbortRequested(), 0);
    EXPECT_TRUE(requests.RaiseCarrierLost());
    EXPECT_EQ(reporter.AbortRequested(), comm::kUserCancelled) << "lost carrier";
    requests.RequestStop();
    EXPECT_EQ(reporter.AbortRequested(), comm::kUserCancelled) << "Stop";
    requests.Clear();
    EXPECT_TRUE(requests.RequestDialNow());
    EXPECT_EQ(reporter.AbortRequested(), 0);
    // Another job's Stop stops that job's transfer, not this one's.
    requests.Clear();
    JobRequests other;
    WindowStatusReporter otherReporter;
    otherReporter.WatchRequests(&other);
    other.RequestStop();
    EXPECT_EQ(otherReporter.AbortRequested(), comm::kUserCancelled);
    EXPECT_EQ(reporter.AbortRequested(), 0);
}

TEST(JobNotifications, ResetRecordAndStatusMessages) {
    auto window = std::make_shared<platform::MessageQueue>();
    EXPECT_TRUE(PostResetRecord(window));
    JobStatusBlock block(window);
    SetJobStatus(block, kStatusConnected);
    EXPECT_EQ(block.CurrentStatus(), kStatusConnected);

    auto reset = window->TryTake();
    ASSERT_TRUE(reset);
    EXPECT_EQ(reset->id, 1325u);
    EXPECT_EQ(reset->first, 0);
    auto* record = dynamic_cast<ProgressRecord*>(reset->payload.get());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->resetFlag, 1);

    auto status = window->TryTake();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->id, 1324u);
    EXPECT_EQ(status->first, kStatusConnected);
    EXPECT_EQ(status->second, 0);

    PostCallWaitDone(block, kCallAnswered);
    PostJobDone(block);
    auto waitDone = window->TryTake();
    ASSERT_TRUE(waitDone);
    EXPECT_EQ(waitDone->id, 1327u);
    EXPECT_EQ(waitDone->second, kCallAnswered);
    auto done = window->TryTake();
    ASSERT_TRUE(done);
    EXPECT_EQ(done->id, 1326u);

    window.reset();
    EXPECT_FALSE(PostResetRecord(block.Window()));
    PostJobDone(block); // nobody to tell: nothing happens
}

TEST_F(WindowStatusReporterTest, RecordsCarryTheCarrierTheWorkerSaw) {
    Poll(5000, "a.txt", 0);
    int carrier = 1;
    reporter.SetCarrierProbe([&] { return carrier; });
    Poll(6100, "a.txt", 100);
    carrier = 0;
    Poll(7200, "a.txt", 200);
    std::vector<ProgressRecord> records = Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].carrier, -1); // no probe: not known
    EXPECT_EQ(records[1].carrier, 1);
    EXPECT_EQ(records[2].carrier, 0);
}

TEST_F(WindowStatusReporterTest, ASendersRecordsCountOnlyWhatTheLineHasCarried) {
    long queued = 8192;
    reporter.SetQueueProbe([&] { return queued; });
    reporter.direction = protocol::kDirectionSend;
    Poll(5000, "a.txt", 20000);
    Poll(6100, "a.txt", 5000); // more queued than sent of this file
    queued = 0;
    reporter.unsent = 700; // part of a subpacket still waiting for room
    Poll(7200, "a.txt", 30000);
    reporter.unsent = 0;
    reporter.direction = protocol::kDirectionReceive; // a receiver's bytes have arrived
    queued = 8192;
    Poll(8300, "a.txt", 40000);
    std::vector<ProgressRecord> records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].position, 20000 - 8192);
    EXPECT_EQ(records[1].position, 0);
    EXPECT_EQ(records[2].position, 30000 - 700);
    EXPECT_EQ(records[3].position, 40000);
}

// The rules between a job's requests: Stop is final, a lost carrier is raised only over
// nothing, Dial Now is made over anything but Stop, and each take-back takes only its own.
TEST(JobRequests, StopIsFinalAndEachTakeBackTakesOnlyItsOwn) {
    using Request = JobRequests::Request;
    JobRequests r;
    EXPECT_TRUE(r.RaiseCarrierLost());
    EXPECT_FALSE(r.RaiseCarrierLost());
    EXPECT_FALSE(r.TakeBackDialNow());
    EXPECT_EQ(r.Current(), Request::CarrierLost);
    EXPECT_TRUE(r.RequestDialNow()) << "a press during the carrier's take-back is not lost";
    EXPECT_FALSE(r.TakeBackCarrierLost());
    EXPECT_TRUE(r.TakeBackDialNow());
    EXPECT_FALSE(r.Any());
    r.RequestStop();
    EXPECT_FALSE(r.RequestDialNow());
    EXPECT_FALSE(r.RaiseCarrierLost());
    EXPECT_FALSE(r.TakeBackCarrierLost());
    EXPECT_TRUE(r.StopRequested());
    EXPECT_TRUE(r.TransferStopRequested());
    r.Clear();
    EXPECT_FALSE(r.TransferStopRequested());
}
