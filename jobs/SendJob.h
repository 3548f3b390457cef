// The send job's worker: modem initialisation, dialling with redials, identification, the
// ZMODEM send of the list, hang-up, and reconnection after a transfer error that resumes from
// the file that failed.
#pragma once

#include <string>

#include "jobs/JobContext.h"
#include "jobs/JobStatusBlock.h"
#include "jobs/TransferWindow.h"

namespace jobs {

// Longest piece of a number one dial command carries; a longer number is dialled in pieces,
// each but the last ending in ";" so the modem comes back to command mode for the next.
inline constexpr int kDialPieceLength = 20;
// How long a dial, a dial piece or an answered call may take to produce its answer line.
inline constexpr int kConnectWaitMs = 120000;
inline constexpr std::uint32_t kAfterFailedDialMs = 2000;
inline constexpr std::uint32_t kAfterConnectMs = 2000;
inline constexpr std::uint32_t kBeforeRetryMs = 5000;
inline constexpr std::uint32_t kAfterRecoveryResetMs = 2000;
inline constexpr std::uint32_t kRedialStepMs = 1000;

// The worker of a send job; the job's result is the final result in the status block,
// announced by WM_JOB_DONE. Returns 0.
int SendJobThread(JobThreadParameter& parameter);

// Dials `number` with tones. kJobSucceeded once the last piece is out (the caller waits for
// the connection), kJobFailed with the error stored, or kJobAborted.
int DialNumber(JobContext& context, JobStatusBlock& block, const std::string& number);

// Counts DelayBetweenRedials minutes down second by second, telling the window each second.
// Stop ends it; "Dial Now" ends it too and is taken back, so the job dials at once.
void WaitBeforeRedial(JobContext& context, JobStatusBlock& block);

// Makes the list begin at the entry of `name`, so the files sent before it are not sent again;
// with `finished`, at the entry after it. A list without that name stays as it is.
void TrimFileListToCurrent(std::string& fileList, const std::string& name, bool finished);

// The job's result for a protocol's status code; a stop by the carrier watch becomes the lost
// carrier (and the request is taken back), and a failure is stored as the job's error.
int TransferOutcome(JobContext& context, JobStatusBlock& block, int status);

// The end of every connection, shared by both jobs: hang up and let the modem's answers pass.
void HangUpAfterJob(JobContext& context, JobStatusBlock& block, bool connected);

// Attempts a job may make: the setting, but at least one.
int AllowedAttempts(const JobContext& context);

} // namespace jobs
