// The plain-text identification the two ends exchange after the modems connect and before
// ZMODEM starts: two copies of this program learn each other's station, and a person at a
// terminal program is told what to do instead.
#pragma once

#include "jobs/JobContext.h"
#include "jobs/JobStatusBlock.h"

namespace jobs {

// The first line each copy writes; a peer that answers with exactly this runs this program.
inline constexpr const char* kProductName = "Sendari";

inline constexpr int kFirstLineWaitMs = 4000;
inline constexpr int kFieldReplyWaitMs = 2000;
inline constexpr int kTerminalReplyWaitMs = 500;

// Both return kJobSucceeded (start ZMODEM), kJobFailed (a write or the link failed; the error is
// stored) or kJobAborted.
int ExchangeIdentificationAsCaller(JobContext& context, JobStatusBlock& block);
int ExchangeIdentificationAsAnswerer(JobContext& context, JobStatusBlock& block);

} // namespace jobs
