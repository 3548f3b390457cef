// The file and destination choices of a send, without a screen: the list of files to send
// with its totals and sort, and the phone book choice with the telephone number warning.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/AppSettings.h"
#include "data/PhoneBook.h"
#include "data/UserMessages.h"
#include "jobs/SelectDestinationWindow.h"
#include "jobs/SelectFilesWindow.h"
#include "tests/support/TempDir.h"

namespace {

struct Messages {
    explicit Messages(data::MessageAnswer answer = data::MessageAnswer::Ok) {
        previous = data::SetMessageHook(
            [this, answer](data::MessageKind, int id, const std::string& text) {
                ids.push_back(id);
                texts.push_back(text);
                return answer;
            });
    }
    ~Messages() { data::SetMessageHook(previous); }
    std::vector<int> ids;
    std::vector<std::string> texts;
    data::MessageHook previous;
};

std::vector<std::string> Column(const jobs::SelectFilesLogic& logic, int column) {
    std::vector<std::string> texts;
    for (const auto& item : logic.Items())
        texts.push_back(item.Text(column));
    return texts;
}

TEST(SelectFilesLogicTest, AddingListsEachFileOnceAndReportsBusyFilesTogether) {
    testsupport::TempDir temp;
    const std::string a = temp.WriteFile("a.txt", std::string(1, 'a'));
    const std::string b = temp.WriteFile("b.txt", std::string(1024, 'b'));
    const std::string busy = temp.WriteFile("busy.doc", std::string(1025, 'c'));
    std::filesystem::create_directories(temp / "sub");
    temp.WriteFile("sub/deep.txt", "x");
    // Another program holds the third file.
    int holder = ::open(busy.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    std::vector<std::string> sendList;
    jobs::SelectFilesLogic logic(sendList);
    logic.Open();
    EXPECT_FALSE(logic.OkEnabled());
    EXPECT_FALSE(logic.RemoveAllEnabled());
    EXPECT_EQ(logic.TotalText(), "0KB");
    EXPECT_EQ(logic.TimeText(), "00:00:00");
    Messages messages;
    EXPECT_EQ(logic.AddSelection({a, b, busy}), 2);
    ASSERT_EQ(messages.ids, std::vector<int>{jobs::kMsgFilesBusy});
    EXPECT_EQ(messages.texts[0],
              "The following files are busy and cannot be added to the file list: busy.doc.");
    EXPECT_EQ(logic.AddSelection({a}), 0) << "a file already listed is passed over";
    EXPECT_EQ(messages.ids.size(), 1u);
    EXPECT_EQ(Column(logic, jobs::kColumnSize), (std::vector<std::string>{"1KB", "1KB"}));
    ::close(holder);

    // Add All takes the folder's files, not its subfolders, and reports nothing passed over.
    EXPECT_EQ(logic.AddAll(temp.Path().string()), 1);
    EXPECT_EQ(logic.Items().size(), 3u);
    EXPECT_EQ(logic.Items()[2].kilobytes, 2) << "1025 bytes count as 2 KB";
    EXPECT_TRUE(logic.OkEnabled());
    EXPECT_TRUE(logic.RemoveAllEnabled());
    EXPECT_EQ(messages.ids.size(), 1u);
    EXPECT_EQ(logic.AddSelection({temp / "missing.txt"}), 0);
    EXPECT_EQ(messages.ids.size(), 2u);
}

// A file put on the list that has gone by the time the window opens is named, not dropped
// without a word.
TEST(SelectFilesLogicTest, FilesGoneSinceTheyWereListedAreNamedWhenTheWindowOpens) {
    testsupport::TempDir temp;
    const std::string kept = temp.WriteFile("kept.txt", "k");
    std::vector<std::string> sendList{kept, temp / "gone.txt"};
    jobs::SelectFilesLogic logic(sendList);
    Messages messages;
    logic.Open();
    ASSERT_EQ(messages.ids, std::vector<int>{jobs::kMsgFilesGone});
    EXPECT_NE(messages.texts[0].find(temp / "gone.txt"), std::string::npos) << messages.texts[0];
    EXPECT_EQ(logic.Items().size(), 1u);
}

TEST(SelectFilesLogicTest, TotalsKeepTheSizeReadWhenAFileWasAdded) {
    testsupport::TempDir temp;
    const std::string big = temp.WriteFile("big.bin", std::string(453 * 1024 - 100, 'x'));
    const std::string small = temp.WriteFile("small.bin", "x");
    std::vector<std::string> sendList{big, small};
    jobs::SelectFilesLogic logic(sendList);
    logic.Open();
    EXPECT_EQ(logic.TotalText(), "454KB");
    // The file grows after it was listed: removing it takes off what was added.
    temp.WriteFile("big.bin", std::string(900 * 1024, 'x'));
    logic.Remove({0});
    EXPECT_EQ(logic.TotalText(), "1KB");
    logic.RemoveAll();
    EXPECT_EQ(logic.TotalText(), "0KB");
    EXPECT_FALSE(logic.OkEnabled());
    // The estimate at 2500 bytes per second, in 64-bit arithmetic.
    EXPECT_EQ(jobs::SendTimeText(453), "00:03:05");
    EXPECT_EQ(jobs::SendTimeText(0), "00:00:00");
    // 8 GB: the product in bytes no longer fits in 32 bits.
    EXPECT_EQ(jobs::SendTimeText(8LL * 1024 * 1024), "954:26:13");
}

TEST(SelectFilesLogicTest, ColumnsSortAscendingThenDescendingByTheirRealValues) {
    testsupport::TempDir temp;
    const std::string b = temp.WriteFile("b.txt", std::string(12 * 1024, 'x'));
    const std::string a = temp.WriteFile("A.txt", std::string(3 * 1024, 'x'));
    const std::string c = temp.WriteFile("c.txt", std::string(100 * 1024, 'x'));
    // Noon and midnight of one day, and an evening a year before.
    std::tm day{};
    day.tm_year = 126, day.tm_mon = 11, day.tm_mday = 8, day.tm_hour = 12, day.tm_min = 5;
    day.tm_isdst = -1;
    const std::time_t noon = std::mktime(&day);
    day.tm_hour = 0;
    const std::time_t midnight = std::mktime(&day);
    day.tm_year = 125, day.tm_hour = 21;
    const std::time_t lastYear = std::mktime(&day);
    auto stamp = [](const std::string& path, std::time_t when) {
        std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() +
                                                   std::chrono::seconds(when - std::time(nullptr)));
    };
    stamp(b, noon);
    stamp(a, midnight);
    stamp(c, lastYear);
    std::vector<std::string> sendList{b, a, c};
    jobs::SelectFilesLogic logic(sendList);
    logic.Open();
    EXPECT_EQ(
        Column(logic, jobs::kColumnModified),
        (std::vector<std::string>{"12/8/26 12:05 PM", "12/8/26 12:05 AM", "12/8/25 9:05 PM"}));
    logic.Sort(jobs::kColumnSize);
    EXPECT_EQ(Column(logic, jobs::kColumnSize), (std::vector<std::string>{"3KB", "12KB", "100KB"}));
    logic.Sort(jobs::kColumnSize);
    EXPECT_EQ(Column(logic, jobs::kColumnSize), (std::vector<std::string>{"100KB", "12KB", "3KB"}));
    logic.Sort(jobs::kColumnModified);
    EXPECT_EQ(Column(logic, jobs::kColumnName),
              (std::vector<std::string>{"c.txt", "A.txt", "b.txt"}));
    logic.Sort(jobs::kColumnName);
    EXPECT_EQ(Column(logic, jobs::kColumnName),
              (std::vector<std::string>{"A.txt", "b.txt", "c.txt"}));
    logic.Confirm();
    EXPECT_EQ(sendList, (std::vector<std::string>{a, b, c})) << "the order shown";
    EXPECT_TRUE(logic.Confirmed());
}

struct DestinationTest : testing::Test {
    DestinationTest() {
        settings.telephoneCheck = 1;
        std::ofstream(book) << "Zeta\t555 9\nAlpha\t555 1\tDefault\n";
    }
    // Answers the Telephone Number window and remembers that it was shown.
    jobs::TelephoneNumberPrompt Prompt(bool use, bool keepWarning) {
        return [this, use, keepWarning](const std::string& number, bool& keep) {
            prompted.push_back(number);
            keep = keepWarning;
            return use;
        };
    }
    testsupport::TempDir temp;
    std::string book{temp / "PhoneBook.txt"};
    data::AppSettings settings;
    std::vector<std::string> prompted;
};

TEST_F(DestinationTest, APickedEntryGoesAtOnceAndATypedNumberIsCheckedWhileTheWarningIsOn) {
    jobs::SelectDestinationLogic logic(book);
    logic.Open();
    EXPECT_EQ(logic.ChosenName(), "Alpha") << "the default entry is selected";
    EXPECT_EQ(logic.Number(), "555 1");
    EXPECT_TRUE(logic.ConfirmSend(settings, Prompt(true, true)));
    EXPECT_TRUE(prompted.empty());

    // Typing makes the number count as typed.
    logic.NumberEdited("555 1234");
    EXPECT_TRUE(logic.ChosenName().empty());
    EXPECT_FALSE(logic.ConfirmSend(settings, Prompt(false, true))) << "Revise...";
    EXPECT_EQ(logic.Number(), "555 1234") << "the text stays for revising";
    // The check box cleared: the warning is off for good, and saved.
    EXPECT_TRUE(logic.ConfirmSend(settings, Prompt(true, false)));
    EXPECT_EQ(prompted.size(), 2u);
    EXPECT_EQ(settings.telephoneCheck, 0u);
    data::AppSettings stored;
    data::LoadSettings(stored);
    EXPECT_EQ(stored.telephoneCheck, 0u);
    EXPECT_TRUE(logic.ConfirmSend(settings, Prompt(false, true)));
    EXPECT_EQ(prompted.size(), 2u) << "no warning while it is off";

    logic.SelectRow(std::nullopt);
    EXPECT_FALSE(logic.SendEnabled());
    EXPECT_FALSE(logic.EditEnabled());
}

// Letters in a number end in "No answer" a minute later: the warning says so before the call,
// even with the check turned off; a network target is not dialled and passes.
TEST_F(DestinationTest, CharactersAModemDoesNotDialAreWarnedAboutBeforeTheCall) {
    EXPECT_EQ(jobs::UndialableCharacters("555-HELLO"), "HELO");
    EXPECT_EQ(jobs::UndialableCharacters("call-me-maybe"), "calmeyb");
    for (const char* fine : {"+1 (555) 010-0199,,*70#", "9~555 0100", "telnet://bbs.example.org",
                             "127.0.0.1:2323", "[::1]:2323", ""})
        EXPECT_EQ(jobs::UndialableCharacters(fine), "") << fine;
    settings.telephoneCheck = 0;
    EXPECT_FALSE(jobs::CheckTelephoneNumber(settings, "555-HELLO", Prompt(false, true)));
    EXPECT_TRUE(jobs::CheckTelephoneNumber(settings, "555 0100", Prompt(false, true)));
    EXPECT_TRUE(jobs::CheckTelephoneNumber(settings, "127.0.0.1:2323", Prompt(false, true)));
    EXPECT_EQ(prompted, std::vector<std::string>{"555-HELLO"});
}

TEST_F(DestinationTest, EditsStayInPlaceAndDeletionsAreSavedOnClose) {
    Messages messages(data::MessageAnswer::Ok);
    jobs::SelectDestinationLogic logic(book);
    logic.Open();
    logic.SelectRow(0);
    logic.EditSelected("Zulu", "555 2");
    EXPECT_EQ(logic.List().Rows()[0].name, "Zulu") << "an edited row does not move";
    logic.SelectRow(1);
    EXPECT_TRUE(logic.DeleteSelected());
    EXPECT_EQ(messages.texts.back(),
              "Are you sure you want to delete \"Zeta\" from your phone book?");
    logic.Close();
    data::PhoneBookList reread;
    data::LoadPhoneBook(reread, book);
    ASSERT_EQ(reread.Rows().size(), 1u);
    EXPECT_EQ(reread.Rows()[0].name, "Zulu");

    // Edit Destination: both fields must be filled.
    EXPECT_FALSE(jobs::ConfirmEditDestination(settings, "", "555", Prompt(true, true)));
    EXPECT_FALSE(jobs::ConfirmEditDestination(settings, "Office", "", Prompt(true, true)));
    EXPECT_EQ(messages.ids.back(), jobs::kMsgFieldsMustBeFilled);
    EXPECT_TRUE(prompted.empty());
    EXPECT_FALSE(jobs::ConfirmEditDestination(settings, "Office", "555", Prompt(false, true)));
    EXPECT_TRUE(jobs::ConfirmEditDestination(settings, "Office", "555", Prompt(true, true)));
    // Only the name edited: the number is not asked about again.
    prompted.clear();
    EXPECT_TRUE(
        jobs::ConfirmEditDestination(settings, "Head Office", "555", Prompt(false, true), "555"));
    EXPECT_TRUE(prompted.empty());
}

} // namespace
