// The library's own status record: every hook is a no-op; the application's reporter
// publishes the record to its window instead.
#include "protocol/TransferStatus.h"

#include <cstdio>

namespace protocol {

const char* const kCheckTypeNames[5] = {"Not Determined", "1 Byte Checksum", "2 Byte Checksum",
                                        "16 bit CRC", "32 bit CRC"};

TransferStatus::~TransferStatus() = default;

void TransferStatus::ResetStatus(int newDirection) {
    direction = newDirection;
    fileName = kNoFileName;
    fileDate = kNoDate;
    filesDone = filesSkipped = filesFailed = fileSize = blocks = blockLength = position = unsent =
        statusCode = errors = retries = 0;
}

int TransferStatus::Progress(int status) {
    return status;
}

void TransferStatus::TraceLine(const char*) {}

int TransferStatus::AbortRequested() {
    return 0;
}

bool TransferStatus::WantsTraceLines() const {
    return false;
}

void TransferStatus::FileRenamed(const std::string&, const std::string&) {}

void TraceLineV(TransferStatus& status, const char* format, va_list args) {
    constexpr int kTraceSize = 520;
    char text[kTraceSize];
    std::vsnprintf(text, sizeof text, format, args);
    status.TraceLine(text);
}

} // namespace protocol
