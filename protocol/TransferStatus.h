// The status record of one transfer job and the hooks through which a transfer reports
// progress and trace lines and learns that it must stop.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace protocol {

inline constexpr int kDirectionReceive = 0;
inline constexpr int kDirectionSend = 1;
// Protocol identifiers below this belong to families that answer a failure with the
// cancel sequence unconditionally.
inline constexpr int kProtocolFamilyLimit = 5;
inline constexpr int kProtocolZmodem = 7;
// File date of a record that has none.
inline constexpr int kNoDate = -1;

inline constexpr int kCheckNotDetermined = 0;
inline constexpr int kCheckCrc16 = 3;
inline constexpr int kCheckCrc32 = 4;
// Names of the check types, indexed by the record's check type.
extern const char* const kCheckTypeNames[5];

inline constexpr const char* kNoFileName = "<None>";

class TransferStatus {
  public:
    TransferStatus() = default;
    virtual ~TransferStatus();

    virtual void ResetStatus(int newDirection);
    // Called at every poll; returns its argument so a reporter can publish the record.
    virtual int Progress(int status);
    virtual void TraceLine(const char* text);
    // 0 to go on, or the negative code with which the transfer must stop.
    virtual int AbortRequested();
    // Whether TraceLine does anything with its text: trace lines are formatted only for a
    // record that keeps them, so the per-subpacket path formats nothing by default.
    virtual bool WantsTraceLines() const;
    // An offer was stored under another name, because its own was taken.
    virtual void FileRenamed(const std::string& offered, const std::string& stored);

    int direction{kDirectionReceive};
    int protocol{0};
    int checkType{kCheckNotDetermined};
    const char* const* checkTypeNames{kCheckTypeNames};
    std::string fileName{kNoFileName};
    int filesDone{0};
    // Files of this run that the receiver skipped (sender), and files that could not be read
    // or stored and were passed over so that the rest could go on.
    int filesSkipped{0};
    int filesFailed{0};
    // Sizes and positions: ZMODEM carries 32 bits of them, unsigned.
    std::int64_t fileSize{0};
    int fileDate{kNoDate};
    int blocks{0};
    int blockLength{0};
    std::int64_t position{0};
    // Bytes of a write that is waiting for room on the line: counted in position already,
    // but not handed to the line yet.
    int unsent{0};
    int statusCode{0};
    int errors{0};
    int retries{0};
};

// Formats a trace line and hands it to the record (a line is cut at 519 characters).
void TraceLineV(TransferStatus& status, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

} // namespace protocol
