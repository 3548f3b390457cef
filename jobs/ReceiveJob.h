// The receive side's workers: waiting for a call (modem initialisation, ring counting, answer)
// and the receive job of one answered call (connection, identification, ZMODEM into the
// partial-receive folder, hang-up).
#pragma once

#include <string>

#include "jobs/JobContext.h"
#include "jobs/JobStatusBlock.h"
#include "jobs/TransferWindow.h"
#include "protocol/ListFileEngine.h"

namespace jobs {

// A modem initialisation that met a RING is tried again this many times at most.
inline constexpr int kInitialisationTries = 5;

// The receiving file engine confined to the call's folder: offers are examined, opened and
// read inside it, relative to a descriptor of the folder and never through a link, so a
// receive job never changes the process's current folder, which the other threads share.
class ReceiveFolderEngine : public protocol::ListFileEngine {
  public:
    explicit ReceiveFolderEngine(const std::string& folder);
    // False when the folder could not be opened: every offer is then refused.
    bool Ready() const { return m_ready; }

  private:
    bool m_ready{false};
};

// The folder inside `partialFolder` that a call's files are received into: one per remote
// station, named from the user and phone of its identification, so that a partial copy is
// only resumed for the station that sent it; every caller without either shares the folder
// "Unknown caller".
std::string StationPartialFolder(const std::string& partialFolder, const std::string& user,
                                 const std::string& phone);

// The waiting dialog's worker; posts WM_CALL_WAIT_DONE with kCallAnswered, kCallWaitFailed
// (error in the block) or kCallWaitAborted. Returns 0.
int WaitForCallThread(JobThreadParameter& parameter);

// The transfer window's worker for an answered call; the result is the block's final result,
// announced by WM_JOB_DONE. Returns 0.
int ReceiveJobThread(JobThreadParameter& parameter);

} // namespace jobs
