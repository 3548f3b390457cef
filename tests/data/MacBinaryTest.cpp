// MacBinary headers, the type table and conversions of received files in a temporary folder.
#include "data/MacBinary.h"

#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "data/UserMessages.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

using namespace data;
namespace fs = std::filesystem;

namespace {

struct HeaderFields {
    std::string name = "Report";
    std::string type = "TEXT";
    std::string creator = "ttxt";
    std::uint32_t dataLength = 0;
    std::uint32_t resourceLength = 0;
    bool version2 = true;
};

std::array<std::uint8_t, kMacBinaryHeaderSize> Header(const HeaderFields& fields) {
    std::array<std::uint8_t, kMacBinaryHeaderSize> h{};
    h[1] = static_cast<std::uint8_t>(fields.name.size());
    std::memcpy(&h[2], fields.name.data(), std::min<std::size_t>(fields.name.size(), 63));
    std::memcpy(&h[65], fields.type.data(), std::min<std::size_t>(fields.type.size(), 4));
    std::memcpy(&h[69], fields.creator.data(), std::min<std::size_t>(fields.creator.size(), 4));
    for (int i = 0; i < 4; ++i)
        h[83 + i] = static_cast<std::uint8_t>(fields.dataLength >> (24 - 8 * i));
    for (int i = 0; i < 4; ++i)
        h[87 + i] = static_cast<std::uint8_t>(fields.resourceLength >> (24 - 8 * i));
    if (fields.version2) {
        h[82] = 0;
        h[122] = 129; // version of the writer
        h[123] = 129;
        std::uint16_t crc = MacBinaryCrc(std::span(h).first(124));
        h[124] = static_cast<std::uint8_t>(crc >> 8);
        h[125] = static_cast<std::uint8_t>(crc);
    }
    return h;
}

std::string Padded(std::string fork) {
    fork.resize((fork.size() + 127) / 128 * 128, '\0');
    return fork;
}

// A whole MacBinary file as senders write it: each fork padded to 128 bytes.
std::string MacBinaryFile(const HeaderFields& fields, const std::string& dataFork,
                          const std::string& resourceFork = "") {
    HeaderFields s = fields;
    s.dataLength = static_cast<std::uint32_t>(dataFork.size());
    s.resourceLength = static_cast<std::uint32_t>(resourceFork.size());
    auto h = Header(s);
    return std::string(h.begin(), h.end()) + Padded(dataFork) + Padded(resourceFork);
}

TEST(MacBinaryHeaderTest, CrcMatchesThePublishedVector) {
    const char* check = "123456789";
    EXPECT_EQ(0x31C3, MacBinaryCrc({reinterpret_cast<const std::uint8_t*>(check), 9}));
}

TEST(MacBinaryHeaderTest, VersionOneAndTwoAcceptance) {
    struct Case {
        const char* what;
        std::function<void(std::array<std::uint8_t, 128>&)> change;
        bool accepted;
    };
    const Case cases[] = {
        {"MacBinary II", [](auto&) {}, true},
        {"II with a wrong CRC", [](auto& h) { h[125] ^= 1; }, false},
        {"wrong CRC but I-only bytes zero",
         [](auto& h) { std::fill(h.begin() + 101, h.begin() + 126, 0); }, true},
        {"right CRC but not version 129, II bytes set",
         [](auto& h) {
             h[123] = 130;
             std::uint16_t crc = MacBinaryCrc(std::span(h).first(124));
             h[124] = static_cast<std::uint8_t>(crc >> 8);
             h[125] = static_cast<std::uint8_t>(crc);
         },
         false},
        {"I with byte 82 set",
         [](auto& h) {
             std::fill(h.begin() + 101, h.begin() + 126, 0);
             h[82] = 1;
         },
         false},
        {"old version not 0", [](auto& h) { h[0] = 1; }, false},
        {"byte 74 not 0", [](auto& h) { h[74] = 1; }, false},
        {"name of 64", [](auto& h) { h[1] = 64; }, false},
        {"empty name", [](auto& h) { h[1] = 0; }, false},
        {"control character in the name", [](auto& h) { h[3] = '\n'; }, false},
    };
    for (const Case& c : cases) {
        auto h = Header({});
        c.change(h);
        MacBinaryInfo info;
        EXPECT_EQ(c.accepted, ParseMacBinaryHeader(h, info)) << c.what;
    }
}

TEST(MacBinaryHeaderTest, FieldsAreCopied) {
    auto h = Header(
        {.name = "Folder:Notes", .type = "TIF ", .creator = "8BIM", .dataLength = 0x01020304});
    MacBinaryInfo info;
    ASSERT_TRUE(ParseMacBinaryHeader(h, info));
    EXPECT_EQ("Folder:Notes", info.fileName);
    EXPECT_EQ("TIF ", info.fileType);
    EXPECT_EQ("8BIM", info.creator);
    EXPECT_EQ(0x01020304u, info.dataForkLength);
}

TEST(MacTypeTableTest, Lookups) {
    struct Case {
        std::string_view type, creator;
        std::optional<std::string_view> extension;
    };
    const Case cases[] = {
        {"WDBN", "MSWD", ".doc"},       {"TEXT", "ttxt", ".txt"},
        {"TEXT", "MORE", ".rdy"},       {"TIF ", "8BIM", ".tif"},
        {"TIF", "8BIM", std::nullopt},  {"text", "ttxt", std::nullopt},
        {"WDBN", "XCEL", std::nullopt}, {"XDOC", "XPR3", ".qxd"},
        {"JPEG", "", std::nullopt},     {"SIT!", "SIT!", ".sit"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.extension, LookupMacExtension(c.type, c.creator)) << c.creator << ":" << c.type;
    for (const MacTypeExtension& row : kMacTypeExtensions) {
        std::string_view key = row.key;
        bool wildcard = key.substr(0, 2) == "*:";
        EXPECT_TRUE(wildcard ? key.size() == 6 : key.size() == 9 && key[4] == ':') << key;
        EXPECT_EQ('.', row.extension[0]) << key;
    }
}

TEST(MacTypeTableTest, MessagesForResults) {
    EXPECT_EQ(0, MacBinaryMessageId(kMacConverted));
    EXPECT_EQ(0, MacBinaryMessageId(kMacNotMacBinary));
    EXPECT_EQ(50215, MacBinaryMessageId(kMacOpenFailed));
    EXPECT_EQ(50217, MacBinaryMessageId(kMacDeleteFailed));
    EXPECT_EQ(50220, MacBinaryMessageId(kMacMoveFailed));
}

TEST(TextLineEndsTest, EveryLineEndBecomesCrLf) {
    auto convert = [](std::string_view in, bool& pending) {
        std::vector<std::uint8_t> out(2 * in.size());
        std::size_t n = ConvertTextLineEnds(
            {reinterpret_cast<const std::uint8_t*>(in.data()), in.size()}, out.data(), pending);
        return std::string(out.begin(), out.begin() + n);
    };
    bool pending = false;
    EXPECT_EQ("a\r\nb\r\nc\r\nd\r\n\r\n", convert("a\rb\nc\r\nd\n\r", pending));
    EXPECT_TRUE(pending);
    EXPECT_EQ("e", convert("\ne", pending)); // the LF of a CR LF split between chunks
    EXPECT_FALSE(pending);
    EXPECT_EQ("\r\ne", convert("\ne", pending));
}

class ConvertMacBinaryTest : public ::testing::Test {
  protected:
    std::string Received(const std::string& content, const std::string& name = "incoming.bin") {
        return m_dir.WriteFile("in/" + name, content);
    }
    std::string Folder() { return m_dir / "in"; }
    int Convert(const std::string& path, bool deleteReceived) {
        m_newPath.clear();
        return ConvertMacBinary(path, deleteReceived, m_newPath);
    }
    std::vector<std::string> FolderNames() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(Folder()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    testsupport::TempDir m_dir;
    std::string m_newPath;
};

TEST_F(ConvertMacBinaryTest, NonMacBinaryFilesAreLeftAlone) {
    const std::string shortFile(127, '\0');
    EXPECT_EQ(kMacNotMacBinary, Convert(Received(shortFile, "short"), true));
    EXPECT_EQ(kMacNotMacBinary, Convert(Received(std::string(500, 'x'), "text"), true));
    EXPECT_EQ(
        kMacNotMacBinary,
        Convert(Received(MacBinaryFile({.type = "APPL", .creator = "MSWD"}, "code"), "app"), true));
    EXPECT_EQ((std::vector<std::string>{"app", "short", "text"}), FolderNames());
    EXPECT_EQ(shortFile, testsupport::TempDir::ReadFile(Folder() + "/short"));
}

TEST_F(ConvertMacBinaryTest, OpenAndReadFailuresKeepTheReceivedFile) {
    EXPECT_EQ(kMacOpenFailed, Convert(Folder() + "/missing", true));
    std::string locked = Received(MacBinaryFile({}, "data"), "locked");
    int holder = ::open(locked.c_str(), O_RDONLY);
    ASSERT_EQ(0, ::flock(holder, LOCK_EX));
    EXPECT_EQ(kMacOpenFailed, Convert(locked, true));
    ::close(holder);
    ::unlink(locked.c_str());

    std::string file = MacBinaryFile({.version2 = false}, "only ten b");
    file[86] = static_cast<char>(200); // the header claims more data than the file has
    std::string truncated = Received(file, "truncated");
    EXPECT_EQ(kMacNotMacBinary, Convert(truncated, true));
    EXPECT_EQ(file, testsupport::TempDir::ReadFile(truncated));
    EXPECT_EQ(std::vector<std::string>{"truncated"}, FolderNames()); // no temporary left
}

TEST(MacBinarySizeTest, ForksAccountForTheFileAsSendersPadThem) {
    MacBinaryInfo info;
    info.dataForkLength = 10;
    EXPECT_TRUE(MacBinaryAccountsForSize(info, 128 + 10));  // last fork unpadded
    EXPECT_TRUE(MacBinaryAccountsForSize(info, 128 + 128)); // padded
    EXPECT_FALSE(MacBinaryAccountsForSize(info, 128 + 9));
    EXPECT_FALSE(MacBinaryAccountsForSize(info, 128 + 129));
    info.resourceForkLength = 300;
    info.secondaryHeaderLength = 1;
    EXPECT_TRUE(MacBinaryAccountsForSize(info, 128 + 128 + 128 + 300));
    EXPECT_TRUE(MacBinaryAccountsForSize(info, 128 + 128 + 128 + 384));
    EXPECT_FALSE(MacBinaryAccountsForSize(info, 128 + 128 + 10 + 300)); // data fork unpadded
    info = {};
    EXPECT_TRUE(MacBinaryAccountsForSize(info, 128));
    EXPECT_FALSE(MacBinaryAccountsForSize(info, 82 * 1024));
}

// Ordinary files of common shapes, some of which pass the header's own rules, are never
// touched by any MacBinary setting.
TEST_F(ConvertMacBinaryTest, OrdinaryFilesAreLeftUntouchedUnderEverySetting) {
    std::string iso(32768, '\0');
    iso += "\x01"
           "CD001\x01";
    iso.resize(82 * 1024, 'i');
    std::string tar = "docs/readme.txt";
    tar.resize(512, '\0');
    tar.replace(257, 6, std::string("ustar\0", 6));
    tar += std::string(1024, 'r');
    std::string random(5000, '\0');
    std::uint32_t seed = 12345;
    for (char& c : random)
        c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    random[0] = '\0'; // passes the first rule, as one file in 256 does
    // A header that passes every rule of its own but claims 10 bytes of an 82 KB file.
    std::string claimsLess = MacBinaryFile({.name = "disk"}, "0123456789");
    claimsLess.resize(82 * 1024, 'z');
    const std::pair<const char*, std::string> files[] = {
        {"zeros.img", std::string(82 * 1024, '\0')},
        {"disk.iso", iso},
        {"docs.tar", tar},
        {"archive.zip", std::string("PK\x03\x04\x14\0\0\0", 8) + std::string(600, 'p')},
        {"image.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + std::string(400, 'g')},
        {"paper.pdf", "%PDF-1.4\n" + std::string(700, 'f')},
        {"noise.bin", random},
        {"claims-less.bin", claimsLess},
    };
    for (std::uint32_t setting : {kMacBinaryOff, kMacBinaryConvertKeep, kMacBinaryConvertDelete}) {
        std::vector<FileRecord> records;
        for (const auto& [name, content] : files) {
            FileRecord record;
            record.path = Received(content, name);
            record.failed = kRecordSuccessful;
            records.push_back(record);
        }
        ConvertReceivedMacBinaryFiles(records, setting);
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(Folder() + "/" + files[i].first, records[i].path) << setting;
            EXPECT_TRUE(files[i].second == testsupport::TempDir::ReadFile(records[i].path))
                << files[i].first << " under setting " << setting;
        }
        EXPECT_EQ(std::size(files), FolderNames().size());
    }
}

TEST_F(ConvertMacBinaryTest, MacBinaryFilesOfEveryShapeConvert) {
    struct Case {
        std::string file;
        const char* expectedName;
        std::string expectedData;
    };
    std::string unpadded = MacBinaryFile({.name = "Plain", .version2 = false}, "bytes");
    unpadded.resize(128 + 5); // a sender that does not pad the last fork
    HeaderFields secondaryFields{.name = "Second", .type = "JPEG", .dataLength = 4};
    auto secondaryHeader = Header(secondaryFields);
    secondaryHeader[121] = 20; // a 20-byte secondary header, padded, before the data fork
    std::uint16_t crc = MacBinaryCrc(std::span(secondaryHeader).first(124));
    secondaryHeader[124] = static_cast<std::uint8_t>(crc >> 8);
    secondaryHeader[125] = static_cast<std::uint8_t>(crc);
    std::string secondary = std::string(secondaryHeader.begin(), secondaryHeader.end()) +
                            Padded(std::string(20, 's')) + Padded("data");
    const Case cases[] = {
        {MacBinaryFile({.name = "One", .type = "JPEG", .version2 = false}, "jpeg"), "One.jpg",
         "jpeg"},
        {MacBinaryFile({.name = "Two", .type = "JPEG"}, "jpeg"), "Two.jpg", "jpeg"},
        {MacBinaryFile({.name = "Forks", .type = "JPEG"}, std::string(300, 'd'),
                       std::string(200, 'r')),
         "Forks.jpg", std::string(300, 'd')},
        {MacBinaryFile({.name = "Jan/Feb", .type = "JPEG"}, "slash"), "Jan_Feb.jpg", "slash"},
        {unpadded, "Plain.txt", "bytes"},
        {secondary, "Second.jpg", "data"},
    };
    for (const Case& c : cases) {
        std::string path = Received(c.file);
        ASSERT_EQ(kMacConverted, Convert(path, true)) << c.expectedName;
        EXPECT_EQ(Folder() + "/" + c.expectedName, m_newPath);
        EXPECT_EQ(c.expectedData, testsupport::TempDir::ReadFile(m_newPath));
        EXPECT_FALSE(fs::exists(path));
        fs::remove(m_newPath);
    }
}

TEST_F(ConvertMacBinaryTest, TextGetsCrLfAndTheResourceForkIsDropped) {
    std::string path = Received(MacBinaryFile({.name = "Notes"}, "one\rtwo\r\nthree\n", "RSRC"));
    ASSERT_EQ(kMacConverted, Convert(path, true));
    EXPECT_EQ(Folder() + "/Notes.txt", m_newPath);
    EXPECT_EQ("one\r\ntwo\r\nthree\r\n", testsupport::TempDir::ReadFile(m_newPath));
    EXPECT_EQ(std::vector<std::string>{"Notes.txt"}, FolderNames());
}

TEST_F(ConvertMacBinaryTest, CrLfAcrossTheChunkBoundaryStaysOneLineEnd) {
    std::string data(9999, 'a');
    data += "\r\nb";
    std::string path = Received(MacBinaryFile({.name = "Long"}, data));
    ASSERT_EQ(kMacConverted, Convert(path, true));
    EXPECT_EQ(std::string(9999, 'a') + "\r\nb", testsupport::TempDir::ReadFile(m_newPath));
}

TEST_F(ConvertMacBinaryTest, BinaryDataIsCopiedExactlyInChunks) {
    std::string data;
    for (int i = 0; i < 25000; ++i)
        data += static_cast<char>(i * 7);
    std::string path =
        Received(MacBinaryFile({.name = "Pic", .type = "JPEG", .creator = "8BIM"}, data));
    ASSERT_EQ(kMacConverted, Convert(path, false));
    EXPECT_EQ(Folder() + "/Pic.jpg", m_newPath);
    EXPECT_EQ(data, testsupport::TempDir::ReadFile(m_newPath));
    EXPECT_TRUE(fs::exists(path)); // kept
}

TEST_F(ConvertMacBinaryTest, Names) {
    struct Case {
        HeaderFields fields;
        const char* expected;
    };
    const Case cases[] = {
        {{.name = "Report.doc", .type = "WDBN", .creator = "MSWD"}, "Report.doc"},
        {{.name = "Report.DOC", .type = "WDBN", .creator = "MSWD"}, "Report.DOC.doc"},
        {{.name = "Folder:Notes", .type = "TEXT", .creator = "ttxt"}, "Notes.txt"},
        {{.name = "Picture", .type = "ZZZZ", .creator = "QQQQ"}, "Picture"},
        {{.name = "a/b\\c*?", .type = "ZZZZ", .creator = "QQQQ"}, "a_b_c__"},
        {{.name = "..", .type = "ZZZZ", .creator = "QQQQ"}, "_"},
        {{.name = "R\x8Esum\x8E", .type = "TEXT", .creator = "ttxt"}, "R\xC3\xA9sum\xC3\xA9.txt"},
    };
    for (const Case& c : cases) {
        std::string path = Received(MacBinaryFile(c.fields, "x"));
        ASSERT_EQ(kMacConverted, Convert(path, true)) << c.expected;
        EXPECT_EQ(Folder() + "/" + c.expected, m_newPath);
        fs::remove(m_newPath);
    }
}

TEST_F(ConvertMacBinaryTest, TakenNamesAreNumbered) {
    m_dir.WriteFile("in/Notes.txt", "mine");
    m_dir.WriteFile("in/Notes#2.txt", "mine too");
    ASSERT_EQ(kMacConverted, Convert(Received(MacBinaryFile({.name = "Notes"}, "x")), true));
    EXPECT_EQ(Folder() + "/Notes#3.txt", m_newPath);
    EXPECT_EQ("mine", testsupport::TempDir::ReadFile(Folder() + "/Notes.txt"));
}

TEST_F(ConvertMacBinaryTest, AReceivedFileOfTheSameNameIsReplacedOnlyWhenDeleting) {
    const HeaderFields fields{.name = "Report.doc", .type = "WDBN", .creator = "MSWD"};
    std::string path = Received(MacBinaryFile(fields, "DOC"), "Report.doc");
    ASSERT_EQ(kMacConverted, Convert(path, false));
    EXPECT_EQ(Folder() + "/Report#2.doc", m_newPath);
    fs::remove(m_newPath);
    ASSERT_EQ(kMacConverted, Convert(path, true));
    EXPECT_EQ(path, m_newPath);
    EXPECT_EQ("DOC", testsupport::TempDir::ReadFile(path));
    EXPECT_EQ(std::vector<std::string>{"Report.doc"}, FolderNames());
}

TEST_F(ConvertMacBinaryTest, UnwritableFolderGivesCreateFailure) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes anywhere";
    std::string path = Received(MacBinaryFile({}, "x"));
    fs::permissions(Folder(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(kMacCreateFailed, Convert(path, true));
    fs::permissions(Folder(), fs::perms::owner_all);
    EXPECT_EQ(std::vector<std::string>{"incoming.bin"}, FolderNames());
}

void WriteAt(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

// A folder whose path is exactly `length` characters long.
std::string DeepFolder(const testsupport::TempDir& dir, std::size_t length) {
    std::string folder = dir.Path().string();
    while (folder.size() + 1 + 200 < length)
        folder += "/" + std::string(200, 'd');
    folder += "/" + std::string(length - folder.size() - 1, 'e');
    fs::create_directories(folder);
    return folder;
}

TEST_F(ConvertMacBinaryTest, NamesBeyondThePathLimitFailWithoutLosingTheFile) {
    constexpr std::size_t kTempNameLength = 11; // "/.tmpXXXXXX"
    std::string noRoomForTemp = DeepFolder(m_dir, MaxPathLength() - kTempNameLength);
    std::string received = noRoomForTemp + "/x";
    std::string content = MacBinaryFile({.name = "N"}, "x");
    WriteAt(received, content);
    EXPECT_EQ(kMacCreateFailed, Convert(received, true));
    EXPECT_TRUE(fs::exists(received));

    std::string roomForTempOnly = DeepFolder(m_dir, MaxPathLength() - 30);
    received = roomForTempOnly + "/x";
    content = MacBinaryFile({.name = std::string(40, 'n')}, "x");
    WriteAt(received, content);
    EXPECT_EQ(kMacMoveFailed, Convert(received, true));
    EXPECT_TRUE(fs::exists(received));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(roomForTempOnly), fs::directory_iterator{}));
}

TEST_F(ConvertMacBinaryTest, ReceivedFilesPassFollowsTheSetting) {
    auto records = [&] {
        std::vector<FileRecord> r(3);
        r[0].path = Received(MacBinaryFile({.name = "One"}, "1"), "one.bin");
        r[0].failed = kRecordSuccessful;
        r[1].path = Received(MacBinaryFile({.name = "Two"}, "2"), "two.bin");
        r[1].failed = kRecordFailed; // not completed: left alone
        r[2].path = Folder() + "/vanished.bin";
        r[2].failed = kRecordSuccessful;
        return r;
    };
    std::vector<int> ids;
    std::vector<std::string> texts;
    MessageHook previous = SetMessageHook([&](MessageKind, int id, const std::string& text) {
        ids.push_back(id);
        texts.push_back(text);
        return MessageAnswer::Ok;
    });
    std::vector<FileRecord> off = records();
    ConvertReceivedMacBinaryFiles(off, kMacBinaryOff);
    EXPECT_EQ(Folder() + "/one.bin", off[0].path);
    EXPECT_TRUE(ids.empty());

    std::vector<FileRecord> keep = records();
    ConvertReceivedMacBinaryFiles(keep, kMacBinaryConvertKeep);
    EXPECT_EQ(Folder() + "/One.txt", keep[0].path);
    EXPECT_EQ(Folder() + "/two.bin", keep[1].path);
    EXPECT_EQ(Folder() + "/vanished.bin", keep[2].path);
    EXPECT_TRUE(fs::exists(Folder() + "/one.bin"));
    EXPECT_EQ(std::vector<int>{50215}, ids);
    EXPECT_EQ("Unable to open the receive file: " + Folder() +
                  "/vanished.bin to check for the MacBinary format.",
              texts[0]);

    fs::remove(Folder() + "/One.txt");
    std::vector<FileRecord> convertDelete = records();
    ConvertReceivedMacBinaryFiles(convertDelete, kMacBinaryConvertDelete);
    EXPECT_EQ(Folder() + "/One.txt", convertDelete[0].path);
    EXPECT_FALSE(fs::exists(Folder() + "/one.bin"));
    SetMessageHook(previous);
}

} // namespace
