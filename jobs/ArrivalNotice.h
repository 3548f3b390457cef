// The desktop notification for a call that brought files: who sent them and what arrived.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "data/FileRecord.h"

namespace jobs {

struct ArrivalNotice {
    std::string title; // "Files received from Lighthouse"
    std::string body;  // "one.bin, two.bin and 3 more"
};

// The notice for a call's file records, or nothing when no file of it arrived whole.
std::optional<ArrivalNotice> ArrivalNoticeFor(const std::vector<data::FileRecord>& records);

} // namespace jobs
