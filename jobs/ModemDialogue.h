// The job's conversation with its modem on the worker thread: reading and classifying answer
// lines, initialising the modem for a job, and probing for a voice call on an SVD modem.
#pragma once

#include <memory>

#include "comm/HayesModem.h"
#include "jobs/JobContext.h"
#include "jobs/JobStatusBlock.h"

namespace jobs {

// Every buffer handed to WaitForModemResponse has this size.
inline constexpr int kModemLineSize = 256;
// Longest part of a read that passes without a look at the abort flag.
inline constexpr int kResponseSliceMs = 500;
inline constexpr int kModemAnswerMs = 5000;
// The command that lets a DSVD modem switch between voice and data inside one call.
inline constexpr const char* kDsvdEnableCommand = "-SSE=1";

// The modem object a job runs with: its line reads stop as soon as the abort flag is set, so a
// Stop is seen within one poll instead of at the end of a read slice.
// The job's modem: its waits end at the job's Stop.
class JobModem : public comm::HayesModem {
  public:
    using comm::HayesModem::HayesModem;
    void Watch(const JobRequests* requests) { m_requests = requests; }
    int PollHook() override;

  private:
    const JobRequests* m_requests{nullptr};
};

// Classifies a line by the word it begins with, or gives nothing for a line that is no modem
// response (a command echo, text from the remote side).
std::unique_ptr<ModemResponse> MakeResponseEntry(const char* line);

// Reads modem lines for up to timeoutMs into buffer (size bytes). Returns the ResponseCode of the
// first line the response table knows, or of a new line that classifying (classify != 0) adds to
// the table; with classify 0 an unknown line comes back as kResponseUnrecognised with its text as
// received. kResponseTimedOut when the time ran out, kResponseAborted at the job's Stop,
// or the link's negative status when the link failed. *entry is the matched entry or nullptr.
int WaitForModemResponse(JobContext& context, char* buffer, int size, int timeoutMs,
                         const ModemResponse** entry, int classify);

// Opens the modem for a job and sends the speaker, DSVD and extra-settings commands, each of
// which must be answered OK. Returns kJobSucceeded, kJobFailed (error stored) or kJobAborted.
int InitializeModemForJob(JobContext& context, JobStatusBlock& block);

// 1 when the setting ModemType is SVD and a handset is off hook on that modem, else 0.
int DetectSvdCall(JobContext& context);

} // namespace jobs
