// Status reporting of a running job.
#include "jobs/JobStatusBlock.h"

namespace jobs {

void SetJobStatus(JobStatusBlock& block, int statusId) {
    block.SetCurrentStatus(statusId);
    platform::PostMessage(block.Window(), WM_JOB_STATUS, statusId, 0);
}

void PostJobDone(const JobStatusBlock& block) {
    platform::PostMessage(block.Window(), WM_JOB_DONE, 0, 0);
}

void PostCallWaitDone(const JobStatusBlock& block, int result) {
    platform::PostMessage(block.Window(), WM_CALL_WAIT_DONE, 0, result);
}

} // namespace jobs
