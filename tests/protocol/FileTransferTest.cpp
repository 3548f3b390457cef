// The transfer base over the loopback link: time-limited writes, the abort and carrier
// check, the cancel sequence, names without folders and the open policy for arriving files.
#include "protocol/FileTransfer.h"

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "protocol/LocalFileEngine.h"
#include "tests/protocol/ProtocolTestSupport.h"
#include "tests/support/TempDir.h"

using namespace protocol;
using namespace comm;
using prototest::LinkPair;
using prototest::RecordingStatus;
using testsupport::TempDir;

namespace {

// The base with the protocol identifier of ZMODEM, as every transfer of this program has.
class TestTransfer : public FileTransfer {
  public:
    using FileTransfer::Fail;
    using FileTransfer::FileTransfer;
    int Send(const char*) override { return 0; }
    int Receive() override { return 0; }
    void MarkOpen() { m_fileOpen = true; }
};

struct TransferFixture : testing::Test {
    TransferFixture() : transfer(wire.nearSerial.get(), &status) {
        status.protocol = kProtocolZmodem;
    }
    LinkPair wire;
    RecordingStatus status;
    TestTransfer transfer;
};

} // namespace

using FileTransferTest = TransferFixture;

TEST_F(FileTransferTest, WriteCharGivesUpAfterThirtySecondsOfAFullQueue) {
    platform::ScopedTimeAcceleration fast(100.0);
    wire.nearLink->SetTransmitRoom(0);
    std::uint32_t start = platform::GetTickCount();
    EXPECT_EQ(transfer.WriteCharTimed('x'), kBufferFull);
    EXPECT_GE(platform::TicksSince(start), 30000u);
    EXPECT_EQ(status.statusCode, kCannotPutChar);
    std::vector<std::string> expected;
    for (int left = 25; left >= 0; left -= 5)
        expected.push_back(std::to_string(left) + " sec left to WriteChar");
    expected.push_back("Timeout error sending buffer");
    EXPECT_EQ(status.traces, expected);
}

TEST_F(FileTransferTest, WriteBufferFinishesWhenTheQueueDrainsAndGivesUpAfterSixtySeconds) {
    platform::ScopedTimeAcceleration fast(200.0);
    wire.nearLink->SetTransmitRoom(4);
    const unsigned char data[] = "0123456789";
    EXPECT_EQ(transfer.WriteBufferTimed(data, 10), kCannotPutBuffer);
    EXPECT_EQ(status.statusCode, kCannotPutBuffer);
    EXPECT_TRUE(status.Traced("55 sec to complete WriteBuffer"));
    EXPECT_TRUE(status.Traced("Timeout error sending buffer"));
    EXPECT_EQ(wire.TakeFarInput(), "0123");

    // A peer that reads slowly: the rest goes out as room appears.
    status.statusCode = 0;
    status.traces.clear();
    std::string received;
    std::thread reader([&] {
        while (received.size() < 10) {
            received += wire.TakeFarInput();
            platform::Sleep(1000);
        }
    });
    EXPECT_EQ(transfer.WriteBufferTimed(data, 10), 0);
    reader.join();
    EXPECT_EQ(received, "0123456789");
    EXPECT_EQ(status.statusCode, 0);
}

TEST_F(FileTransferTest, CheckAbortAsksOnlyWhileNoFailureIsRecorded) {
    EXPECT_EQ(transfer.CheckAbort(), 0);
    EXPECT_EQ(status.abortQuestions, 1);
    transfer.Fail(kGeneralTransferError);
    status.abortAnswer = kUserCancelled;
    EXPECT_EQ(transfer.CheckAbort(), 0);
    EXPECT_EQ(status.abortQuestions, 1);
}

TEST_F(FileTransferTest, AbortSendsTheCancelSequence) {
    platform::ScopedTimeAcceleration fast(50.0);
    status.abortAnswer = kUserCancelled;
    EXPECT_EQ(transfer.CheckAbort(), 1);
    EXPECT_EQ(status.statusCode, kUserCancelled);
    EXPECT_TRUE(status.Traced("Transfer aborted..."));
    EXPECT_EQ(wire.TakeFarInput(), std::string(10, '\x18') + std::string(10, '\x08'));
}

TEST_F(FileTransferTest, CarrierLossEndsAWatchedTransfer) {
    platform::ScopedTimeAcceleration fast(50.0);
    wire.nearLink->SetModemLine(kLineDcd, false);
    EXPECT_EQ(transfer.CheckAbort(), 0); // not watched
    transfer.SetCarrierWatch(1);
    EXPECT_EQ(transfer.CheckAbort(), 1);
    EXPECT_EQ(status.statusCode, kCarrierLost);
}

TEST_F(FileTransferTest, NoCancelSequenceOnSuccessOrAfterTheRemoteCancelled) {
    platform::ScopedTimeAcceleration fast(50.0);
    transfer.FinishFile();
    EXPECT_EQ(wire.TakeFarInput(), "");
    transfer.Fail(kRemoteCancelled);
    wire.FeedNear("leftover noise");
    transfer.FinishFile();
    EXPECT_EQ(wire.TakeFarInput(), "");
    EXPECT_FALSE(transfer.InputWaiting()); // the line was drained
}

TEST(FileTransferNames, StripPath) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\DATA\\REPORT.DOC", "REPORT.DOC"},
        {"C:REPORT.DOC", "REPORT.DOC"},
        {"/home/ann/report.txt", "report.txt"},
        {"dir\\sub/x:y", "x:y"},
        {"plain.txt", "plain.txt"},
        {"folder/", ""},
    };
    for (auto [in, out] : cases)
        EXPECT_STREQ(FileTransfer::StripPath(in), out) << in;
}

TEST_F(FileTransferTest, PrepareTransferCreatesTheDefaultEngine) {
    EXPECT_EQ(transfer.Engine(), nullptr);
    EXPECT_EQ(transfer.PrepareTransfer(), 1);
    EXPECT_NE(transfer.Engine(), nullptr);
}

// ---- Carrying out the arrival decision in a confined folder ----

namespace {

constexpr int kDate = 1100000000;

// A receiving transfer over an engine confined to a temporary folder, with an offer of
// "incoming.bin" as the look-up would have found it.
struct ArrivalFixture : TransferFixture {
    ArrivalFixture() {
        EXPECT_TRUE(engine.SetFolder(dir.Path().string()));
        transfer.SetFileEngine(&engine);
        status.ResetStatus(kDirectionReceive);
        status.fileName = "incoming.bin";
        status.fileSize = 300;
        status.fileDate = kDate;
    }
    int Offer(const ArrivalPolicy& policy, int management = 0) {
        transfer.SetArrivalPolicy(policy);
        transfer.SetOfferOptions(0, management);
        transfer.SetLocalEntry(engine.Examine(status.fileName));
        return transfer.OpenTransferFile();
    }
    void Finish() {
        status.statusCode = 0;
        transfer.FinishFile();
    }
    TempDir dir;
    LocalFileEngine engine;
};

ArrivalPolicy Trusting(bool overwrite = false) {
    ArrivalPolicy policy;
    policy.overwrite = overwrite;
    return policy;
}

} // namespace

using ArrivalInFolder = ArrivalFixture;

TEST_F(ArrivalInFolder, AShorterCopyOfTheSameDateIsResumedAtItsLengthWhenNothingIsProven) {
    const std::string path = dir.WriteFile("incoming.bin", std::string(100, 'L'));
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now());
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    status.fileDate = SecondsFromLocalTime(info.st_mtime);
    EXPECT_EQ(Offer(Trusting()), 1);
    EXPECT_EQ(status.statusCode, 0);
    EXPECT_EQ(status.position, 100);
    EXPECT_TRUE(status.Traced("Resuming at offset 100"));
    EXPECT_EQ(engine.Tell(), 100);
    EXPECT_EQ(status.filesDone, 0); // counted once the file has arrived whole
    Finish();
    EXPECT_EQ(std::filesystem::file_size(path), 100u);
}

TEST_F(ArrivalInFolder, ANameThatIsTakenIsReceivedAsANumberedCopyAndTheFileKept) {
    const std::string path = dir.WriteFile("incoming.bin", std::string(100, 'L'));
    // Another date: not known to be a copy of the offer.
    EXPECT_EQ(Offer(Trusting()), 1);
    EXPECT_EQ(status.fileName, "incoming#2.bin");
    EXPECT_EQ(status.position, 0);
    EXPECT_TRUE(transfer.FileIsOpen());
    Finish();
    EXPECT_EQ(TempDir::ReadFile(path), std::string(100, 'L'));
    EXPECT_TRUE(std::filesystem::exists(dir / "incoming#2.bin"));
}

TEST_F(ArrivalInFolder, LinksInTheFolderAreNeverFollowed) {
    TempDir outside;
    const std::string victim = outside.WriteFile("victim.txt", "keep me");
    const std::string dangling = outside / "created-outside.txt";
    std::filesystem::create_symlink(victim, dir / "incoming.bin");
    std::filesystem::create_symlink(dangling, dir / "other.bin");

    // Even a sender allowed to replace files gets a copy of its own beside the link.
    EXPECT_EQ(Offer(Trusting(true), kManageReplace), 1);
    EXPECT_EQ(status.fileName, "incoming#2.bin");
    ASSERT_EQ(engine.Write("new", 3), 3);
    Finish();
    EXPECT_EQ(TempDir::ReadFile(victim), "keep me");

    status.fileName = "other.bin";
    EXPECT_EQ(Offer(Trusting(true)), 1);
    EXPECT_EQ(status.fileName, "other#2.bin");
    Finish();
    EXPECT_FALSE(std::filesystem::exists(dangling));

    // Opened by name, a link is refused whatever the mode.
    for (const char* mode : {"wb", "wbx", "ab", "r+b", "rb"}) {
        std::string name = "incoming.bin";
        EXPECT_NE(engine.Open(name, mode), 0) << mode;
    }
    std::string escape = "../victim.txt";
    EXPECT_NE(engine.Open(escape, "wb"), 0);
    EXPECT_EQ(TempDir::ReadFile(victim), "keep me");
}

TEST_F(ArrivalInFolder, AFileWithOtherNamesIsNeverWritten) {
    TempDir dated;
    const std::string filed = dated.WriteFile("report.bin", std::string(300, 'F'));
    std::filesystem::create_hard_link(filed, dir / "incoming.bin");
    EXPECT_EQ(Offer(Trusting(true), kManageReplace), 1);
    EXPECT_EQ(status.fileName, "incoming#2.bin");
    Finish();
    std::string name = "incoming.bin";
    EXPECT_NE(engine.Open(name, "wb"), 0);
    EXPECT_NE(engine.Open(name, "r+b"), 0);
    EXPECT_EQ(TempDir::ReadFile(filed), std::string(300, 'F'));
}

TEST_F(ArrivalInFolder, ASecondOfferOfANameThisRunWroteIsAnotherFile) {
    status.fileDate = kNoDate;
    EXPECT_EQ(Offer(Trusting()), 1);
    EXPECT_EQ(status.fileName, "incoming.bin");
    ASSERT_EQ(engine.Write("first", 5), 5);
    Finish();
    EXPECT_EQ(transfer.ArrivedNames().count("incoming.bin"), 1u);

    LocalEntry local = engine.Examine("incoming.bin");
    local.arrivedThisCall = true;
    transfer.SetLocalEntry(local);
    status.fileName = "incoming.bin";
    EXPECT_EQ(transfer.OpenTransferFile(), 1);
    EXPECT_EQ(status.fileName, "incoming#2.bin");
    EXPECT_EQ(status.position, 0);
    Finish();
    EXPECT_EQ(TempDir::ReadFile(dir / "incoming.bin"), "first");
}

TEST_F(ArrivalInFolder, AFileFiledByAnEarlierCallIsAskedForFromItsEndAndNothingIsWritten) {
    transfer.SetFiledMatch(FiledFile{"incoming.bin", 300, kDate, 0x1234, 0});
    transfer.SetProofs(ArrivalProofs{Proof::Same, Proof::NotAsked});
    EXPECT_EQ(Offer(Trusting()), 1);
    EXPECT_TRUE(transfer.AlreadyFiled());
    EXPECT_FALSE(transfer.FileIsOpen());
    EXPECT_EQ(status.position, 300);
    EXPECT_EQ(status.statusCode, 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "incoming.bin"));
}

TEST_F(ArrivalInFolder, ProtectAndSkipIfAbsentAnswerWithASkip) {
    const std::string path = dir.WriteFile("incoming.bin", std::string(500, 'L'));
    EXPECT_EQ(Offer(Trusting(true), kManageProtect), 1);
    EXPECT_EQ(status.statusCode, kShouldSendZskip);
    EXPECT_FALSE(transfer.FileIsOpen());
    status.statusCode = 0;
    status.fileName = "absent.bin";
    EXPECT_EQ(Offer(Trusting(true), kManageSkipIfAbsent), 1);
    EXPECT_EQ(status.statusCode, kShouldSendZskip);
    EXPECT_FALSE(std::filesystem::exists(dir / "absent.bin"));
    EXPECT_EQ(std::filesystem::file_size(path), 500u);
}

TEST_F(ArrivalInFolder, ReplacingAndAppendingNeedTheUsersLeave) {
    const std::string path = dir.WriteFile("incoming.bin", std::string(100, 'L'));
    EXPECT_EQ(Offer(Trusting(false), kManageAppend), 1);
    EXPECT_EQ(status.fileName, "incoming#2.bin");
    Finish();
    status.fileName = "incoming.bin";
    // Appended, the whole offer goes after the local file's end: asked for from its start.
    EXPECT_EQ(Offer(Trusting(true), kManageAppend), 1);
    EXPECT_EQ(status.position, 0);
    EXPECT_TRUE(status.Traced("Appending at offset 100"));
    Finish();
    status.fileName = "incoming.bin";
    EXPECT_EQ(Offer(Trusting(true), kManageReplace), 1);
    EXPECT_EQ(status.fileName, "incoming.bin");
    EXPECT_EQ(status.position, 0);
    Finish();
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST_F(FileTransferTest, SendingOpensTheListedFileAndTakesItsSize) {
    TempDir dir;
    std::string path = dir.WriteFile("out.txt", "hello");
    LocalFileEngine engine;
    transfer.SetFileEngine(&engine);
    status.ResetStatus(kDirectionSend);
    ASSERT_EQ(engine.BeginList(path.c_str(), 0), 0);
    ASSERT_EQ(engine.NextFile(), 1);
    EXPECT_EQ(transfer.OpenTransferFile(), 1);
    EXPECT_EQ(status.fileName, path);
    EXPECT_EQ(status.fileSize, 5);
    EXPECT_TRUE(transfer.FileIsOpen());
}

TEST_F(FileTransferTest, FilesTooLargeForThirtyTwoBitPositionsAreRefused) {
    platform::ScopedTimeAcceleration fast(50.0);
    TempDir dir;
    std::string path = dir.WriteFile("huge.bin", "");
    ASSERT_EQ(::truncate(path.c_str(), kMaxTransferFileSize + 1), 0);
    LocalFileEngine engine;
    transfer.SetFileEngine(&engine);

    status.ResetStatus(kDirectionSend);
    ASSERT_EQ(engine.BeginList(path.c_str(), 0), 0);
    ASSERT_EQ(engine.NextFile(), 1);
    EXPECT_EQ(transfer.OpenTransferFile(), 0);
    EXPECT_EQ(status.statusCode, kFileOpenError);
    EXPECT_TRUE(status.Traced("File too large to transfer: " + path));

    // A local file that large is no partial copy of an offer: it is kept.
    status.ResetStatus(kDirectionReceive);
    status.fileName = path;
    status.fileSize = 100;
    transfer.SetLocalEntry(engine.Examine(path));
    EXPECT_EQ(transfer.OpenTransferFile(), 1);
    EXPECT_EQ(status.fileName, dir / "huge#2.bin");
    transfer.FinishFile();
    EXPECT_EQ(std::filesystem::file_size(path), kMaxTransferFileSize + 1);
}
