// Phone book file format and the list model's order and selection rules.
#include "data/PhoneBook.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace data;

namespace {

class PhoneBookTest : public ::testing::Test {
  protected:
    PhoneBookList LoadText(const std::string& text) {
        PhoneBookList list;
        LoadPhoneBook(list, m_dir.WriteFile("PhoneBook.txt", text));
        return list;
    }
    static std::vector<std::string> Names(const PhoneBookList& list) {
        std::vector<std::string> names;
        for (const PhoneBookEntry& e : list.Rows())
            names.push_back(e.name);
        return names;
    }
    std::string SaveText(const PhoneBookList& list) {
        EXPECT_EQ(0, SavePhoneBook(list, m_dir / "PhoneBook.txt"));
        return testsupport::TempDir::ReadFile(m_dir / "PhoneBook.txt");
    }
    testsupport::TempDir m_dir;
};

TEST_F(PhoneBookTest, LivesInTheDataFolder) {
    EXPECT_EQ(m_dir / "data/Sendari/PhoneBook.txt", PhoneBookPath());
}

TEST_F(PhoneBookTest, LinesBecomeRowsSortedByName) {
    PhoneBookList list = LoadText("zed\t555-0100\r\n"
                                  "\t\tAnna\t\t\t+1 (212) 555 0199\r\n"
                                  "\r\n"
                                  "\t\t\r\n"
                                  "bob\r\n"
                                  "Carl\t1\tExtra\tFields\n");
    ASSERT_EQ((std::vector<std::string>{"Anna", "bob", "Carl", "zed"}), Names(list));
    EXPECT_EQ("+1 (212) 555 0199", list.Rows()[0].number);
    EXPECT_EQ("", list.Rows()[1].number);
    EXPECT_EQ(std::nullopt, list.Selected());
    EXPECT_FALSE(list.FocusRequested());
}

TEST_F(PhoneBookTest, DefaultMarkSelectsOneRow) {
    struct Case {
        const char* text;
        std::optional<std::string> selected;
    };
    const Case cases[] = {
        {"a\t1\tDefault\r\nb\t2\r\n", "a"},
        {"a\t1\tdefault\r\nb\t2\r\n", std::nullopt},
        {"a\t1\tDefault\r\nc\t3\r\nb\t2\tDefault\r\n", "b"}, // the later line wins
        {"a\tDefault\r\n", std::nullopt},                    // that is the number
    };
    for (const Case& c : cases) {
        PhoneBookList list = LoadText(c.text);
        std::optional<std::string> selected;
        if (list.Selected())
            selected = list.Rows()[*list.Selected()].name;
        EXPECT_EQ(c.selected, selected) << c.text;
        EXPECT_EQ(c.selected.has_value(), list.FocusRequested()) << c.text;
        int marked = 0;
        for (const PhoneBookEntry& e : list.Rows())
            marked += e.selected;
        EXPECT_LE(marked, 1);
    }
}

TEST_F(PhoneBookTest, ALongLineIsOneEntryWithItsFieldsCut) {
    std::string longName(300, 'n');
    PhoneBookList list = LoadText(longName + "\t12\t" + std::string(600, 'x') + "\r\n" +
                                  std::string(254, 'm') + "\t" + std::string(400, '9') + "\r\n");
    ASSERT_EQ(2u, list.Rows().size());
    EXPECT_EQ(std::string(254, 'm'), list.Rows()[0].name);
    EXPECT_EQ(std::string(254, '9'), list.Rows()[0].number);
    EXPECT_EQ(std::string(254, 'n'), list.Rows()[1].name);
    EXPECT_EQ("12", list.Rows()[1].number);
    // Saved and read again, the book stays as it is.
    PhoneBookList again = LoadText(SaveText(list));
    EXPECT_EQ(Names(again), Names(list));
}

TEST_F(PhoneBookTest, RowsOfOneNameKeepTheOrderOfTheFile) {
    PhoneBookList list = LoadText("b\t1\r\na\t2\r\nB\t3\tDefault\r\nb\t4\r\n");
    std::vector<std::string> numbers;
    for (const PhoneBookEntry& e : list.Rows())
        numbers.push_back(e.number);
    EXPECT_EQ(numbers, (std::vector<std::string>{"2", "1", "3", "4"}));
    ASSERT_TRUE(list.Selected());
    EXPECT_EQ(list.Rows()[*list.Selected()].number, "3");
}

TEST_F(PhoneBookTest, MissingFileGivesAnEmptyList) {
    PhoneBookList list;
    LoadPhoneBook(list, m_dir / "none.txt");
    EXPECT_TRUE(list.Rows().empty());
}

TEST_F(PhoneBookTest, SavingWritesRowsInOrderWithCrLf) {
    PhoneBookList list;
    EXPECT_EQ("", SaveText(list));
    list.Insert("Name only", "");
    list.Insert("Alpha", "9,555 0100");
    EXPECT_EQ("Alpha\t9,555 0100\r\nName only\t\r\n", SaveText(list));
    list.Select(1);
    EXPECT_EQ("Alpha\t9,555 0100\r\nName only\t\tDefault\r\n", SaveText(list));
    list.SelectNone();
    list.Insert("Tab\tin name", "1\r\n2");
    EXPECT_EQ("Alpha\t9,555 0100\r\nName only\t\r\nTab in name\t1  2\r\n", SaveText(list));
}

TEST_F(PhoneBookTest, FailedSaveKeepsTheOldFile) {
    std::string path = m_dir.WriteFile("PhoneBook.txt", "old\t1\r\n");
    PhoneBookList list;
    list.Insert("new", "2");
    EXPECT_NE(0, SavePhoneBook(list, m_dir / "missing-folder/PhoneBook.txt"));
    std::filesystem::create_directory(m_dir / "dir.txt");
    EXPECT_NE(0, SavePhoneBook(list, m_dir / "dir.txt"));
    EXPECT_EQ("old\t1\r\n", testsupport::TempDir::ReadFile(path));
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
        EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tmp")) << entry.path();
}

TEST_F(PhoneBookTest, HeaderClicksAlternateAndTheSavedOrderIsKept) {
    PhoneBookList list = LoadText("b\t3\r\nA\t1\r\nc\t2\tDefault\r\n");
    list.Sort(PhoneBookList::kNumberColumn);
    EXPECT_EQ((std::vector<std::string>{"A", "c", "b"}), Names(list));
    list.Sort(PhoneBookList::kNumberColumn);
    EXPECT_EQ((std::vector<std::string>{"b", "c", "A"}), Names(list));
    list.Sort(PhoneBookList::kNameColumn);
    EXPECT_EQ((std::vector<std::string>{"A", "b", "c"}), Names(list));
    list.Sort(PhoneBookList::kNameColumn);
    EXPECT_EQ((std::vector<std::string>{"c", "b", "A"}), Names(list));
    EXPECT_EQ("c\t2\tDefault\r\nb\t3\r\nA\t1\r\n", SaveText(list));
    EXPECT_EQ("c", list.Rows()[*list.Selected()].name);
    PhoneBookList again;
    LoadPhoneBook(again, m_dir / "PhoneBook.txt");
    EXPECT_EQ((std::vector<std::string>{"A", "b", "c"}), Names(again));
}

} // namespace
