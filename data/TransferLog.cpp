// Writing and reading the transfer log.
#include "data/TransferLog.h"

#include "data/FileUtilities.h"
#include "data/TextFields.h"
#include "data/UserMessages.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/ResourceStrings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace data {
namespace {

constexpr const char* kLogFile = "TRANSLOG.TXT";
constexpr int kCannotOpenLogId = 50211;
constexpr int kCannotUpdateLogId = 50212;
constexpr int kClearLogQuestionId = 50213;
constexpr int kCannotClearLogId = 50214;
constexpr int kSendingId = 50315;
constexpr int kReceivingId = 50316;
constexpr int kSuccessfulId = 50324;
constexpr int kFailedId = 50325;
constexpr int kSkippedId = 50336;
constexpr std::size_t kMaxLinePiece = 1022;
constexpr std::size_t kShortTimeLength = 9;
constexpr int kNumberLimit = 1000000000;

// Fixes the record's figures for its outcome and returns the status text id.
int DecideStatus(FileRecord& record, int& filesReceived) {
    if (record.failed == kRecordFailed && record.lastPosition == 0 && !record.refused) {
        record.failed = kRecordSkipped;
        record.duration = 0;
        record.size = 0;
        return kSkippedId;
    }
    if (record.failed == kRecordSuccessful) {
        if (record.isReceive)
            ++filesReceived;
        return kSuccessfulId;
    }
    record.duration = record.lastTime - record.start;
    record.size = record.lastPosition;
    return kFailedId;
}

// A text as one field of the tab-separated log: tabs and line ends (which a local file name
// or a destination's name may hold) would break the columns, so they become blanks; so do the
// other line breaks a viewer honours (NEL, and the line and paragraph separators U+2028 and
// U+2029 in UTF-8), each as one blank.
std::string LogField(const std::string& text) {
    std::string field;
    field.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const unsigned char next =
            i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        const unsigned char third =
            i + 2 < text.size() ? static_cast<unsigned char>(text[i + 2]) : 0;
        if (c == 0xC2 && next == 0x85) {
            field += ' ';
            i += 1;
        } else if (c == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) {
            field += ' ';
            i += 2;
        } else {
            field +=
                (c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f') ? ' ' : text[i];
        }
    }
    return field;
}

std::string FormatLine(const FileRecord& record, int statusId) {
    const std::string fields[kTransferLogFields] = {
        FormatLogDate(record.start),
        LogField(FileNamePart(record.path)),
        platform::ResourceText(record.isReceive ? kReceivingId : kSendingId),
        LogField(record.peer),
        platform::ResourceText(statusId),
        FormatLogSize(record.size),
        FormatLogDuration(record.duration),
        LogField(record.path),
    };
    std::string line;
    for (int i = 0; i < kTransferLogFields; ++i) {
        if (i > 0)
            line += '\t';
        line += fields[i];
    }
    line += kLineEnd;
    return line;
}

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A small scanf-like reader over untrusted text: numbers are clamped instead of overflowing.
class Scanner {
  public:
    explicit Scanner(std::string_view text) : m_text{text} {}

    bool Number(int& out) {
        SkipBlanks();
        std::size_t i = 0;
        bool negative = false;
        if (i < m_text.size() && (m_text[i] == '-' || m_text[i] == '+'))
            negative = m_text[i++] == '-';
        std::size_t digits = i;
        long long value = 0;
        while (i < m_text.size() && m_text[i] >= '0' && m_text[i] <= '9') {
            value = std::min<long long>(value * 10 + (m_text[i] - '0'), kNumberLimit);
            ++i;
        }
        if (i == digits)
            return false;
        m_text.remove_prefix(i);
        out = static_cast<int>(negative ? -value : value);
        return true;
    }
    bool Literal(char c) {
        if (m_text.empty() || m_text.front() != c)
            return false;
        m_text.remove_prefix(1);
        return true;
    }
    bool Blank() { // one or more blanks, as a blank in a scanf format
        SkipBlanks();
        return true;
    }
    bool Word(std::string& out, std::size_t maxLength) {
        SkipBlanks();
        out.clear();
        while (!m_text.empty() && out.size() < maxLength && !IsBlank(m_text.front())) {
            out += m_text.front();
            m_text.remove_prefix(1);
        }
        return !out.empty();
    }

  private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    void SkipBlanks() {
        while (!m_text.empty() && IsBlank(m_text.front()))
            m_text.remove_prefix(1);
    }
    std::string_view m_text;
};

} // namespace

std::string TransferLogPath() {
    return platform::DataDirectory() + "/" + kLogFile;
}

std::string FormatLogDate(std::time_t time) {
    std::tm t{};
    ::localtime_r(&time, &t);
    int hour12 = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d/%d/%02d %d:%02d:%02d %s", t.tm_mon + 1, t.tm_mday,
                  t.tm_year % 100, hour12, t.tm_min, t.tm_sec, t.tm_hour < 12 ? "AM" : "PM");
    return buffer;
}

std::string FormatLogSize(std::int64_t bytes) {
    return std::to_string((std::max<std::int64_t>(bytes, 0) + 1023) / 1024) + "KB";
}

std::string FormatLogDuration(std::int64_t seconds) {
    seconds = std::max<std::int64_t>(seconds, 0);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld",
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60));
    return buffer;
}

bool AppendTransferLog(std::vector<FileRecord>& records, int& filesReceived,
                       const std::string& path) {
    // The outcome and the count of received files belong to the job, whether or not the log
    // can be written.
    std::vector<int> statusIds;
    for (FileRecord& record : records)
        statusIds.push_back(DecideStatus(record, filesReceived));

    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        ShowMessage(MessageKind::Exclamation, kCannotOpenLogId);
        return false;
    }
    bool ok = true;
    for (std::size_t i = 0; i < records.size() && ok; ++i) {
        struct stat before {};
        bool sized = ::fstat(fd, &before) == 0;
        ok = WriteAll(fd, FormatLine(records[i], statusIds[i]));
        if (!ok) {
            // A full disk may have taken part of the line; the log keeps whole lines only.
            if (sized)
                (void)::ftruncate(fd, before.st_size);
            ShowMessage(MessageKind::Exclamation, kCannotUpdateLogId);
        }
    }
    if (::close(fd) != 0 && ok) {
        ShowMessage(MessageKind::Exclamation, kCannotUpdateLogId);
        ok = false;
    }
    return ok;
}

LogTime ParseLogTime(std::string_view text, std::time_t now) {
    std::tm today{};
    ::localtime_r(&now, &today);
    LogTime t;
    Scanner s(text);
    if (text.size() < kShortTimeLength && text.find(':') != std::string_view::npos) {
        t.year = today.tm_year + 1900;
        t.month = today.tm_mon + 1;
        t.day = today.tm_mday;
        (void)(s.Number(t.hour) && s.Literal(':') && s.Number(t.minute) && s.Literal(':') &&
               s.Number(t.second));
        return t;
    }
    std::string marker;
    (void)(s.Number(t.month) && s.Literal('/') && s.Number(t.day) && s.Literal('/') &&
           s.Number(t.year) && s.Blank() && s.Number(t.hour) && s.Literal(':') &&
           s.Number(t.minute) && s.Literal(':') && s.Number(t.second) && s.Word(marker, 2));
    if (t.year < 100) {
        int current = today.tm_year + 1900;
        t.year += current - current % 100;
    }
    for (char& c : marker)
        c = static_cast<char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    // The writer puts midnight down as "12:xx AM" and noon as "12:xx PM".
    if (marker == "PM" && t.hour != 12)
        t.hour += 12;
    else if (marker == "AM" && t.hour == 12)
        t.hour = 0;
    return t;
}

int CompareLogTimes(std::string_view a, std::string_view b, std::time_t now) {
    LogTime x = ParseLogTime(a, now);
    LogTime y = ParseLogTime(b, now);
    return x < y ? -1 : (y < x ? 1 : 0);
}

int CompareLeadingNumbers(std::string_view a, std::string_view b) {
    int x = 0;
    int y = 0;
    Scanner(a).Number(x);
    Scanner(b).Number(y);
    return x < y ? -1 : (y < x ? 1 : 0);
}

bool TransferLogModel::Load(const std::string& path) {
    m_rows.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        ShowMessage(MessageKind::Exclamation, kCannotOpenLogId);
        return false;
    }
    ::close(fd);
    std::string text;
    if (!platform::ReadWholeFile(path, text)) {
        ShowMessage(MessageKind::Exclamation, kCannotOpenLogId);
        return false;
    }
    for (const std::string& line : SplitTextLines(text, kMaxLinePiece)) {
        TransferLogRow row;
        std::vector<std::string> pieces = SplitAtTabRuns(line);
        for (std::size_t i = 0; i < pieces.size() && i < row.size(); ++i)
            row[i] = std::move(pieces[i]);
        m_rows.push_back(std::move(row));
    }
    return true;
}

bool TransferLogModel::Sort(int column, std::time_t now) {
    if (column < 0 || column >= kTransferLogFields)
        return true;
    bool ascending = m_ascending[column];
    m_ascending[column] = !ascending;
    auto compare = [column, now](const std::string& a, const std::string& b) {
        if (column == kDateColumn || column == kDurationColumn)
            return CompareLogTimes(a, b, now);
        if (column == kSizeColumn)
            return CompareLeadingNumbers(a, b);
        return CompareTextsNoCase(a, b);
    };
    std::stable_sort(m_rows.begin(), m_rows.end(),
                     [&](const TransferLogRow& a, const TransferLogRow& b) {
                         int c = compare(a[column], b[column]);
                         return ascending ? c < 0 : c > 0;
                     });
    return ascending;
}

void TransferLogModel::Clear(const std::string& path) {
    if (ShowMessage(MessageKind::QuestionNoYes, kClearLogQuestionId) != MessageAnswer::Yes)
        return;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        ShowMessage(MessageKind::Exclamation, kCannotClearLogId);
    else
        ::close(fd);
    m_rows.clear();
}

} // namespace data
