// The file engine the transfer layers go through: one open file at a time, a walk over a
// list of file specifications, and the modification date in calendar fields and seconds.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "protocol/Arrival.h"

namespace protocol {

// ZMODEM carries sizes and positions in 32 bits, unsigned, so a file may hold at most this
// many bytes to be sent or received.
inline constexpr std::int64_t kMaxTransferFileSize = UINT32_MAX;

// Julian day number of 1970-01-01, the first day that dates in seconds count from.
inline constexpr int kJulianDay1970 = 2440588;

class FileEngine {
  public:
    FileEngine();
    virtual ~FileEngine();
    FileEngine(const FileEngine&) = delete;
    FileEngine& operator=(const FileEngine&) = delete;

    virtual int BeginList(const char* list, int subFolders) = 0;
    // `name` may be rewritten by an engine that cleans names, so the caller sees the name
    // under which the file was really opened.
    virtual int Open(std::string& name, const char* mode) = 0;
    virtual int Close() = 0;
    virtual int Seek(std::int64_t offset, int origin) = 0;
    virtual std::int64_t Tell() = 0;
    virtual int ApplyDate() = 0;
    virtual int LoadDate() = 0;
    virtual std::int64_t Size() = 0;
    virtual int NextFile() = 0;
    virtual int Write(const void* buffer, int count) = 0;
    virtual int Read(void* buffer, int count) = 0;
    virtual int PutByte(int c) = 0;
    virtual int GetByte(unsigned char& c) = 0;
    virtual int Flush() = 0;
    virtual void ResetSize();
    virtual const char* CurrentPath() const;
    virtual void SetDateFromSeconds(int seconds);
    virtual void SetDateFromJulianDay(int day);
    virtual int DateAsSeconds() const;
    virtual int JulianDay() const;
    virtual void SetDateFields(int year, int month, int day, int hour, int minute, int second);
    virtual void GetDateFields(int& year, int& month, int& day, int& hour, int& minute,
                               int& second) const;

    // The name under which an offered file would be stored (an engine may clean names).
    virtual std::string StoredName(const std::string& name) const { return name; }
    // Bytes of the open file that are on the disk (after handing buffered ones to it); -1
    // when that cannot be told.
    virtual std::int64_t StoredSize() { return -1; }
    // What the folder holds under `name`, links not followed. The base knows no folder:
    // nothing.
    virtual LocalEntry Examine(const std::string& name);
    // The CRC-32 of the first `length` bytes of the file `name`; false when it cannot be read
    // or is shorter.
    virtual bool PrefixCrc(const std::string& name, std::int64_t length, std::uint32_t& crc);

    // Set by the receiver for exactly one NextFile call: "does this file exist here?"
    void SetSingleLookup(int flag) { m_singleLookup = flag; }
    int SingleLookup() const { return m_singleLookup; }

  protected:
    // The date fields as a C library calendar record (zone and summer time left open).
    std::tm DateAsCalendar() const;

    int m_year{1970};
    int m_month{1};
    int m_day{1};
    int m_hour{0};
    int m_minute{0};
    int m_second{0};
    std::int64_t m_cachedSize{-1};
    int m_subFolders{0};
    int m_singleLookup{0};
    // The caller's list text, kept as a copy so that the caller's buffer may go away.
    std::string m_list;
    std::string m_currentPath;
};

// A file time as the protocols carry dates: seconds since 1970 counted in this computer's
// local time (0 before 1970), as DateAsSeconds gives after LoadDate.
int SecondsFromLocalTime(std::time_t when);

// Fliegel-Van Flandern: Gregorian date to Julian day number and back.
int JulianDayFromDate(int year, int month, int day);
void DateFromJulianDay(int julianDay, int& year, int& month, int& day);

} // namespace protocol
