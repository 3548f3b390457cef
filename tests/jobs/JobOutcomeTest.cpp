// Every row of the outcome and error tables, through the decision function.
#include "jobs/JobOutcome.h"
#include "jobs/ArrivalNotice.h"

#include <vector>

#include <gtest/gtest.h>

#include "jobs/JobStatusBlock.h"
#include "platform/ResourceStrings.h"

using namespace jobs;

namespace {

JobEnd Send(int result, int error = 0, int status = 0, int files = 1, int records = 1) {
    return JobEnd{true, files, result, error, status, records, {}};
}
JobEnd Receive(int result, int error = 0, int status = 0, int files = 1, int records = 1) {
    return JobEnd{false, files, result, error, status, records, {}};
}

struct Row {
    const char* name;
    JobEnd end;
    int expectedId;
    MessageKind kind;
};

} // namespace

TEST(JobOutcome, EveryRowChoosesItsMessage) {
    const Row rows[] = {
        {"one file sent", Send(0, 0, 0, 1), 50200, MessageKind::MessageBox},
        {"three files sent", Send(0, 0, 0, 3), 50201, MessageKind::MessageBox},
        {"received", Receive(0, 0, 0, 2), 50205, MessageKind::FilesReceived},
        {"received one", Receive(0, 0, 0, 1), 50204, MessageKind::FilesReceived},
        {"no answer", Send(1), 50202, MessageKind::MessageBox},
        {"busy", Send(5), 50226, MessageKind::MessageBox},
        {"retries exhausted", Send(8), 50237, MessageKind::MessageBox},
        {"no carrier", Send(3, 4, 50001), 50230, MessageKind::MessageBox},
        {"no dialtone", Send(3, 5, 50001), 50224, MessageKind::MessageBox},
        {"ringing", Send(3, 8, 50001), 50225, MessageKind::MessageBox},
        {"remote cancel", Receive(3, -914, 50004), 50210, MessageKind::TimedMessage},
        {"init failed", Send(3, 3, 50000), 50209, MessageKind::MessageBox},
        {"never started", Receive(3, -802, 50003, 0, 0), 50232, MessageKind::TimedMessage},
        {"extra settings", Send(3, 3, 50015), 50227, MessageKind::MessageBox},
        {"port missing", Send(3, -828, 50016), 50241, MessageKind::MessageBox},
        {"port in use", Send(3, -838, 50016), 50228, MessageKind::MessageBox},
        {"other failure", Send(3, 102, 50004), 50203, MessageKind::MessageBox},
    };
    for (const Row& row : rows) {
        OutcomeMessage m = ShowJobOutcome(row.end);
        EXPECT_EQ(m.stringId, row.expectedId) << row.name;
        EXPECT_EQ(m.kind, row.kind) << row.name;
        // 50205 names the files received; 50228 the program holding the port, here none.
        const std::string insert = row.expectedId == 50205 ? std::to_string(row.end.files) : "";
        const std::string text =
            platform::FormatMessage1(platform::LoadResourceString(row.expectedId), insert);
        EXPECT_EQ(m.text.rfind(text, 0), 0u) << row.name;
    }
    EXPECT_EQ(ShowJobOutcome(Receive(0, 0, 0, 2)).text.rfind("Sendari received 2 files.\n", 0), 0u);
}

TEST(JobOutcome, StoppedJobsShowNothing) {
    EXPECT_EQ(ShowJobOutcome(Send(4)).kind, MessageKind::None);
    EXPECT_EQ(ShowJobOutcome(Send(3, -901, 50004)).kind, MessageKind::None);
    EXPECT_EQ(ShowJobOutcome(Receive(3, -901, 50003, 0, 0)).kind, MessageKind::None);
}

TEST(JobOutcome, HangUpDuringTheIdentificationIsSilentOnlyForTheReceiver) {
    EXPECT_EQ(ShowJobOutcome(Receive(3, -990, 50013, 0, 0)).kind, MessageKind::None);
    OutcomeMessage sender = ShowJobOutcome(Send(3, -990, 50013, 0, 0));
    EXPECT_NE(sender.text.find("Lost carrier signal (-990)"), std::string::npos) << sender.text;
}

TEST(JobOutcome, TimeOutAfterAFileRecordIsAnOrdinaryFailureWithTheCommunicationLine) {
    OutcomeMessage m = ShowJobOutcome(Receive(3, -802, 50003, 1, 1));
    EXPECT_EQ(m.stringId, 50203);
    EXPECT_EQ(m.text, std::string(platform::LoadResourceString(50203)) +
                          "\nCommunication Error: Timed out (-802)");
    EXPECT_EQ(m.icon, MessageIcon::Warning);
}

TEST(JobOutcome, PositiveErrorCodesGetNoCommunicationLine) {
    OutcomeMessage m = ShowJobOutcome(Send(3, 102, 50004));
    EXPECT_EQ(m.text, platform::LoadResourceString(50203));
}

TEST(JobOutcome, ErrorCodeDecidesBeforeThePhase) {
    // A NO CARRIER during modem initialisation is still explained as a failed connection.
    EXPECT_EQ(ShowJobOutcome(Send(3, 4, 50000)).stringId, 50230);
    // The carrier-lost code has no text; the line still names the code.
    OutcomeMessage m = ShowJobOutcome(Send(3, -929, 50004));
    EXPECT_NE(m.text.find("Communication Error:  (-929)"), std::string::npos);
}

// ---- Presenting from the status block ----

namespace {

struct PresenterTest : testing::Test {
    PresenterTest() {
        SetOutcomePresenter([this](const OutcomeMessage& m) { shown.push_back(m); });
    }
    ~PresenterTest() override { SetOutcomePresenter({}); }

    std::vector<OutcomeMessage> shown;
    JobStatusBlock block;
};

} // namespace

TEST_F(PresenterTest, ReceiverFailureIsPresentedOnceAsTimedMessage) {
    block.SetCurrentStatus(50003);
    block.StoreError(-802);
    OutcomeMessage m = ShowJobOutcome(false, 0, block);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].stringId, 50232);
    EXPECT_EQ(shown[0].kind, MessageKind::TimedMessage);
    EXPECT_EQ(m.stringId, 50232);
}

TEST_F(PresenterTest, SenderSuccessIsAMessageBoxAndAStopShowsNothing) {
    ShowJobOutcome(true, 3, block);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].stringId, 50201);
    EXPECT_EQ(shown[0].kind, MessageKind::MessageBox);

    block.finalResult = kJobAborted;
    EXPECT_EQ(ShowJobOutcome(true, 3, block).kind, MessageKind::None);
    block.SetCurrentStatus(50002);
    block.StoreError(-901);
    EXPECT_EQ(ShowJobError(true, block).kind, MessageKind::None);
    EXPECT_EQ(shown.size(), 1u);
}

TEST_F(PresenterTest, ErrorPresentsTheCommunicationLine) {
    block.fileRecords = 1;
    block.SetCurrentStatus(50002);
    block.StoreError(-907);
    OutcomeMessage m = ShowJobError(true, block);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(m.stringId, 50203);
    EXPECT_NE(m.text.find("(-907)"), std::string::npos);
}

TEST(JobOutcome, ASendThatCouldNotReadEveryFileSaysWhichAndIsNoSuccess) {
    JobEnd end = Send(0, 0, 0, 2, 3);
    end.refused = {"gone.txt", "locked.bin"};
    OutcomeMessage m = ShowJobOutcome(end);
    EXPECT_EQ(m.stringId, 50242);
    EXPECT_EQ(m.icon, MessageIcon::Warning);
    EXPECT_NE(m.text.find("gone.txt, locked.bin could not be read"), std::string::npos) << m.text;
}

// The tray's notice after a call: the caller and the files that arrived whole, never a file
// that failed, and nothing at all for a call that brought none.
TEST(ArrivalNotice, NamesTheCallerAndWhatArrived) {
    auto record = [](std::string path, int failed, std::string peer = "Lighthouse") {
        data::FileRecord r;
        r.path = std::move(path);
        r.failed = failed;
        r.isReceive = 1;
        r.peer = std::move(peer);
        return r;
    };
    std::vector<data::FileRecord> call{
        record("/in/Received 12-10-2026/one.bin", data::kRecordSuccessful),
        record("/in/Partially Received Files/big.bin", data::kRecordFailed),
        record("/in/Received 12-10-2026/two.bin", data::kRecordSuccessful)};
    std::optional<ArrivalNotice> notice = ArrivalNoticeFor(call);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->title, "Files received from Lighthouse");
    EXPECT_EQ(notice->body, "one.bin, two.bin");

    for (const char* name : {"c.txt", "d.txt", "e.txt"})
        call.push_back(record(std::string("/in/R/") + name, data::kRecordSuccessful));
    EXPECT_EQ(ArrivalNoticeFor(call)->body, "one.bin, two.bin, c.txt and 2 more");

    EXPECT_FALSE(ArrivalNoticeFor({record("/in/P/big.bin", data::kRecordFailed)}));
    EXPECT_FALSE(ArrivalNoticeFor({}));

    // A caller without a name, and one whose name would break the notice into lines.
    EXPECT_EQ(ArrivalNoticeFor({record("/in/R/a", data::kRecordSuccessful, "")})->title,
              "Files received from an unnamed station");
    EXPECT_EQ(
        ArrivalNoticeFor({record("/in/R/a", data::kRecordSuccessful, "Quay\nBank: pay")})->title,
        "Files received from QuayBank: pay");
    const std::string longName(300, 'x');
    EXPECT_EQ(ArrivalNoticeFor({record("/in/R/" + longName, data::kRecordSuccessful)})->body,
              std::string(64, 'x') + "\u2026");
}
