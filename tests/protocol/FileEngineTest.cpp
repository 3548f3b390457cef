// The local file engine: open modes, the size limit of a transfer, dates in fields, days and
// seconds, and the list walk with wildcards and sub-folders.
#include "protocol/LocalFileEngine.h"
#include "protocol/Zmodem.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "comm/StatusCodes.h"
#include "tests/support/TempDir.h"
#include "tests/protocol/ScriptedPeer.h"

using prototest::OnHeaderError;
using prototest::ScriptedPeer;
using namespace protocol;
using namespace comm;
using testsupport::TempDir;

namespace {

// Runs the test in a fixed zone with summer time and puts the previous zone back afterwards.
class ZoneGuard {
  public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            m_old = old, m_had = true;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::string m_old;
    bool m_had{false};
};

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

int SecondsOf(int y, int mo, int d, int h, int mi, int s) {
    return (JulianDayFromDate(y, mo, d) - kJulianDay1970) * 86400 + h * 3600 + mi * 60 + s;
}

} // namespace

TEST(FileEngineDates, SecondsAndJulianDays) {
    struct Case {
        int y, mo, d, h, mi, s;
        int expected;
    };
    const Case cases[] = {
        {1969, 12, 31, 23, 59, 59, 0}, // before 1970: no date
        {1970, 1, 1, 0, 0, 0, 0},         {1970, 1, 2, 0, 0, 0, 86400},
        {2000, 3, 1, 1, 2, 3, 951872523}, {2038, 1, 19, 3, 14, 7, INT32_MAX},
        {2100, 1, 1, 0, 0, 0, INT32_MAX}, // capped, never wrapped into the past
    };
    LocalFileEngine engine;
    for (const Case& c : cases) {
        engine.SetDateFields(c.y, c.mo, c.d, c.h, c.mi, c.s);
        EXPECT_EQ(engine.DateAsSeconds(), c.expected) << c.y << "-" << c.mo << "-" << c.d;
    }
    EXPECT_EQ(JulianDayFromDate(1970, 1, 1), 2440588);
    EXPECT_EQ(JulianDayFromDate(2000, 1, 1), 2451545);
    for (int day : {2299161, 2440587, 2451604, 2460000, 2488070}) {
        engine.SetDateFromJulianDay(day);
        EXPECT_EQ(engine.JulianDay(), day);
    }
    engine.SetDateFromJulianDay(2451604);
    int y, mo, d, h, mi, s;
    engine.GetDateFields(y, mo, d, h, mi, s);
    EXPECT_EQ(y * 10000 + mo * 100 + d, 20000229);
}

// The sender's local seconds become universal time with the zone offset of that very date:
// an hour in winter, two in summer.
TEST(FileEngineDates, SecondsFromTheWireUseTheOffsetOfTheirDate) {
    ZoneGuard zone(kCentralEurope);
    LocalFileEngine engine;
    int y, mo, d, h, mi, s;
    engine.SetDateFromSeconds(SecondsOf(2024, 1, 15, 12, 0, 0));
    engine.GetDateFields(y, mo, d, h, mi, s);
    EXPECT_EQ(h, 11);
    engine.SetDateFromSeconds(SecondsOf(2024, 7, 15, 12, 0, 0));
    engine.GetDateFields(y, mo, d, h, mi, s);
    EXPECT_EQ(h, 10);
}

TEST(FileEngineDates, AppliedDateReadsBackAsTheSameLocalSeconds) {
    ZoneGuard zone(kCentralEurope);
    TempDir dir;
    std::string name = dir.WriteFile("dated.txt", "x");
    for (int seconds : {SecondsOf(2023, 2, 1, 8, 30, 15), SecondsOf(2023, 8, 1, 8, 30, 15)}) {
        LocalFileEngine engine;
        ASSERT_EQ(engine.Open(name, "ab"), 0);
        engine.SetDateFromSeconds(seconds);
        ASSERT_EQ(engine.ApplyDate(), 0);
        ASSERT_EQ(engine.Close(), 0);
        ASSERT_EQ(engine.BeginList(name.c_str(), 0), 0);
        ASSERT_EQ(engine.NextFile(), 1);
        ASSERT_EQ(engine.LoadDate(), 0);
        EXPECT_EQ(engine.DateAsSeconds(), seconds);
    }
}

struct FileEngineFiles : testing::Test {
    TempDir dir;
    LocalFileEngine engine;
};

TEST_F(FileEngineFiles, OpenModes) {
    std::string name = dir.WriteFile("hundred.bin", std::string(100, 'a'));
    ASSERT_EQ(engine.Open(name, "ab"), 0);
    EXPECT_EQ(engine.Tell(), 100);
    std::string other = dir / "other.bin";
    EXPECT_EQ(engine.Open(other, "wb"), kEngineNotNull);
    EXPECT_EQ(engine.PutByte('b'), 1); // the first file stays open
    ASSERT_EQ(engine.Close(), 0);
    EXPECT_EQ(engine.Close(), kEngineInvalidPointer);
    EXPECT_EQ(std::filesystem::file_size(name), 101u);
    EXPECT_FALSE(std::filesystem::exists(other));

    ASSERT_EQ(engine.Open(name, "wb"), 0);
    EXPECT_EQ(engine.Tell(), 0);
    ASSERT_EQ(engine.Close(), 0);
    EXPECT_EQ(std::filesystem::file_size(name), 0u);

    std::string missing = dir / "missing.bin";
    EXPECT_EQ(engine.Open(missing, "rb"), kEngineOpenFailed);
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_EQ(engine.Read(nullptr, 1), kEngineInvalidPointer);
    EXPECT_EQ(engine.Seek(0, 0), kEngineInvalidPointer);
    EXPECT_EQ(engine.Tell(), kEngineInvalidPointer);
}

TEST_F(FileEngineFiles, ReadSeekAndWriteOnOneFile) {
    std::string name = dir.WriteFile("rw.bin", "0123456789");
    ASSERT_EQ(engine.Open(name, "ab"), 0);
    ASSERT_EQ(engine.Seek(2, 0), 0);
    char buffer[4]{};
    ASSERT_EQ(engine.Read(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "234");
    EXPECT_EQ(engine.Write("xy", 2), 2); // writing right after reading needs no extra seek
    ASSERT_EQ(engine.Seek(-1, 2), 0);
    unsigned char last = 0;
    EXPECT_EQ(engine.GetByte(last), 1);
    EXPECT_EQ(last, '9');
    EXPECT_EQ(engine.GetByte(last), 0);
    EXPECT_EQ(engine.Seek(-1, 0), kEngineSeekFailed);
    EXPECT_EQ(engine.Seek(0, 3), kEngineSeekFailed);
    ASSERT_EQ(engine.Close(), 0);
    EXPECT_EQ(TempDir::ReadFile(name), "01234xy789");
}

TEST_F(FileEngineFiles, SizeIsCachedUntilReset) {
    std::string name = dir.WriteFile("grow.txt", "abc");
    ASSERT_EQ(engine.BeginList(name.c_str(), 0), 0);
    ASSERT_EQ(engine.NextFile(), 1);
    EXPECT_EQ(engine.Size(), 3);
    dir.WriteFile("grow.txt", "abcdef");
    EXPECT_EQ(engine.Size(), 3);
    engine.ResetSize();
    EXPECT_EQ(engine.Size(), 6);
}

// A file too big for 32-bit positions is refused, and writing never grows a file past it.
TEST_F(FileEngineFiles, FilesBeyondTheTransferLimitAreRefusedNotWrapped) {
    std::string name = dir / "huge.bin";
    {
        std::string create = name;
        ASSERT_EQ(engine.Open(create, "wb"), 0);
        ASSERT_EQ(engine.Close(), 0);
    }
    ASSERT_EQ(::truncate(name.c_str(), kMaxTransferFileSize + 1), 0); // sparse
    ASSERT_EQ(engine.BeginList(name.c_str(), 0), 0);
    ASSERT_EQ(engine.NextFile(), 1);
    EXPECT_EQ(engine.Size(), kEngineTellFailed);
    ASSERT_EQ(engine.Open(name, "ab"), 0);
    EXPECT_EQ(engine.Tell(), kEngineTellFailed);
    ASSERT_EQ(engine.Seek(kMaxTransferFileSize - 2, 0), 0);
    EXPECT_EQ(engine.Tell(), kMaxTransferFileSize - 2);
    EXPECT_EQ(engine.Write("abcdef", 6), 2);
    ASSERT_EQ(engine.Close(), 0);
}

// Files between 2 and 4 GiB are moved: sizes, positions and headers hold their 32 bits
// unsigned, and nothing wraps at 2 GiB.
TEST_F(FileEngineFiles, PositionsBetweenTwoAndFourGibibytesHoldTheirValue) {
    constexpr std::int64_t kThreeGiB = 3LL << 30;
    std::string name = dir / "big.bin";
    {
        std::string create = name;
        ASSERT_EQ(engine.Open(create, "wb"), 0);
        ASSERT_EQ(engine.Close(), 0);
    }
    ASSERT_EQ(::truncate(name.c_str(), kThreeGiB), 0); // sparse
    ASSERT_EQ(engine.BeginList(name.c_str(), 0), 0);
    ASSERT_EQ(engine.NextFile(), 1);
    EXPECT_EQ(engine.Size(), kThreeGiB);
    ASSERT_EQ(engine.Open(name, "r+b"), 0);
    ASSERT_EQ(engine.Seek(kThreeGiB - 3, 0), 0);
    EXPECT_EQ(engine.Write("xyz", 3), 3);
    EXPECT_EQ(engine.Tell(), kThreeGiB);
    EXPECT_EQ(engine.StoredSize(), kThreeGiB);
    ASSERT_EQ(engine.Seek(kThreeGiB - 3, 0), 0);
    char back[3];
    EXPECT_EQ(engine.Read(back, 3), 3);
    EXPECT_EQ(std::string(back, 3), "xyz");
    ASSERT_EQ(engine.Close(), 0);

    for (const std::int64_t position :
         {std::int64_t{0}, std::int64_t{INT32_MAX}, std::int64_t{INT32_MAX} + 1, kThreeGiB,
          kMaxTransferFileSize}) {
        unsigned char header[4];
        ScriptedPeer::PositionToHeader(position, header);
        EXPECT_EQ(ScriptedPeer::PositionFromHeader(header), position);
    }
}

TEST(Wildcards, MatchLikeTheDirectorySearch) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"*", "anything.txt", true},   {"*.*", "README", true},    {"*.txt", "a.txt", true},
        {"*.txt", "a.txt.bak", false}, {"a?c", "abc", true},       {"a?c", "ac", false},
        {"*b*", "abc", true},          {"data.*", "data", true},   {"*.TXT", "a.txt", false},
        {"x*y*z", "xaayzbz", true},    {"x*y*z", "xaayzb", false}, {"", "a", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

struct ListWalk : testing::Test {
    ListWalk() {
        dir.WriteFile("top/a.txt", "a");
        dir.WriteFile("top/b.txt", "b");
        dir.WriteFile("top/c.dat", "c");
        dir.WriteFile("top/sub/d.txt", "d");
        dir.WriteFile("top/sub/deeper/e.txt", "e");
        dir.WriteFile("other/single.bin", "s");
        // A chain of folders, one file at each level below top/chain: 1 … 10.
        std::string folder = "top/chain";
        for (int level = 1; level <= 10; ++level) {
            folder += "/l" + std::to_string(level);
            dir.WriteFile(folder + "/f" + std::to_string(level) + ".txt", "x");
        }
    }

    std::vector<std::string> Walk(const std::string& list, int subFolders) {
        std::vector<std::string> found;
        EXPECT_EQ(engine.BeginList(list.c_str(), subFolders), 0);
        while (engine.NextFile() == 1) {
            std::string path = engine.CurrentPath();
            found.push_back(path.substr(dir.Path().string().size() + 1));
        }
        return found;
    }

    TempDir dir;
    LocalFileEngine engine;
};

TEST_F(ListWalk, WildcardEntryAndSingleFileInListOrder) {
    std::string list = dir / "top/*.txt" + " ,;\t" + dir / "other/single.bin";
    std::vector<std::string> expected{"top/a.txt", "top/b.txt", "other/single.bin"};
    EXPECT_EQ(Walk(list, 0), expected);
    EXPECT_EQ(engine.NextFile(), 0); // stays exhausted
}

TEST_F(ListWalk, SubFoldersAreEnteredToDepthNineNotTen) {
    std::vector<std::string> found = Walk(dir / "top/f*.txt", 1);
    std::set<std::string> names(found.begin(), found.end());
    EXPECT_EQ(found.size(), names.size());
    // top/chain is depth 1, so l8 is depth 9 and l9 (with f9) would be depth 10.
    EXPECT_EQ(names.size(), 8u);
    EXPECT_EQ(names.count("top/chain/l1/l2/l3/l4/l5/l6/l7/l8/f8.txt"), 1u);
    EXPECT_EQ(names.count("top/chain/l1/l2/l3/l4/l5/l6/l7/l8/l9/f9.txt"), 0u);
    std::vector<std::string> deep = Walk(dir / "top/chain/f*.txt", 1);
    ASSERT_EQ(deep.size(), 9u);
    EXPECT_EQ(deep.back(), "top/chain/l1/l2/l3/l4/l5/l6/l7/l8/l9/f9.txt");
    EXPECT_EQ(deep.front(), "top/chain/l1/f1.txt");

    std::vector<std::string> all = Walk(dir / "top/*.txt", 1);
    std::vector<std::string> head(all.begin(), all.begin() + 2);
    EXPECT_EQ(head, (std::vector<std::string>{"top/a.txt", "top/b.txt"}));
    EXPECT_EQ(std::count(all.begin(), all.end(), "top/sub/deeper/e.txt"), 1);
}

TEST_F(ListWalk, WithoutSubFolderFlagFoldersAreNeverEntered) {
    EXPECT_EQ(Walk(dir / "top/*", 0),
              (std::vector<std::string>{"top/a.txt", "top/b.txt", "top/c.dat"}));
}

TEST_F(ListWalk, EntryWithoutFolderSearchesTheCurrentFolder) {
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path() / "top");
    ASSERT_EQ(engine.BeginList("?.txt", 0), 0);
    EXPECT_EQ(engine.NextFile(), 1);
    EXPECT_STREQ(engine.CurrentPath(), "a.txt");
    std::filesystem::current_path(previous);
}

TEST_F(ListWalk, SingleLookupAnswersWhetherTheFileExists) {
    for (auto [name, exists] :
         {std::pair{"top/a.txt", 1}, {"top/zz.txt", 0}, {"top/sub", 0}, {"top/*.txt", 0}}) {
        ASSERT_EQ(engine.BeginList((dir / name).c_str(), 0), 0);
        engine.SetSingleLookup(1);
        EXPECT_EQ(engine.NextFile(), exists) << name;
        engine.SetSingleLookup(0);
        EXPECT_EQ(std::string(engine.CurrentPath()), dir / name);
    }
}
