// The process-wide abort flag of the running job.
#include "jobs/JobContext.h"

namespace jobs {

std::atomic<int> JobAbortFlag{kAbortNone};

} // namespace jobs
