// One file of a transfer job as the transfer window records it, and as the post-processing
// of received files and the transfer log read it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace data {

// The value of `failed` for each outcome.
inline constexpr int kRecordSuccessful = 0;
inline constexpr int kRecordFailed = 1; // also "not closed successfully yet"
inline constexpr int kRecordSkipped = 2;

struct FileRecord {
    int closed{0};                // 1 when the record has been closed
    std::string path;             // full path; after a receive, the final path
    std::time_t start{0};         // when the record was opened
    std::int64_t duration{0};     // seconds, set when the record is closed
    std::int64_t size{0};         // bytes announced when the record was opened
    int failed{kRecordFailed};    // kRecordSuccessful, kRecordFailed or kRecordSkipped
    int isReceive{0};             // 0 sending, 1 receiving
    std::string peer;             // the To/From text
    std::time_t lastTime{0};      // time of the last progress on the file
    std::int64_t lastPosition{0}; // bytes transferred at lastTime
    // A file to send that could not be read when its turn came: logged as failed, not skipped.
    bool refused{false};

    // A received file that arrived whole, which the post-processing moves and converts.
    bool Completed() const { return failed == kRecordSuccessful; }
};

} // namespace data
