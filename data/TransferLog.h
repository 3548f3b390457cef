// The transfer log "TRANSLOG.TXT" in the data folder: one tab-separated line per file of every
// job (date, file name, direction, other side, status, size, duration, full path), its writer,
// and the model of the "Transfer Log" viewer with its sorts.
#pragma once

#include "data/FileRecord.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace data {

inline constexpr int kTransferLogFields = 8;

// DataDirectory() + "/TRANSLOG.TXT".
std::string TransferLogPath();

// Decides each record's status ("Skipped" records get failed 2 and a zero size and duration;
// "Failed" ones the size and time reached by their last progress), counts the successfully
// received files into `filesReceived`, and appends one line per record to the log at `path`.
// Shows 50211 when the log cannot be opened and 50212 when a line cannot be written (later
// records are then not logged, and no partial line is left behind). False after a failure.
bool AppendTransferLog(std::vector<FileRecord>& records, int& filesReceived,
                       const std::string& path = TransferLogPath());

// The field formats: "3/7/96 2:05:09 PM" in local time, "12KB" (kilobytes rounded up) and
// "01:02:03" (hours count on past a day).
std::string FormatLogDate(std::time_t time);
std::string FormatLogSize(std::int64_t bytes);
std::string FormatLogDuration(std::int64_t seconds);

enum class ColumnAlignment { Left, Right };

struct TransferLogColumn {
    int titleId;
    ColumnAlignment alignment;
    int width; // pixels
};

inline constexpr std::array<TransferLogColumn, kTransferLogFields> kTransferLogColumns = {{
    {50317, ColumnAlignment::Left, 120}, // Date
    {50318, ColumnAlignment::Left, 140}, // Filename
    {50319, ColumnAlignment::Left, 70},  // Direction
    {50335, ColumnAlignment::Left, 100}, // To/From
    {50320, ColumnAlignment::Left, 70},  // Status
    {50321, ColumnAlignment::Right, 80}, // Transfer Size
    {50322, ColumnAlignment::Left, 70},  // Duration
    {50323, ColumnAlignment::Left, 500}, // Full Path Name
}};

inline constexpr int kDateColumn = 0;
inline constexpr int kSizeColumn = 5;
inline constexpr int kDurationColumn = 6;

using TransferLogRow = std::array<std::string, kTransferLogFields>;

// A time read back from a log field for sorting, compared field by field.
struct LogTime {
    int year{0};
    int month{0};
    int day{0};
    int hour{0};
    int minute{0};
    int second{0};
    auto operator<=>(const LogTime&) const = default;
};

// Reads a Date or Duration field. A text under 9 characters with a ":" is "h:m:s" of today;
// anything else "m/d/y h:m:s AM|PM", a year below 100 lying in the current century, 12 AM
// being hour 0 and 12 PM hour 12. Missing parts read as 0. `now` fixes today and the century.
LogTime ParseLogTime(std::string_view text, std::time_t now);

// The three comparisons of the viewer's sorts; each gives -1, 0 or 1.
int CompareLogTimes(std::string_view a, std::string_view b, std::time_t now);
int CompareLeadingNumbers(std::string_view a, std::string_view b); // "12KB" counts as 12
// (texts compare with CompareTextsNoCase)

// The viewer's rows and sort directions.
class TransferLogModel {
  public:
    // Reads the log at `path`, creating it empty when absent and never truncating it. Lines
    // are read in pieces of at most 1022 characters; each piece is a row whose cells are the
    // first eight fields (a run of tabs is one separator). Shows 50211 and returns false when
    // the log cannot be opened.
    bool Load(const std::string& path = TransferLogPath());

    // Sorts by `column`: ascending on the first click of a column, then alternating. Returns
    // whether this sort was ascending (for the heading's arrow).
    bool Sort(int column, std::time_t now = std::time(nullptr));

    // Asks 50213 (No being the default answer); on Yes empties the log (50214 when that fails) and
    // the rows.
    void Clear(const std::string& path = TransferLogPath());

    const std::vector<TransferLogRow>& Rows() const { return m_rows; }

  private:
    std::vector<TransferLogRow> m_rows;
    std::array<bool, kTransferLogFields> m_ascending{true, true, true, true,
                                                     true, true, true, true};
};

} // namespace data
