// The transfer log: status decisions and field formats of the writer, the viewer's reading of
// the file, its three kinds of sort, and clearing.
#include "data/TransferLog.h"

#include "data/UserMessages.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>

using namespace data;

namespace {

class Messages {
  public:
    explicit Messages(MessageAnswer answer = MessageAnswer::Ok) {
        m_previous = SetMessageHook([this, answer](MessageKind, int id, const std::string&) {
            ids.push_back(id);
            return answer;
        });
    }
    ~Messages() { SetMessageHook(m_previous); }
    std::vector<int> ids;

  private:
    MessageHook m_previous;
};

// 7 March 1996 14:05:09 UTC.
constexpr std::time_t kStart = 826207509;

std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

class TransferLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    static FileRecord Record(int failed, std::int64_t size, std::int64_t lastPosition,
                             int isReceive = 0) {
        FileRecord r;
        r.path = "/home/ann/Reports/q1.doc";
        r.start = kStart;
        r.duration = 75;
        r.size = size;
        r.failed = failed;
        r.isReceive = isReceive;
        r.peer = "Head Office";
        r.lastTime = kStart + 30;
        r.lastPosition = lastPosition;
        return r;
    }
    std::string LogText() { return testsupport::TempDir::ReadFile(TransferLogPath()); }

    testsupport::TempDir m_dir;
};

TEST_F(TransferLogTest, LivesInTheDataFolder) {
    EXPECT_EQ(m_dir / "data/Sendari/TRANSLOG.TXT", TransferLogPath());
}

TEST_F(TransferLogTest, StatusDecidesTheLoggedFigures) {
    std::vector<FileRecord> records = {
        Record(kRecordSuccessful, 2048, 2048, 1),
        Record(kRecordFailed, 5000, 0),    // never moved a byte
        Record(kRecordFailed, 9000, 3000), // broke off
        Record(kRecordSuccessful, 10, 10, 0),
    };
    int received = 4;
    ASSERT_TRUE(AppendTransferLog(records, received));
    EXPECT_EQ(5, received);
    EXPECT_EQ(kRecordSkipped, records[1].failed);
    EXPECT_EQ(0, records[1].size);
    EXPECT_EQ(3000, records[2].size);
    EXPECT_EQ(30, records[2].duration);
    const std::string path = "/home/ann/Reports/q1.doc";
    EXPECT_EQ("3/7/96 2:05:09 PM\tq1.doc\tReceiving\tHead Office\tSuccessful\t2KB\t00:01:15\t" +
                  path +
                  "\r\n"
                  "3/7/96 2:05:09 PM\tq1.doc\tSending\tHead Office\tSkipped\t0KB\t00:00:00\t" +
                  path +
                  "\r\n"
                  "3/7/96 2:05:09 PM\tq1.doc\tSending\tHead Office\tFailed\t3KB\t00:00:30\t" +
                  path +
                  "\r\n"
                  "3/7/96 2:05:09 PM\tq1.doc\tSending\tHead Office\tSuccessful\t1KB\t00:01:15\t" +
                  path + "\r\n",
              LogText());
}

TEST_F(TransferLogTest, AFileThatCouldNotBeReadIsLoggedFailedNotSkipped) {
    std::vector<FileRecord> records = {Record(kRecordFailed, 5000, 0)};
    records[0].refused = true;
    int received = 0;
    ASSERT_TRUE(AppendTransferLog(records, received));
    EXPECT_EQ(kRecordFailed, records[0].failed);
    EXPECT_NE(LogText().find("\tSending\tHead Office\tFailed\t0KB\t"), std::string::npos)
        << LogText();
}

TEST_F(TransferLogTest, FieldFormats) {
    EXPECT_EQ("0KB", FormatLogSize(0));
    EXPECT_EQ("1KB", FormatLogSize(1));
    EXPECT_EQ("1KB", FormatLogSize(1024));
    EXPECT_EQ("2KB", FormatLogSize(1025));
    EXPECT_EQ("4194304KB", FormatLogSize(std::int64_t{4} << 30));
    EXPECT_EQ("00:00:00", FormatLogDuration(0));
    EXPECT_EQ("01:02:03", FormatLogDuration(3723));
    EXPECT_EQ("25:00:00", FormatLogDuration(25 * 3600)); // a day-long transfer does not wrap
    EXPECT_EQ("00:00:00", FormatLogDuration(-5));        // clock set back during the file
    EXPECT_EQ("1/2/05 12:00:00 AM", FormatLogDate(Utc(2005, 1, 2, 0, 0, 0)));
    EXPECT_EQ("12/31/99 12:59:59 PM", FormatLogDate(Utc(1999, 12, 31, 12, 59, 59)));
    EXPECT_EQ("10/10/10 11:09:08 PM", FormatLogDate(Utc(2010, 10, 10, 23, 9, 8)));
}

TEST_F(TransferLogTest, FileNameIsTheWholePathWithoutAFolder) {
    std::vector<FileRecord> records = {Record(kRecordSuccessful, 1, 1)};
    records[0].path = "plain.txt";
    int received = 0;
    AppendTransferLog(records, received);
    EXPECT_NE(std::string::npos, LogText().find("\tplain.txt\tSending\t"));
}

TEST_F(TransferLogTest, TabsAndLineEndsInLocalNamesNeverBreakTheColumns) {
    std::vector<FileRecord> records = {Record(kRecordSuccessful, 1, 1)};
    records[0].path = "/home/ann/odd\tname\r\n.txt";
    records[0].peer = "Hill\tFarm\n";
    int received = 0;
    AppendTransferLog(records, received);
    const std::string text = LogText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 7) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("\todd name  .txt\tSending\tHill Farm \t"), std::string::npos) << text;
}

TEST_F(TransferLogTest, UnicodeLineBreaksInNamesAreBlanksToo) {
    std::vector<FileRecord> records = {Record(kRecordSuccessful, 1, 1)};
    // NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR in UTF-8; an "é" stays as it is.
    records[0].path = "/home/ann/a\xc2\x85"
                      "b\xe2\x80\xa8"
                      "c\xe2\x80\xa9"
                      "d\xc3\xa9.txt";
    records[0].peer = "Hill\xe2\x80\xa8"
                      "Farm";
    int received = 0;
    AppendTransferLog(records, received);
    const std::string text = LogText();
    EXPECT_NE(text.find("\ta b c d\xc3\xa9.txt\tSending\tHill Farm\t"), std::string::npos) << text;
    EXPECT_EQ(text.find("\xe2\x80\xa8"), std::string::npos);
    EXPECT_EQ(text.find("\xc2\x85"), std::string::npos);
}

TEST(UserMessagesTest, AMarkerInsideTheFirstInsertStaysAsItIs) {
    std::string shown;
    MessageHook previous = SetMessageHook([&](MessageKind, int, const std::string& text) {
        shown = text;
        return MessageAnswer::Ok;
    });
    ShowMessage(MessageKind::Exclamation, 50223, "/in/100%2done.txt", "/out/x.txt");
    SetMessageHook(previous);
    EXPECT_EQ(shown, "Unable to move the file '/in/100%2done.txt' to '/out/x.txt'.");
}

TEST_F(TransferLogTest, UnopenableLogIsReportedButTheJobIsStillCounted) {
    Messages messages;
    std::vector<FileRecord> records = {Record(kRecordSuccessful, 1, 1, 1),
                                       Record(kRecordFailed, 1, 0, 1)};
    int received = 0;
    EXPECT_FALSE(AppendTransferLog(records, received, m_dir / "no/such/folder/TRANSLOG.TXT"));
    EXPECT_EQ(std::vector<int>{50211}, messages.ids);
    EXPECT_EQ(1, received);
    EXPECT_EQ(kRecordSkipped, records[1].failed);
}

TEST_F(TransferLogTest, FullDiskStopsAtTheFirstLine) {
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    Messages messages;
    std::vector<FileRecord> records = {Record(kRecordSuccessful, 1, 1),
                                       Record(kRecordSuccessful, 1, 1)};
    int received = 0;
    EXPECT_FALSE(AppendTransferLog(records, received, "/dev/full"));
    EXPECT_EQ(std::vector<int>{50212}, messages.ids);
}

TEST_F(TransferLogTest, AppendsAfterWhatIsThere) {
    m_dir.WriteFile("data/Sendari/TRANSLOG.TXT", "old line\r\n");
    std::vector<FileRecord> records = {Record(kRecordSuccessful, 1, 1)};
    int received = 0;
    AppendTransferLog(records, received);
    EXPECT_EQ(0u, LogText().find("old line\r\n3/7/96"));
}

class TransferLogViewerTest : public TransferLogTest {
  protected:
    TransferLogModel Load(const std::string& text) {
        m_dir.WriteFile("data/Sendari/TRANSLOG.TXT", text);
        TransferLogModel model;
        EXPECT_TRUE(model.Load());
        return model;
    }
    static std::vector<std::string> Column(const TransferLogModel& model, int column) {
        std::vector<std::string> cells;
        for (const TransferLogRow& row : model.Rows())
            cells.push_back(row[column]);
        return cells;
    }
};

TEST_F(TransferLogViewerTest, WrittenLinesReadBackAsEightCells) {
    std::vector<FileRecord> records = {Record(kRecordFailed, 9000, 3000, 1)};
    int received = 0;
    AppendTransferLog(records, received);
    TransferLogModel model;
    ASSERT_TRUE(model.Load());
    ASSERT_EQ(1u, model.Rows().size());
    EXPECT_EQ((TransferLogRow{"3/7/96 2:05:09 PM", "q1.doc", "Receiving", "Head Office", "Failed",
                              "3KB", "00:00:30", "/home/ann/Reports/q1.doc"}),
              model.Rows()[0]);
}

TEST_F(TransferLogViewerTest, OddLines) {
    TransferLogModel model = Load("\r\n"
                                  "\t\ta\t\tb\r\n"
                                  "1\t2\t3\t4\t5\t6\t7\t8\t9\t10\r\n" +
                                  std::string(1030, 'x') + "\tend\r\n" + "last without end");
    ASSERT_EQ(6u, model.Rows().size());
    EXPECT_EQ(TransferLogRow{}, model.Rows()[0]);
    EXPECT_EQ((TransferLogRow{"a", "b"}), model.Rows()[1]);
    EXPECT_EQ((TransferLogRow{"1", "2", "3", "4", "5", "6", "7", "8"}), model.Rows()[2]);
    EXPECT_EQ(std::string(1022, 'x'), model.Rows()[3][0]);
    EXPECT_EQ((TransferLogRow{std::string(8, 'x'), "end"}), model.Rows()[4]);
    EXPECT_EQ("last without end", model.Rows()[5][0]);
}

TEST_F(TransferLogViewerTest, MissingLogIsCreatedEmpty) {
    TransferLogModel model;
    EXPECT_TRUE(model.Load());
    EXPECT_TRUE(model.Rows().empty());
    EXPECT_TRUE(std::filesystem::exists(TransferLogPath()));
    Messages messages;
    EXPECT_FALSE(model.Load(m_dir / "missing/TRANSLOG.TXT"));
    EXPECT_EQ(std::vector<int>{50211}, messages.ids);
}

TEST_F(TransferLogViewerTest, TimesAreReadWithTheirCenturyAndMarker) {
    const std::time_t in1999 = Utc(1999, 6, 1, 10, 0, 0);
    const std::time_t in2026 = Utc(2026, 6, 1, 10, 0, 0);
    EXPECT_EQ((LogTime{1900, 1, 1, 0, 0, 0}), ParseLogTime("1/1/00 12:00:00 AM", in1999));
    EXPECT_EQ((LogTime{2000, 1, 1, 0, 0, 0}), ParseLogTime("1/1/00 12:00:00 am", in2026));
    EXPECT_EQ((LogTime{2099, 12, 31, 12, 30, 0}), ParseLogTime("12/31/99 12:30:00 PM", in2026));
    EXPECT_EQ((LogTime{1996, 3, 7, 23, 5, 9}), ParseLogTime("3/7/1996 11:05:09 PM", in2026));
    EXPECT_EQ((LogTime{2026, 6, 1, 1, 2, 3}), ParseLogTime("01:02:03", in2026));
    EXPECT_EQ((LogTime{2026, 6, 1, 27, 0, 0}), ParseLogTime("27:00:00", in2026));
    EXPECT_EQ((LogTime{2000, 0, 0, 0, 0, 0}), ParseLogTime("", in2026));
    EXPECT_EQ(99999, ParseLogTime("99999/", in2026).month);
    EXPECT_EQ(1000000000, ParseLogTime("99999999999999999999/1/1", in2026).month);
}

TEST_F(TransferLogViewerTest, DateSortPlacesMidnightFirstAndTwoDigitYearsInTheCentury) {
    TransferLogModel model = Load("12/31/99 1:00:00 AM\r\n"
                                  "1/1/00 12:30:00 PM\r\n"
                                  "1/1/00 1:00:00 AM\r\n"
                                  "1/1/00 12:30:00 AM\r\n"
                                  "1/1/00 11:00:00 PM\r\n");
    model.Sort(kDateColumn, Utc(1999, 6, 1, 0, 0, 0));
    EXPECT_EQ(
        (std::vector<std::string>{"1/1/00 12:30:00 AM", "1/1/00 1:00:00 AM", "1/1/00 12:30:00 PM",
                                  "1/1/00 11:00:00 PM", "12/31/99 1:00:00 AM"}),
        Column(model, kDateColumn));
    model.Sort(kDateColumn, Utc(1999, 6, 1, 0, 0, 0));
    EXPECT_EQ("12/31/99 1:00:00 AM", Column(model, kDateColumn).front());
}

TEST_F(TransferLogViewerTest, SizeDurationAndTextSorts) {
    TransferLogModel model = Load("d\tbeta\tx\tx\tx\t12KB\t00:10:00\r\n"
                                  "d\tAlpha\tx\tx\tx\t9KB\t01:00:00\r\n"
                                  "d\tgamma\tx\tx\tx\t100KB\t00:09:59\r\n");
    model.Sort(kSizeColumn);
    EXPECT_EQ((std::vector<std::string>{"9KB", "12KB", "100KB"}), Column(model, kSizeColumn));
    model.Sort(kSizeColumn);
    EXPECT_EQ((std::vector<std::string>{"100KB", "12KB", "9KB"}), Column(model, kSizeColumn));
    model.Sort(kDurationColumn);
    EXPECT_EQ((std::vector<std::string>{"00:09:59", "00:10:00", "01:00:00"}),
              Column(model, kDurationColumn));
    model.Sort(1);
    EXPECT_EQ((std::vector<std::string>{"Alpha", "beta", "gamma"}), Column(model, 1));
    model.Sort(1);
    EXPECT_EQ((std::vector<std::string>{"gamma", "beta", "Alpha"}), Column(model, 1));
}

TEST_F(TransferLogViewerTest, ClearAsksFirst) {
    TransferLogModel model = Load("a\r\nb\r\n");
    {
        Messages no(MessageAnswer::No);
        model.Clear();
        EXPECT_EQ(std::vector<int>{50213}, no.ids);
    }
    EXPECT_EQ(2u, model.Rows().size());
    EXPECT_EQ("a\r\nb\r\n", LogText());
    {
        Messages yes(MessageAnswer::Yes);
        model.Clear();
    }
    EXPECT_TRUE(model.Rows().empty());
    EXPECT_EQ("", LogText());
    model = Load("a\r\n");
    Messages yes(MessageAnswer::Yes);
    model.Clear(m_dir / "missing/TRANSLOG.TXT");
    EXPECT_EQ((std::vector<int>{50213, 50214}), yes.ids);
    EXPECT_TRUE(model.Rows().empty());
}

} // namespace
