// The transfer base over the loopback link: time-limited writes, the abort and carrier
// check, the cancel sequence, names without folders and the open policy for arriving files.
#include "protocol/FileTransfer.h"

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
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
    void MarkOpen() { m_fileOpen = 1; }
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

// ---- The open policy for an arriving file ----

namespace {

struct Offer {
    const char* what;
    int localLength; // -1: no local file
    int incomingSize;
    int management;
    int recovery;
    int localDate;
    int incomingDate;
    // Expected:
    int status;
    int position;
    bool open;
    int localLengthAfter;
    const char* trace;
    bool newCopy{false}; // received as "incoming#2.bin"
};

constexpr int kOld = 1000000000;
constexpr int kNew = 1100000000;

const Offer kOffers[] = {
    {"new file", -1, 300, 0, 1, kNoDate, kNew, 0, 0, true, 0, nullptr},
    {"resume shorter", 100, 300, 0, 1, kNew, kNew, 0, 100, true, 100, "Resuming at offset 100"},
    {"complete: asked from its end", 300, 300, 0, 1, kNew, kNew, 0, 300, true, 300,
     "Resuming at offset 300"},
    // A local file that is not known to be a partial copy of the offer is kept and the offer
    // is received from the start under a numbered name.
    {"shorter of another date", 100, 300, 0, 1, kOld, kNew, 0, 0, true, 100, nullptr, true},
    {"same size, another date", 300, 300, 0, 1, kOld, kNew, 0, 0, true, 300, nullptr, true},
    {"offer without a date", 100, 300, 0, 1, kOld, kNoDate, 0, 0, true, 100, nullptr, true},
    {"longer local", 500, 300, 0, 1, kNew, kNew, 0, 0, true, 500, nullptr, true},
    {"no recovery overwrites", 100, 300, 0, 0, kOld, kNew, 0, 0, true, 0, nullptr},
    {"append", 100, 300, 3, 0, kOld, kNew, 0, 100, true, 100, "Appending at offset 100"},
    {"newer: overwrite", 100, 300, 5, 0, kOld, kNew, 0, 0, true, 0, nullptr},
    {"newer: keep", 100, 300, 5, 0, kNew, kOld, kShouldSendZskip, 100, false, 100, nullptr},
    {"protect longer", 500, 300, 7, 1, kOld, kNew, kShouldSendZskip, 0, false, 500, nullptr},
    {"different, same", 300, 300, 6, 0, kNew, kNew, 0, 300, true, 300, nullptr},
    // Written from the start, a file never keeps a longer local copy's tail.
    {"replace longer", 600, 300, 4, 1, kOld, kNew, 0, 0, true, 0, nullptr},
    {"replace same size", 300, 300, 4, 1, kOld, kNew, 0, 0, true, 0, nullptr},
    {"append longer", 600, 300, 3, 1, kOld, kNew, 0, 0, true, 600, nullptr, true},
    {"crc option longer", 600, 300, 2, 1, kOld, kNew, 0, 0, true, 600, nullptr, true},
    {"different longer", 600, 300, 6, 1, kOld, kNew, 0, 0, true, 600, nullptr, true},
    {"modifier bit masked", 600, 300, 0x80 | 4, 1, kOld, kNew, 0, 0, true, 0, nullptr},
    {"modifier bit on resume", 100, 300, 0x80, 1, kNew, kNew, 0, 100, true, 100,
     "Resuming at offset 100"},
};

} // namespace

class OpenTransferFileTable : public TransferFixture, public testing::WithParamInterface<Offer> {};

TEST_P(OpenTransferFileTable, Decides) {
    const Offer& o = GetParam();
    TempDir dir;
    std::string path = dir / "incoming.bin";
    if (o.localLength >= 0)
        dir.WriteFile("incoming.bin", std::string(static_cast<std::size_t>(o.localLength), 'L'));
    LocalFileEngine engine;
    transfer.SetFileEngine(&engine);
    status.ResetStatus(kDirectionReceive);
    status.fileName = path;
    status.fileSize = o.incomingSize;
    status.fileDate = o.incomingDate;
    transfer.SetCrashRecovery(o.recovery);
    transfer.SetManagementOption(o.management);
    transfer.SetLocalDate(o.localDate);

    EXPECT_EQ(transfer.OpenTransferFile(), 1);
    EXPECT_EQ(status.statusCode, o.status);
    EXPECT_EQ(status.position, o.position);
    EXPECT_EQ(transfer.FileIsOpen() != 0, o.open);
    EXPECT_EQ(status.filesDone, 0); // counted once the file has arrived whole
    EXPECT_TRUE(status.Traced("Opening file " + path));
    if (o.trace) {
        EXPECT_TRUE(status.Traced(o.trace));
    }
    if (o.open) {
        EXPECT_EQ(engine.Tell(), o.position);
    }
    EXPECT_EQ(o.newCopy ? dir / "incoming#2.bin" : path, status.fileName);
    status.statusCode = 0;
    transfer.FinishFile();
    EXPECT_EQ(static_cast<int>(std::filesystem::file_size(path)), o.localLengthAfter);
    EXPECT_EQ(o.newCopy, std::filesystem::exists(dir / "incoming#2.bin"));
}

INSTANTIATE_TEST_SUITE_P(Offers, OpenTransferFileTable, testing::ValuesIn(kOffers),
                         [](const testing::TestParamInfo<Offer>& info) {
                             std::string name = info.param.what;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

TEST_F(FileTransferTest, CompleteLocalCopyIsAskedForFromItsEndAndStampedWhenClosed) {
    TempDir dir;
    std::string path = dir.WriteFile("done.txt", std::string(300, 'x'));
    LocalFileEngine engine;
    transfer.SetFileEngine(&engine);
    status.ResetStatus(kDirectionReceive);
    status.fileName = path;
    status.fileSize = 300;
    status.fileDate = kNew;
    transfer.SetLocalDate(kNew);
    ASSERT_EQ(transfer.OpenTransferFile(), 1);
    EXPECT_EQ(status.statusCode, 0);
    EXPECT_EQ(status.position, 300);
    transfer.FinishFile();
    ASSERT_EQ(engine.BeginList(path.c_str(), 0), 0);
    ASSERT_EQ(engine.NextFile(), 1);
    ASSERT_EQ(engine.LoadDate(), 0);
    EXPECT_EQ(engine.DateAsSeconds(), kNew);
    EXPECT_EQ(TempDir::ReadFile(path), std::string(300, 'x'));
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

    status.ResetStatus(kDirectionReceive);
    status.fileName = path;
    status.fileSize = 100;
    EXPECT_EQ(transfer.OpenTransferFile(), 0);
    EXPECT_EQ(status.statusCode, kFileOpenError);
    EXPECT_EQ(std::filesystem::file_size(path), kMaxTransferFileSize + 1);
}
