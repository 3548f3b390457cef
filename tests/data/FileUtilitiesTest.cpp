// Path and file helpers over a temporary folder: unique and safe names, folder chains, busy
// files, the dated folder of received files and the send list.
#include "data/FileUtilities.h"

#include "data/UserMessages.h"
#include "platform/Shell.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

using namespace data;
namespace fs = std::filesystem;

namespace {

// Records every message and answers questions with a chosen answer.
class MessageRecorder {
  public:
    explicit MessageRecorder(MessageAnswer answer = MessageAnswer::Ok) {
        m_previous = SetMessageHook([this, answer](MessageKind, int id, const std::string& text) {
            ids.push_back(id);
            texts.push_back(text);
            return answer;
        });
    }
    ~MessageRecorder() { SetMessageHook(m_previous); }
    std::vector<int> ids;
    std::vector<std::string> texts;

  private:
    MessageHook m_previous;
};

class FileUtilitiesTest : public ::testing::Test {
  protected:
    std::string Touch(const std::string& name, const std::string& content = "x") {
        return m_dir.WriteFile(name, content);
    }
    testsupport::TempDir m_dir;
};

TEST_F(FileUtilitiesTest, UniquePathNumbersBeforeShortExtensionsOnly) {
    struct Case {
        const char* existing;
        const char* asked;
        const char* expected;
    };
    const Case cases[] = {
        {"free.txt", "other.txt", "other.txt"},
        {"a.txt", "a.txt", "a#2.txt"},
        {"notes.html", "notes.html", "notes.html#2"},
        {"Dir.v2/readme", "Dir.v2/readme", "Dir.v2/readme#2"},
        {"x.c", "x.c", "x#2.c"},
        {".profile", ".profile", ".profile#2"},
    };
    for (const Case& c : cases) {
        Touch(c.existing);
        EXPECT_EQ(m_dir / c.expected, MakeUniquePath(m_dir / c.asked)) << c.asked;
    }
    Touch("a#2.txt");
    Touch("a#3.txt");
    EXPECT_EQ(m_dir / "a#4.txt", MakeUniquePath(m_dir / "a.txt"));
    fs::create_symlink(m_dir / "nowhere", m_dir.Path() / "dangling");
    EXPECT_EQ(m_dir / "dangling#2", MakeUniquePath(m_dir / "dangling"));
}

TEST_F(FileUtilitiesTest, PathsBeyondTheLimitAreRefused) {
    std::string longPath = m_dir.Path().string() + "/" + std::string(MaxPathLength(), 'a');
    EXPECT_EQ("", MakeUniquePath(longPath));
    EXPECT_FALSE(CreateFolderPath(longPath));
    EXPECT_EQ(-1, FileSizeOf(longPath));
    EXPECT_EQ(ENAMETOOLONG, MoveFileNoReplace(Touch("f"), longPath));
    // A name just under the limit whose numbered form no longer fits.
    std::string nearLimit = m_dir.Path().string() + "/";
    while (nearLimit.size() + 255 < MaxPathLength() - 1)
        nearLimit += std::string(200, 'd') + "/";
    nearLimit += std::string(MaxPathLength() - 1 - nearLimit.size(), 'n');
    ASSERT_EQ(MaxPathLength() - 1, nearLimit.size());
    ASSERT_TRUE(CreateFolderPath(FolderPart(nearLimit)));
    std::string shortName = FolderPart(nearLimit) + "/n";
    Touch(fs::relative(shortName, m_dir.Path()).string());
    EXPECT_EQ(shortName + "#2", MakeUniquePath(shortName));
}

TEST_F(FileUtilitiesTest, NamesAndFolders) {
    EXPECT_EQ("c.txt", FileNamePart("/a/b/c.txt"));
    EXPECT_EQ("plain", FileNamePart("plain"));
    EXPECT_EQ("/a/b", FolderPart("/a/b/c.txt"));
    EXPECT_EQ("plain", FolderPart("plain"));
}

TEST_F(FileUtilitiesTest, SanitizedNamesNeverLeaveTheirFolder) {
    struct Case {
        std::string text;
        bool whole;
        std::string expected;
    };
    const Case cases[] = {
        {"a\\b/c:d*e?f<g>h|i", true, "a_b_c_d_e_f_g_h_i"},
        {"a\\b/c:d*e?f<g>h|i", false, "a\\b_c:d_e_f_g_h_i"},
        {"../../etc/passwd", false, ".._.._etc_passwd"},
        {"..", false, "_"},
        {".", true, "_"},
        {"", false, "_"},
        {std::string("tab\there\x01\x7f"), false, "tab_here__"},
        {"caf\xC3\xA9 r\xC3\xA9sum\xC3\xA9.txt", true, "caf\xC3\xA9 r\xC3\xA9sum\xC3\xA9.txt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, SanitizeFileName(c.text, c.whole)) << c.text;
}

TEST_F(FileUtilitiesTest, CreateFolderPathBuildsTheChain) {
    EXPECT_TRUE(CreateFolderPath(m_dir / "one/two/three"));
    EXPECT_TRUE(fs::is_directory(m_dir.Path() / "one/two/three"));
    EXPECT_TRUE(CreateFolderPath(m_dir / "one/two/three"));
    EXPECT_TRUE(CreateFolderPath(m_dir / "one//two/"));
    Touch("file");
    EXPECT_FALSE(CreateFolderPath(m_dir / "file"));
    EXPECT_FALSE(CreateFolderPath(m_dir / "file/below"));
}

TEST_F(FileUtilitiesTest, BusyFilesCannotBeQueried) {
    std::string path = Touch("busy.bin", std::string(1234, 'b'));
    EXPECT_EQ(1234, FileSizeOf(path));
    std::time_t created = 0, accessed = 0, written = 0;
    EXPECT_TRUE(FileTimesOf(path, created, accessed, written));
    EXPECT_NEAR(std::time(nullptr), written, 60);
    EXPECT_GT(created, 0);
    int other = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(0, ::flock(other, LOCK_EX));
    EXPECT_FALSE(OpenForQuery(path).IsValid());
    EXPECT_EQ(-1, FileSizeOf(path));
    EXPECT_FALSE(FileTimesOf(path, created, accessed, written));
    ::close(other);
    EXPECT_TRUE(OpenForQuery(path).IsValid());
    EXPECT_EQ(-1, FileSizeOf(m_dir / "missing"));
    EXPECT_FALSE(OpenForQuery(m_dir.Path().string()).IsValid()); // a folder is no file
    ASSERT_EQ(0, ::mkfifo((m_dir / "fifo").c_str(), 0600));
    EXPECT_FALSE(OpenForQuery(m_dir / "fifo").IsValid());
}

TEST_F(FileUtilitiesTest, MoveNeverReplaces) {
    std::string from = Touch("from", "new");
    std::string to = Touch("to", "old");
    EXPECT_EQ(EEXIST, MoveFileNoReplace(from, to));
    EXPECT_EQ("old", testsupport::TempDir::ReadFile(to));
    EXPECT_EQ(0, MoveFileNoReplace(from, m_dir / "moved"));
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ("new", testsupport::TempDir::ReadFile(m_dir / "moved"));
}

TEST_F(FileUtilitiesTest, OpenFolderCreatesItAndAsksTheDesktop) {
    std::vector<std::string> opened;
    auto previous = platform::SetShellOpenHook([&](const std::string& p) {
        opened.push_back(p);
        return true;
    });
    MessageRecorder messages;
    OpenFolderInShell(m_dir / "inbox/new");
    EXPECT_TRUE(fs::is_directory(m_dir.Path() / "inbox/new"));
    Touch("blocked");
    OpenFolderInShell(m_dir / "blocked/sub");
    platform::SetShellOpenHook(previous);
    EXPECT_EQ((std::vector<std::string>{m_dir / "inbox/new", m_dir / "blocked/sub"}), opened);
    ASSERT_EQ(1u, messages.ids.size());
    EXPECT_EQ(50206, messages.ids[0]);
    EXPECT_NE(std::string::npos, messages.texts[0].find("'" + m_dir / "blocked/sub" + "'"));
}

class DatedFolderTest : public FileUtilitiesTest {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    static FileRecord Record(const std::string& path, int failed) {
        FileRecord r;
        r.path = path;
        r.failed = failed;
        r.isReceive = 1;
        return r;
    }
    const std::time_t m_day = 826200000; // 7 March 1996, 12:40 UTC
    std::string Dated() { return m_dir / "Received/Received 3-7-1996"; }
};

TEST_F(DatedFolderTest, CompletedFilesMoveAndKeepUniqueNames) {
    std::string partial = m_dir / "Received/Partially Received Files";
    std::vector<FileRecord> records = {
        Record(Touch("Received/Partially Received Files/a.txt", "1"), kRecordSuccessful),
        Record(Touch("Received/Partially Received Files/b.txt", "2"), kRecordFailed),
        Record(Touch("Received/Partially Received Files/c.txt", "3"), kRecordSuccessful),
    };
    Touch("Received/Received 3-7-1996/a.txt", "earlier");
    MoveToDatedFolder(records, m_dir / "Received", m_day);
    EXPECT_EQ(Dated() + "/a#2.txt", records[0].path);
    EXPECT_EQ(partial + "/b.txt", records[1].path);
    EXPECT_EQ(Dated() + "/c.txt", records[2].path);
    EXPECT_EQ("1", testsupport::TempDir::ReadFile(records[0].path));
    EXPECT_EQ("earlier", testsupport::TempDir::ReadFile(Dated() + "/a.txt"));
    EXPECT_TRUE(fs::exists(partial + "/b.txt"));
}

TEST_F(DatedFolderTest, FolderIsRemovedWhenNothingWasMoved) {
    std::vector<FileRecord> records = {Record(Touch("p/x", "1"), kRecordFailed),
                                       Record(Touch("p/y", "1"), kRecordSkipped)};
    MessageRecorder messages;
    MoveToDatedFolder(records, m_dir / "Received", m_day);
    EXPECT_TRUE(fs::is_directory(m_dir.Path() / "Received"));
    EXPECT_FALSE(fs::exists(Dated()));
    EXPECT_TRUE(messages.ids.empty());
}

TEST_F(DatedFolderTest, FailuresAreReportedAndFilesStay) {
    Touch("blocked");
    std::vector<FileRecord> records = {Record(Touch("p/x", "1"), kRecordSuccessful)};
    MessageRecorder messages;
    MoveToDatedFolder(records, m_dir / "blocked", m_day);
    EXPECT_EQ(std::vector<int>{50206}, messages.ids);
    EXPECT_EQ(m_dir / "p/x", records[0].path);

    records = {Record(m_dir / "p/vanished", kRecordSuccessful), records[0]};
    MoveToDatedFolder(records, m_dir / "Received", m_day);
    ASSERT_EQ(2u, messages.ids.size());
    EXPECT_EQ(50223, messages.ids[1]);
    EXPECT_EQ("Unable to move the file '" + m_dir / "p/vanished" + "' to '" + Dated() +
                  "/vanished'.",
              messages.texts[1]);
    EXPECT_EQ(Dated() + "/x", records[1].path);
}

class SendListTest : public FileUtilitiesTest {};

TEST_F(SendListTest, FoldersAreWalkedInNameOrderLeavingBusyFilesOut) {
    Touch("tree/b.txt");
    Touch("tree/a.txt");
    Touch("tree/sub/c.txt");
    Touch("tree/.hidden");
    std::string busy = Touch("tree/busy.txt");
    int holder = ::open(busy.c_str(), O_RDONLY);
    ASSERT_EQ(0, ::flock(holder, LOCK_EX));
    fs::create_directory_symlink(m_dir.Path() / "tree", m_dir.Path() / "tree/sub/loop");
    std::vector<std::string> list;
    EXPECT_TRUE(AddPathToList(m_dir / "tree/", list));
    ::close(holder);
    std::string t = m_dir / "tree";
    EXPECT_EQ(
        (std::vector<std::string>{t + "/.hidden", t + "/a.txt", t + "/b.txt", t + "/sub/c.txt"}),
        list);
}

TEST_F(SendListTest, RelativePathsBecomeAbsolute) {
    Touch("rel/file.txt");
    fs::path previous = fs::current_path();
    fs::current_path(m_dir.Path());
    std::vector<std::string> list;
    EXPECT_TRUE(AddPathToList("rel/./file.txt", list));
    fs::current_path(previous);
    EXPECT_EQ(std::vector<std::string>{m_dir / "rel/file.txt"}, list);
}

TEST_F(SendListTest, AskingAtAHundredFiles) {
    for (int i = 0; i < 150; ++i)
        Touch("many/f" + std::to_string(1000 + i));
    std::vector<std::string> list = {Touch("earlier")};
    {
        MessageRecorder ok(MessageAnswer::Ok);
        EXPECT_TRUE(AddPathToList(m_dir / "many", list));
        EXPECT_EQ(151u, list.size());
        EXPECT_EQ(std::vector<int>{50238}, ok.ids);
        EXPECT_EQ("Are you sure you want to add more than 100 files?", ok.texts[0]);
    }
    list = {Touch("earlier")};
    MessageRecorder cancel(MessageAnswer::Cancel);
    EXPECT_FALSE(AddPathToList(m_dir / "many", list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(1u, cancel.ids.size());
}

} // namespace
