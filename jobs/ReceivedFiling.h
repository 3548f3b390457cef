// What a receive call does with its files once it is over: the whole ones move into the dated
// folder of the receive folder, a broken call remembers what it filed (so a redial does not
// file it twice), the station's folder goes once it holds nothing to resume, MacBinary files
// are converted as the settings say, and every file is logged.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "data/FileRecord.h"
#include "jobs/JobContext.h"

namespace jobs {

class ReceivedFiling {
  public:
    // `logPath` is the transfer log; empty for the user's own.
    ReceivedFiling(JobContext& context, std::string logPath)
        : m_context{context}, m_logPath{std::move(logPath)} {}

    // Files the call's records (their paths become the filed ones). `callSucceeded` is the
    // session's end with ZFIN; `now` names the dated folder; `converting` runs before a
    // MacBinary conversion, which can take a while.
    void File(std::vector<data::FileRecord>& records, bool callSucceeded, std::time_t now,
              const std::function<void()>& converting = {}) const;

  private:
    JobContext& m_context;
    std::string m_logPath;
};

} // namespace jobs
