// The "Select Files" window's logic without a toolkit: the list of files to send with each
// file's size, type and modification time, the total in kilobytes and the estimated send
// time, adding (one file, a selection, a whole folder) with the busy-file message, removing,
// and the column sort. A window shows it next to a file browser of its own.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace jobs {

inline constexpr int kMsgFilesBusy = 50208;
inline constexpr int kMsgFilesGone = 50248;
// The rate the estimated send time assumes, in bytes per second.
inline constexpr int kEstimateBytesPerSecond = 2500;

// Columns of the list.
inline constexpr int kColumnName = 0;
inline constexpr int kColumnSize = 1;
inline constexpr int kColumnType = 2;
inline constexpr int kColumnModified = 3;
inline constexpr int kColumnPath = 4;
inline constexpr int kFileColumns = 5;

struct SendFileItem {
    std::string path; // identifies the item
    std::string name;
    std::string type;
    std::int64_t kilobytes{0}; // rounded up, as read when the file was added
    bool modifiedKnown{false};
    std::time_t modified{0};

    std::string Text(int column) const;
};

// Kilobytes of a size, rounded up: 1 byte and 1024 bytes are 1 KB, 1025 bytes 2 KB.
std::int64_t RoundedKilobytes(std::int64_t bytes);
// "453KB".
std::string KilobytesText(std::int64_t kilobytes);
// "00:03:05" for 453 KB at 2500 bytes per second (64-bit, so large totals stay right).
std::string SendTimeText(std::int64_t totalKilobytes);
// "12/8/26 12:05 PM": month/day/two-digit year, a 12-hour clock from 12 AM to 11 PM.
std::string ModifiedText(std::time_t when);

class SelectFilesLogic {
  public:
    // The type name shown for a file (the window asks its desktop's type database).
    using TypeNamer = std::function<std::string(const std::string& path)>;

    SelectFilesLogic(std::vector<std::string>& sendList, TypeNamer typeNamer = {});

    // Lists the send list's files; what cannot be listed is left out without a message.
    void Open();

    enum class AddResult { Added, PassedOver, Failed };
    // One file by its full path: folders, "." and "..", and a path already listed are passed
    // over; a missing, busy or unreadable file fails.
    AddResult AddFile(const std::string& path);
    // "Add" over the browser's selection, and "Add All" over a folder's entries: the names
    // that failed are reported together in one message. Returns the number of files added.
    int AddSelection(const std::vector<std::string>& paths);
    int AddAll(const std::string& folder);

    // Removes the items at these indices of the list as it stands.
    void Remove(std::vector<std::size_t> indices);
    void RemoveAll();
    // The column heading click: ascending first, then alternating per column.
    void Sort(int column);

    // OK: the list becomes the send list, in the order shown.
    void Confirm();
    bool Confirmed() const { return m_confirmed; }

    const std::vector<SendFileItem>& Items() const { return m_items; }
    std::int64_t TotalKilobytes() const { return m_totalKilobytes; }
    std::string TotalText() const { return KilobytesText(m_totalKilobytes); }
    std::string TimeText() const { return SendTimeText(m_totalKilobytes); }
    bool RemoveEnabled(bool anySelected) const { return anySelected; }
    bool RemoveAllEnabled() const { return !m_items.empty(); }
    bool OkEnabled() const { return !m_items.empty(); }

  private:
    void ReportFailures(const std::vector<std::string>& names, int id = kMsgFilesBusy) const;

    std::vector<std::string>& m_sendList;
    TypeNamer m_typeNamer;
    std::vector<SendFileItem> m_items;
    std::int64_t m_totalKilobytes{0};
    bool m_ascending[kFileColumns]{true, true, true, true, true};
    bool m_confirmed{false};
};

} // namespace jobs
