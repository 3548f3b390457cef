// Phone book file reading and writing, and the list model's ordering rules.
#include "data/PhoneBook.h"

#include "data/TextFields.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/ResourceStrings.h"

#include <algorithm>
#include <iterator>

namespace data {
namespace {

constexpr int kDefaultMarkId = 50309;
// The longest field a phone book line gives an entry, in bytes.
constexpr std::size_t kMaxFieldBytes = 254;
constexpr const char* kPhoneBookFile = "PhoneBook.txt";

// A tab or line end inside a field would split the entry differently when it is read back.
std::string FieldText(const std::string& text) {
    std::string field = text;
    std::replace_if(
        field.begin(), field.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; },
        ' ');
    return field;
}

} // namespace

std::size_t PhoneBookList::Insert(const std::string& name, const std::string& number) {
    auto at = std::upper_bound(m_rows.begin(), m_rows.end(), name,
                               [](const std::string& n, const PhoneBookEntry& row) {
                                   return CompareTextsNoCase(n, row.name) < 0;
                               });
    at = m_rows.insert(at, PhoneBookEntry{name, number, false});
    return static_cast<std::size_t>(at - m_rows.begin());
}

void PhoneBookList::InsertAll(std::vector<PhoneBookEntry> rows,
                              std::optional<std::size_t> selected) {
    if (selected)
        SelectNone();
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i].selected = selected && *selected == i;
    m_rows.insert(m_rows.end(), std::make_move_iterator(rows.begin()),
                  std::make_move_iterator(rows.end()));
    std::stable_sort(m_rows.begin(), m_rows.end(),
                     [](const PhoneBookEntry& a, const PhoneBookEntry& b) {
                         return CompareTextsNoCase(a.name, b.name) < 0;
                     });
}

void PhoneBookList::Remove(std::size_t index) {
    if (index < m_rows.size())
        m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(index));
}

void PhoneBookList::Update(std::size_t index, const std::string& name, const std::string& number) {
    if (index < m_rows.size()) {
        m_rows[index].name = name;
        m_rows[index].number = number;
    }
}

void PhoneBookList::Select(std::size_t index) {
    for (std::size_t i = 0; i < m_rows.size(); ++i)
        m_rows[i].selected = i == index;
}

void PhoneBookList::SelectNone() {
    for (PhoneBookEntry& row : m_rows)
        row.selected = false;
}

std::optional<std::size_t> PhoneBookList::Selected() const {
    for (std::size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].selected)
            return i;
    return std::nullopt;
}

void PhoneBookList::Sort(int column) {
    if (column != kNameColumn && column != kNumberColumn)
        return;
    bool ascending = m_ascending[column];
    m_ascending[column] = !ascending;
    auto text = [column](const PhoneBookEntry& e) -> const std::string& {
        return column == kNameColumn ? e.name : e.number;
    };
    std::stable_sort(m_rows.begin(), m_rows.end(),
                     [&](const PhoneBookEntry& a, const PhoneBookEntry& b) {
                         int c = CompareTextsNoCase(text(a), text(b));
                         return ascending ? c < 0 : c > 0;
                     });
}

std::string PhoneBookPath() {
    return platform::DataDirectory() + "/" + kPhoneBookFile;
}

void LoadPhoneBook(PhoneBookList& list, const std::string& path) {
    std::string text;
    if (!platform::ReadWholeFile(path, text))
        return;
    std::string_view mark = platform::LoadResourceString(kDefaultMarkId);
    std::vector<PhoneBookEntry> rows;
    std::optional<std::size_t> selected;
    // A line of any length is one entry, its fields cut to what a field holds.
    for (const std::string& line : SplitTextLines(text, 0)) {
        std::vector<std::string> pieces = SplitAtTabRuns(line);
        if (pieces.empty())
            continue;
        rows.push_back(PhoneBookEntry{
            platform::CutToBytes(pieces[0], kMaxFieldBytes),
            platform::CutToBytes(pieces.size() > 1 ? pieces[1] : std::string(), kMaxFieldBytes),
            false});
        if (pieces.size() > 2 && pieces[2] == mark)
            selected = rows.size() - 1;
    }
    list.InsertAll(std::move(rows), selected);
    if (selected)
        list.SetFocusRequested(true);
}

int SavePhoneBook(const PhoneBookList& list, const std::string& path) {
    std::string_view mark = platform::LoadResourceString(kDefaultMarkId);
    std::string text;
    for (const PhoneBookEntry& row : list.Rows()) {
        text += FieldText(row.name);
        text += '\t';
        text += FieldText(row.number);
        if (row.selected) {
            text += '\t';
            text += mark;
        }
        text += kLineEnd;
    }
    return platform::WriteFileAtomically(path, text);
}

} // namespace data
