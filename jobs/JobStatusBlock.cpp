// Status reporting of a running job.
#include "jobs/JobStatusBlock.h"

namespace jobs {

void SetJobStatus(JobStatusBlock& block, int statusId) {
    block.SetCurrentStatus(statusId);
    platform::PostMessage(block.Window(), WM_JOB_STATUS, statusId, 0);
}

} // namespace jobs
