// The shared part of every file engine: the modification date in calendar fields, Julian
// day numbers and seconds, the cached size and the current path.
#include "protocol/FileEngine.h"

#include <ctime>

namespace protocol {

namespace {
constexpr int kSecondsPerDay = 86400;
constexpr std::int64_t kTimeLimit = INT32_MAX;

// Splits seconds since 1970 into calendar fields without any zone.
void FieldsFromSeconds(std::int64_t s, int& year, int& month, int& day, int& hour, int& minute,
                       int& second) {
    std::int64_t days = s / kSecondsPerDay;
    std::int64_t rest = s % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    DateFromJulianDay(static_cast<int>(days + kJulianDay1970), year, month, day);
    hour = static_cast<int>(rest / 3600);
    minute = static_cast<int>(rest % 3600 / 60);
    second = static_cast<int>(rest % 60);
}
std::tm CalendarRecord(int year, int month, int day, int hour, int minute, int second) {
    std::tm record{};
    record.tm_year = year - 1900;
    record.tm_mon = month - 1;
    record.tm_mday = day;
    record.tm_hour = hour;
    record.tm_min = minute;
    record.tm_sec = second;
    record.tm_isdst = -1;
    return record;
}
} // namespace

int JulianDayFromDate(int y, int m, int d) {
    int a = (m - 14) / 12;
    return (1461 * (y + 4800 + a)) / 4 + (367 * (m - 2 - 12 * a)) / 12 -
           (3 * ((y + 4900 + a) / 100)) / 4 + d - 32075;
}

void DateFromJulianDay(int julianDay, int& year, int& month, int& day) {
    long l = static_cast<long>(julianDay) + 68569;
    long n = 4 * l / 146097;
    l -= (146097 * n + 3) / 4;
    long i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    long j = 80 * l / 2447;
    day = static_cast<int>(l - 2447 * j / 80);
    l = j / 11;
    month = static_cast<int>(j + 2 - 12 * l);
    year = static_cast<int>(100 * (n - 49) + i + l);
}

FileEngine::FileEngine() = default;
FileEngine::~FileEngine() = default;

LocalEntry FileEngine::Examine(const std::string&) {
    return LocalEntry{};
}

bool FileEngine::PrefixCrc(const std::string&, std::int64_t, std::uint32_t&) {
    return false;
}

int SecondsFromLocalTime(std::time_t when) {
    std::tm local{};
    if (!::localtime_r(&when, &local))
        return 0;
    if (local.tm_year < 70)
        return 0;
    std::int64_t days =
        JulianDayFromDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) - kJulianDay1970;
    std::int64_t seconds =
        days * kSecondsPerDay + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    return static_cast<int>(seconds > kTimeLimit ? kTimeLimit : seconds);
}

void FileEngine::ResetSize() {
    m_cachedSize = -1;
}

const char* FileEngine::CurrentPath() const {
    return m_currentPath.c_str();
}

// The seconds are the sender's local wall-clock time; this computer's zone turns them into
// universal time for the file system. The offset is the one in force on that date (summer
// or winter time), not today's, so a winter date is not stamped an hour off in summer.
void FileEngine::SetDateFromSeconds(int seconds) {
    int year, month, day, hour, minute, second;
    FieldsFromSeconds(seconds, year, month, day, hour, minute, second);
    std::tm wall = CalendarRecord(year, month, day, hour, minute, second);
    std::time_t universal = std::mktime(&wall);
    std::int64_t corrected =
        universal == static_cast<std::time_t>(-1) ? seconds : static_cast<std::int64_t>(universal);
    FieldsFromSeconds(corrected, m_year, m_month, m_day, m_hour, m_minute, m_second);
}

std::tm FileEngine::DateAsCalendar() const {
    return CalendarRecord(m_year, m_month, m_day, m_hour, m_minute, m_second);
}

void FileEngine::SetDateFromJulianDay(int day) {
    DateFromJulianDay(day, m_year, m_month, m_day);
}

// Dates beyond what 32 bits of seconds hold are capped rather than wrapped into the past.
int FileEngine::DateAsSeconds() const {
    if (m_year < 1970)
        return 0;
    std::int64_t s = static_cast<std::int64_t>(JulianDay() - kJulianDay1970) * kSecondsPerDay +
                     m_hour * 3600 + m_minute * 60 + m_second;
    if (s < 0)
        return 0;
    return static_cast<int>(s > kTimeLimit ? kTimeLimit : s);
}

int FileEngine::JulianDay() const {
    return JulianDayFromDate(m_year, m_month, m_day);
}

void FileEngine::SetDateFields(int year, int month, int day, int hour, int minute, int second) {
    m_year = year;
    m_month = month;
    m_day = day;
    m_hour = hour;
    m_minute = minute;
    m_second = second;
}

void FileEngine::GetDateFields(int& year, int& month, int& day, int& hour, int& minute,
                               int& second) const {
    year = m_year;
    month = m_month;
    day = m_day;
    hour = m_hour;
    minute = m_minute;
    second = m_second;
}

} // namespace protocol
