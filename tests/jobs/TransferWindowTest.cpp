// The transfer window's figures, file records, buttons, carrier watch and closing work, driven
// by hand-made job messages on a clock the test moves.
#include "jobs/TransferWindow.h"

#include <array>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/StatusCodes.h"
#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "data/MacBinary.h"
#include "data/UserMessages.h"
#include "jobs/WindowStatusReporter.h"
#include "tests/jobs/JobRig.h"
#include "tests/support/TempDir.h"

using namespace jobs;

using Request = JobRequests::Request;

namespace {

int NoJob(JobThreadParameter&) {
    return 0;
}

struct TransferWindowTest : testing::Test {
    void Make(bool send, std::vector<std::string> files = {}) {
        context.isSend = send ? 1 : 0;
        context.destinationName = "Anna Berg";
        context.destinationPhone = "5550101";
        context.receiveFolder = temp / "Partially Received Files";
        viewList = std::move(files);
        window = std::make_unique<TransferWindowLogic>(NoJob, context, send ? &viewList : nullptr,
                                                       [this] { return now; });
        window->SetCarrierProbe([this] { return carrier; });
        window->SetLogPath(temp / "TRANSLOG.TXT");
        window->Open();
    }

    void Progress(std::time_t at, const std::string& name, int filesDone, int size, int position,
                  int resumeOffset = 0, int status = 0, int errors = 0) {
        now = at;
        auto record = std::make_unique<ProgressRecord>();
        record->fileName = name;
        record->filesDone = filesDone;
        record->filesSkipped = skipped;
        record->fileSize = size;
        record->position = position;
        record->resumeOffset = resumeOffset;
        record->statusCode = status;
        record->errors = errors;
        record->carrier = reportedCarrier;
        window->HandleMessage({WM_JOB_PROGRESS, status, 0, std::move(record)});
    }

    void Status(int id, std::intptr_t detail = 0) {
        window->Block().SetCurrentStatus(id);
        window->HandleMessage({WM_JOB_STATUS, id, detail, nullptr});
    }

    void Reset() {
        auto record = std::make_unique<ProgressRecord>();
        record->resetFlag = 1;
        window->HandleMessage({WM_JOB_PROGRESS, 0, 0, std::move(record)});
    }

    std::string Text(int control) const { return window->ControlText(control); }

    testsupport::TempDir temp;
    int reportedCarrier{-1};
    int skipped{0}; // files the receiver skipped, carried by every record
    JobContext context;
    std::vector<std::string> viewList;
    std::time_t now{1000000};
    bool carrier{true};
    std::unique_ptr<TransferWindowLogic> window;
};

} // namespace

TEST_F(TransferWindowTest, OpeningTextsOfBothDirections) {
    Make(true, {"/f/a.txt", "/f/b.txt", "/f/c.txt"});
    EXPECT_EQ(window->Parameter().fileList, "/f/a.txt|/f/b.txt|/f/c.txt");
    EXPECT_EQ(window->Caption(), "Sending To: Anna Berg");
    EXPECT_EQ(Text(kControlStatusLine), "Starting");
    EXPECT_EQ(Text(kControlFiles), "Files remaining to be sent: 3");
    EXPECT_EQ(Text(kControlBytesLabel), "Bytes Sent:");
    EXPECT_EQ(Text(kControlElapsed), "--:--:--");
    EXPECT_EQ(Text(kControlBytes), "-- of --");
    EXPECT_EQ(Text(kControlSpeed), "-- cps (--% efficiency)");
    EXPECT_EQ(Text(kControlConnectSpeed), "-- bps");
    EXPECT_EQ(Text(kControlErrors), "--");
    EXPECT_EQ(Text(kControlStopButton), "Stop");

    Make(false);
    EXPECT_EQ(window->Caption(), "Receiving From: Unknown Sender");
    EXPECT_EQ(Text(kControlFiles), "Files Received:  --");
    EXPECT_EQ(Text(kControlBytesLabel), "Bytes Received:");
    context.peerUser = "Carl";
    Status(kStatusReceivingFiles);
    EXPECT_EQ(window->Caption(), "Receiving From: Carl");
}

TEST_F(TransferWindowTest, FiguresOfAMillionByteFileAtAQuarter) {
    Make(true, {"/f/big.bin"});
    context.connectSpeed = 28800;
    Status(kStatusConnected);
    EXPECT_EQ(Text(kControlStatusLine), "Connected at: 28800 bps");
    EXPECT_EQ(Text(kControlConnectSpeed), "28800 bps");

    Progress(1000000, "/f/big.bin", 0, 1000000, 0);
    EXPECT_EQ(Text(kControlStatusLine), "Sending: big.bin");
    EXPECT_EQ(Text(kControlTimeLeft), "--:--:--");
    Progress(1000100, "/f/big.bin", 0, 1000000, 250000);
    EXPECT_EQ(Text(kControlElapsed), "00:01:40");
    EXPECT_EQ(Text(kControlTimeLeft), "00:05:00");
    EXPECT_EQ(Text(kControlSpeed), "2500 cps (86% efficiency)");
    EXPECT_EQ(Text(kControlBytes), "250K of 1000K");
    EXPECT_EQ(window->ProgressBar(), 25);
}

TEST_F(TransferWindowTest, ResumedFileIsMeasuredFromItsOffset) {
    Make(false);
    context.connectSpeed = 28800;
    Progress(2000, "photo.jpg", 0, 1000000, 600000, 600000);
    EXPECT_EQ(Text(kControlStatusLine), "Receiving: photo.jpg");
    Progress(2050, "photo.jpg", 0, 1000000, 700000);
    EXPECT_EQ(Text(kControlSpeed), "2000 cps (69% efficiency)");
    EXPECT_EQ(Text(kControlBytes), "700K of 1000K");
    EXPECT_EQ(Text(kControlTimeLeft), "00:02:30");
    EXPECT_EQ(window->ProgressBar(), 70);
}

TEST_F(TransferWindowTest, MissingFiguresShowDashes) {
    Make(true, {"/f/empty.txt"});
    context.connectSpeed = 0;
    Progress(10, "/f/empty.txt", 0, 0, 0);
    Progress(20, "/f/empty.txt", 0, 0, 0);
    EXPECT_EQ(Text(kControlSpeed), "-- cps (--% efficiency)");
    EXPECT_EQ(Text(kControlBytes), "-- of ???");
    EXPECT_EQ(window->ProgressBar(), 0);

    // A connect speed so low that the best rate rounds to nothing is no division by zero.
    context.connectSpeed = 5;
    EXPECT_EQ(SpeedText(100, 0, 1000, 5), "-- cps (--% efficiency)");
    // Large files do not overflow the percentages.
    EXPECT_EQ(ProgressPercent(2000000000, 2100000000), 95);
    EXPECT_EQ(SpeedText(2000000000, 0, 100000000, 230400), "20000 cps (86% efficiency)");
    // A full line for 10.9 s reads 100 %, not the 109 % of whole seconds.
    EXPECT_EQ(SpeedText(2616, 0, 10900, 2400), "240 cps (100% efficiency)");
}

TEST_F(TransferWindowTest, FilesRemainingCountDownAndRecordsCloseByCount) {
    Make(true, {"/f/a.txt", "/f/b.txt", "/f/c.txt"});
    // Connected, and the other computer has not spoken yet: that is what the window waits for.
    Status(kStatusSendingFiles);
    EXPECT_EQ(Text(kControlStatusLine), "Sending Files: waiting for the other computer\u2026");
    Progress(100, "/f/a.txt", 0, 5000, 0);
    EXPECT_EQ(Text(kControlStatusLine), "Sending: a.txt");
    EXPECT_EQ(Text(kControlFiles), "Files remaining to be sent: 3");
    Progress(105, "/f/a.txt", 0, 5000, 5000);
    Progress(106, "/f/b.txt", 1, 7000, 0);
    EXPECT_EQ(Text(kControlFiles), "Files remaining to be sent: 2");
    EXPECT_EQ(Text(kControlStatusLine), "Sending: b.txt");
    Progress(110, "/f/c.txt", 2, 9000, 0);
    Progress(112, "/f/c.txt", 3, 9000, 9000);
    EXPECT_EQ(Text(kControlFiles), "Files remaining to be sent: 0");

    const auto& records = window->FileRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].path, "/f/a.txt");
    EXPECT_EQ(records[0].failed, data::kRecordSuccessful);
    EXPECT_EQ(records[0].duration, 6);
    EXPECT_EQ(records[0].peer, "Anna Berg");
    EXPECT_EQ(records[2].failed, data::kRecordSuccessful);
    EXPECT_EQ(window->Block().fileRecords, 3);

    window->HandleMessage({WM_JOB_DONE, 0, 0, nullptr});
    EXPECT_TRUE(window->Done());
    EXPECT_TRUE(viewList.empty());
    EXPECT_EQ(window->ShownFilesDone(), 3);
}

TEST_F(TransferWindowTest, APathLongerThanAnOldRecordIsLoggedAndTakenOffTheListWhole) {
    const std::string deep = "/f/" + std::string(200, 'd') + "/" + std::string(150, 'e') + ".txt";
    Make(true, {deep, "/f/never.txt"});
    Progress(100, deep, 0, 3000, 3000);
    Progress(102, deep, 1, 3000, 3000);
    window->HandleMessage({WM_JOB_DONE, 0, 0, nullptr});
    EXPECT_EQ(window->FileRecords()[0].path, deep);
    EXPECT_EQ(viewList, (std::vector<std::string>{"/f/never.txt"}));
    std::string log = testsupport::TempDir::ReadFile(temp / "TRANSLOG.TXT");
    EXPECT_NE(log.find("\tSuccessful\t3KB\t00:00:02\t" + deep + "\r\n"), std::string::npos) << log;
}

TEST_F(TransferWindowTest, FailedSecondFileAndAnnouncedOnlyFileInTheLog) {
    Make(true, {"/f/a.txt", "/f/b.txt", "/f/c.txt"});
    Progress(100, "/f/a.txt", 0, 3000, 3000);
    Progress(102, "/f/b.txt", 1, 40000, 0);
    Progress(110, "/f/b.txt", 1, 40000, 20480);
    // The link broke; the job starts again from the second file.
    window->Parameter().fileList = "/f/b.txt|/f/c.txt";
    Reset();
    EXPECT_EQ(Text(kControlBytes), "-- of --");
    EXPECT_EQ(window->FileCount(), 2);
    // The second cycle announces the file and fails again before any byte moves.
    Progress(200, "/f/b.txt", 0, 40000, 0);
    EXPECT_EQ(Text(kControlFiles), "Files remaining to be sent: 2");
    window->HandleMessage({WM_JOB_DONE, 0, 0, nullptr});

    std::string log = testsupport::TempDir::ReadFile(temp / "TRANSLOG.TXT");
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(log.substr(at, end - at));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("\ta.txt\tSending\tAnna Berg\tSuccessful\t3KB\t00:00:02\t/f/a.txt"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\tb.txt\tSending\tAnna Berg\tFailed\t20KB\t00:00:08\t"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("\tb.txt\tSending\tAnna Berg\tSkipped\t0KB\t00:00:00\t"),
              std::string::npos)
        << lines[2];
    // The failed file and the one that never began stay in the view's list, although the
    // second attempt at b.txt is logged as skipped: it never arrived.
    EXPECT_EQ(viewList, (std::vector<std::string>{"/f/b.txt", "/f/c.txt"}));
}

TEST_F(TransferWindowTest, OnlyAFileTheReceiverSkippedLeavesTheListWithTheSentOnes) {
    Make(true, {"/f/have.txt", "/f/sent.txt", "/f/unseen.txt", "/f/stopped.txt"});
    Progress(100, "/f/have.txt", 0, 3000, 0);
    skipped = 1; // the receiver has it already
    Progress(101, "/f/sent.txt", 0, 4000, 0);
    Progress(102, "/f/sent.txt", 0, 4000, 4000);
    // One record tells that sent.txt went through and that the next file, never named in a
    // record, was skipped.
    skipped = 2;
    Progress(103, "/f/stopped.txt", 1, 5000, 0);
    // Stop during the last offer.
    Progress(104, "/f/stopped.txt", 1, 5000, 0, 0, comm::kUserCancelled);
    window->HandleMessage({WM_JOB_DONE, 0, 0, nullptr});
    std::string log = testsupport::TempDir::ReadFile(temp / "TRANSLOG.TXT");
    EXPECT_NE(log.find("\thave.txt\tSending\tAnna Berg\tSkipped\t"), std::string::npos) << log;
    EXPECT_NE(log.find("\tsent.txt\tSending\tAnna Berg\tSuccessful\t"), std::string::npos);
    EXPECT_NE(log.find("\tstopped.txt\tSending\tAnna Berg\tSkipped\t"), std::string::npos);
    // A file with no record of its own stays, as one that never began.
    EXPECT_EQ(viewList, (std::vector<std::string>{"/f/unseen.txt", "/f/stopped.txt"}));
}

TEST_F(TransferWindowTest, StatusTextsFilledIn) {
    Make(true, {"/f/a.txt"});
    Status(kStatusDialing);
    EXPECT_EQ(Text(kControlStatusLine), "Dialing: 5550101");
    Status(kStatusRetry, comm::kTimedOut);
    EXPECT_EQ(Text(kControlStatusLine), "Transfer error: Timed out");
    Status(kStatusRetry, comm::kLostCarrier);
    EXPECT_EQ(Text(kControlStatusLine), "Transfer error: Lost carrier signal");
    Status(kStatusRecovering);
    EXPECT_EQ(Text(kControlStatusLine), "Recovering");
}

TEST_F(TransferWindowTest, RedialCountdownOffersDialNowAndKeepsTheReason) {
    Make(true, {"/f/a.txt"});
    Status(kStatusBusy);
    context.redialCountdown = 60;
    Status(kStatusWaitingToRedial);
    EXPECT_EQ(Text(kControlStopButton), "Dial Now");
    EXPECT_EQ(Text(kControlTimeLeft), "00:01:00");
    context.redialCountdown = 59;
    Status(kStatusWaitingToRedial);
    EXPECT_EQ(Text(kControlTimeLeft), "00:00:59");
    EXPECT_EQ(Text(kControlStatusLine), "Destination phone line busy. Waiting to redial: 00:00:59");

    window->PressStopButton();
    EXPECT_EQ(context.requests.Current(), Request::DialNow);
    context.requests.TakeBackDialNow(); // the worker takes it back
    context.redialCountdown = 0;
    Status(kStatusWaitingToRedial);
    EXPECT_EQ(Text(kControlStopButton), "Stop");
    EXPECT_EQ(Text(kControlTimeLeft), "--:--:--");
    EXPECT_FALSE(window->DialNowShown());
    Status(kStatusDialing);
    context.redialCountdown = 30;
    Status(kStatusWaitingToRedial);
    EXPECT_EQ(Text(kControlStatusLine), "Waiting to redial: 00:00:30") << "no stale reason";
}

TEST_F(TransferWindowTest, StopAsksOnceAndTheCloseCommandNeverDialsNow) {
    Make(true, {"/f/a.txt"});
    std::vector<int> asked;
    data::MessageAnswer answer = data::MessageAnswer::No;
    data::MessageHook previous =
        data::SetMessageHook([&](data::MessageKind, int id, const std::string&) {
            asked.push_back(id);
            return answer;
        });
    window->PressStopButton();
    EXPECT_EQ(context.requests.Current(), Request::None);
    answer = data::MessageAnswer::Yes;
    window->PressStopButton();
    EXPECT_EQ(context.requests.Current(), Request::Stop);
    window->PressStopButton(); // a second Stop does not ask again
    EXPECT_EQ(asked, (std::vector<int>{50221, 50221}));

    // With the carrier watch's request made, Stop turns it into a user stop without a question.
    context.requests.Clear();
    context.requests.RaiseCarrierLost();
    window->PressStopButton();
    EXPECT_EQ(context.requests.Current(), Request::Stop);

    context.requests.Clear();
    context.redialCountdown = 30;
    Status(kStatusWaitingToRedial);
    window->CloseCommand();
    EXPECT_EQ(context.requests.Current(), Request::Stop);
    EXPECT_EQ(asked.size(), 3u);
    data::SetMessageHook(previous);
}

TEST_F(TransferWindowTest, CarrierWatchGivesSendTenAndReceiveThirtySeconds) {
    struct Case {
        bool send;
        int downFor;
        Request expected;
    } cases[] = {{true, 9, Request::None},
                 {true, 11, Request::CarrierLost},
                 {false, 29, Request::None},
                 {false, 31, Request::CarrierLost}};
    for (const Case& c : cases) {
        context.requests.Clear();
        carrier = true;
        Make(c.send, {"/f/a.txt"});
        Progress(500, "/f/a.txt", 0, 100000, 1000);
        carrier = false;
        Progress(501, "/f/a.txt", 0, 100000, 2000);
        Progress(501 + c.downFor, "/f/a.txt", 0, 100000, 3000);
        EXPECT_EQ(context.requests.Current(), c.expected) << c.send << " " << c.downFor;
    }
    // Without a probe of its own the window goes by the carrier the worker put in each record.
    context.requests.Clear();
    Make(true, {"/f/a.txt"});
    window->SetCarrierProbe(nullptr);
    reportedCarrier = 0;
    Progress(600, "/f/a.txt", 0, 100000, 1000);
    Progress(611, "/f/a.txt", 0, 100000, 2000);
    EXPECT_EQ(context.requests.Current(), Request::CarrierLost);
    reportedCarrier = -1;

    // Raised once per loss: a late record neither raises it again after the worker took it
    // back, nor turns a Stop into a lost carrier.
    context.requests.Clear();
    Make(true, {"/f/a.txt"});
    carrier = false;
    Progress(700, "/f/a.txt", 0, 100000, 1000);
    Progress(711, "/f/a.txt", 0, 100000, 1000);
    EXPECT_TRUE(context.requests.TakeBackCarrierLost());
    Progress(712, "/f/a.txt", 0, 100000, 1000);
    EXPECT_EQ(context.requests.Current(), Request::None);
    context.requests.RequestStop();
    Make(true, {"/f/a.txt"});
    Progress(800, "/f/a.txt", 0, 100000, 1000);
    Progress(811, "/f/a.txt", 0, 100000, 1000);
    EXPECT_EQ(context.requests.Current(), Request::Stop);

    // A reset record clears the loss clock.
    context.requests.Clear();
    Make(true, {"/f/a.txt"});
    carrier = false;
    Progress(500, "/f/a.txt", 0, 100000, 1000);
    Reset();
    Progress(509, "/f/a.txt", 0, 100000, 1000);
    Progress(518, "/f/a.txt", 0, 100000, 1000);
    EXPECT_EQ(context.requests.Current(), Request::None);
}

namespace {

// A MacBinary II file of a word-processor document, as a Macintosh sender sends it.
std::string MacBinaryDocument(const std::string& dataFork) {
    std::array<std::uint8_t, data::kMacBinaryHeaderSize> h{};
    const std::string name = "Report", type = "WDBN", creator = "MSWD";
    h[1] = static_cast<std::uint8_t>(name.size());
    std::memcpy(&h[2], name.data(), name.size());
    std::memcpy(&h[65], type.data(), 4);
    std::memcpy(&h[69], creator.data(), 4);
    for (int i = 0; i < 4; ++i)
        h[83 + i] = static_cast<std::uint8_t>(dataFork.size() >> (24 - 8 * i));
    h[122] = 129;
    h[123] = 129;
    std::uint16_t crc = data::MacBinaryCrc(std::span(h).first(124));
    h[124] = static_cast<std::uint8_t>(crc >> 8);
    h[125] = static_cast<std::uint8_t>(crc);
    return std::string(h.begin(), h.end()) + dataFork;
}

} // namespace

TEST_F(TransferWindowTest, ReceivedFilesAreMovedConvertedAndLoggedUnderTheirFinalPaths) {
    data::AppSettings settings;
    settings.generalReceiveFolder = temp / "Received Files";
    settings.macBinary = data::kMacBinaryConvertKeep;
    context.settings = &settings;
    context.peerUser = "Mac Station";
    Make(false);
    data::CreateFolderPath(context.receiveFolder);
    const std::string document = MacBinaryDocument("the data fork");
    temp.WriteFile("Partially Received Files/report.bin", document);
    temp.WriteFile("Partially Received Files/plain.txt", "plain text");
    temp.WriteFile("Partially Received Files/broken.dat", "half of it");

    std::vector<std::string> shownDuringDone;
    window->SetObserver([&](TransferWindowLogic& w, const platform::PostedMessage& m) {
        if (m.id == 0)
            shownDuringDone.push_back(w.ControlText(kControlStatusLine));
    });
    const int size = static_cast<int>(document.size());
    Progress(100, "report.bin", 0, size, size);
    Progress(101, "plain.txt", 1, 10, 10);
    Progress(102, "broken.dat", 2, 100, 10);
    // The next file never comes: the sender broke off in the middle of broken.dat.
    window->HandleMessage({WM_JOB_DONE, 0, 0, nullptr});

    const std::string dated = settings.generalReceiveFolder + "/" + data::DatedFolderName(now);
    const auto& records = window->FileRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].path, dated + "/Report.doc");
    EXPECT_EQ(records[1].path, dated + "/plain.txt");
    EXPECT_EQ(records[2].path, context.receiveFolder + "/broken.dat");
    EXPECT_EQ(testsupport::TempDir::ReadFile(dated + "/Report.doc"), "the data fork");
    EXPECT_EQ(testsupport::TempDir::ReadFile(dated + "/report.bin"), document); // kept
    EXPECT_EQ(testsupport::TempDir::ReadFile(dated + "/plain.txt"), "plain text");
    // The broken file waits in the partial-receive folder for the next call.
    EXPECT_EQ(testsupport::TempDir::ReadFile(context.receiveFolder + "/broken.dat"), "half of it");
    EXPECT_EQ(shownDuringDone, (std::vector<std::string>{"Converting MacBinary Files..."}));
    EXPECT_EQ(context.filesReceived, 2);

    std::ifstream log(temp / "TRANSLOG.TXT");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("\tReport.doc\tReceiving\tMac Station\tSuccessful\t"),
              std::string::npos);
    EXPECT_NE(lines[0].find("\t" + dated + "/Report.doc"), std::string::npos);
    EXPECT_NE(lines[1].find("\t" + dated + "/plain.txt"), std::string::npos);
    EXPECT_NE(lines[2].find("\tbroken.dat\tReceiving\tMac Station\tFailed\t"), std::string::npos);
}

TEST_F(TransferWindowTest, StatusLineFillsTheInsertsOfTheLatestPhase) {
    // The worker can move on before the window handles a message: the line follows the stored
    // phase, with its inserts, never a raw format.
    Make(false);
    context.connectSpeed = 115200;
    window->Block().SetCurrentStatus(kStatusConnected);
    window->HandleMessage({WM_JOB_STATUS, 50011, 0, nullptr});
    EXPECT_EQ(Text(kControlStatusLine), "Connected at: 115200 bps");

    Make(true, {"/f/a.txt"});
    context.destinationPhone = "555-0100";
    window->Block().SetCurrentStatus(kStatusDialing);
    window->HandleMessage({WM_JOB_STATUS, 50000, 0, nullptr});
    EXPECT_EQ(Text(kControlStatusLine), "Dialing: 555-0100");
}

TEST_F(TransferWindowTest, NoFileYetOrBetweenFilesNeverShowsAnEmptyName) {
    Make(true, {"/f/a.txt", "/f/b.txt"});
    Status(kStatusSendingFiles);
    const std::string phase = Text(kControlStatusLine);
    Progress(100, "<None>", 0, 0, 0);
    Progress(101, "", 0, 0, 0);
    EXPECT_EQ(Text(kControlStatusLine), phase);
    Progress(102, "/f/a.txt", 0, 100, 0);
    Progress(103, "", 1, 0, 0);
    EXPECT_EQ(Text(kControlStatusLine), "Sending: a.txt");
}
