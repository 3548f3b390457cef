// The user's list of destinations, kept in "PhoneBook.txt" in the data folder: one entry per
// line, name, tab, number, and a tab and "Default" on the entry selected last.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace data {

struct PhoneBookEntry {
    std::string name;   // at most 64 characters, as the edit dialog limits it
    std::string number; // exactly as typed, "as dialed"
    bool selected{false};
};

// The rows of the Select Destination list, as a plain model the dialog shows: rows are inserted
// in ascending name order, at most one row is selected, and a header click sorts by a column.
class PhoneBookList {
  public:
    static constexpr int kNameColumn = 0;
    static constexpr int kNumberColumn = 1;

    // Inserts a row at its place by name and returns its index.
    std::size_t Insert(const std::string& name, const std::string& number);
    // Inserts many rows at once, each at its place by name (rows of equal names keep their
    // order), in one sort rather than one shift per row; `selected` indexes `rows`.
    void InsertAll(std::vector<PhoneBookEntry> rows, std::optional<std::size_t> selected);
    void Remove(std::size_t index);
    // Writes a row's texts in place; the row keeps its position until the next sort or load.
    void Update(std::size_t index, const std::string& name, const std::string& number);
    void Clear() { m_rows.clear(); }

    // Selects one row (deselecting any other); SelectNone clears the selection.
    void Select(std::size_t index);
    void SelectNone();
    std::optional<std::size_t> Selected() const;

    // Sorts by column 0 or 1, ascending on the first click of a column and alternating after.
    void Sort(int column);

    const std::vector<PhoneBookEntry>& Rows() const { return m_rows; }

    // Set by a load that selected a row: the list should take the input focus.
    bool FocusRequested() const { return m_focusRequested; }
    void SetFocusRequested(bool requested) { m_focusRequested = requested; }

  private:
    std::vector<PhoneBookEntry> m_rows;
    bool m_ascending[2]{true, true};
    bool m_focusRequested{false};
};

// DataDirectory() + "/PhoneBook.txt".
std::string PhoneBookPath();

// Adds the entries of the file at `path` to `list`; a missing or unreadable file adds nothing.
void LoadPhoneBook(PhoneBookList& list, const std::string& path);

// Replaces the file at `path` with the rows in their current order, atomically so that a crash
// or a full disk keeps the old phone book. Returns 0 or the errno of the failure.
int SavePhoneBook(const PhoneBookList& list, const std::string& path);

} // namespace data
