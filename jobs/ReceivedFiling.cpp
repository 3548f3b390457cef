#include "jobs/ReceivedFiling.h"

#include <unistd.h>

#include "data/AppSettings.h"
#include "data/FileUtilities.h"
#include "data/MacBinary.h"
#include "data/TransferLog.h"
#include "jobs/FiledCopies.h"

namespace jobs {

void ReceivedFiling::File(std::vector<data::FileRecord>& records, bool callSucceeded,
                          std::time_t now, const std::function<void()>& converting) const {
    const data::AppSettings* settings = m_context.settings;
    const std::string receiveSetting = settings ? settings->generalReceiveFolder : std::string();
    // A call received into a folder of its station's (one per named station, one shared by
    // every caller without a name) remembers what it filed if it broke.
    const bool station =
        !m_context.callFolder.empty() && m_context.callFolder != m_context.receiveFolder;
    std::vector<std::string> pathsBefore;
    for (const data::FileRecord& record : records)
        pathsBefore.push_back(record.path);
    // Without a receive folder setting there is no dated folder to move into.
    if (!receiveSetting.empty())
        data::MoveToDatedFolder(records, receiveSetting, now);
    if (station) {
        RememberFiledCopies(m_context.callFolder, pathsBefore, records, callSucceeded,
                            std::time(nullptr), m_context.arrivals);
        // A station's folder stays only while it holds partial copies to resume.
        ::rmdir(m_context.callFolder.c_str());
    }
    if (settings && settings->macBinary != data::kMacBinaryOff) {
        if (converting)
            converting();
        data::ConvertReceivedMacBinaryFiles(records, settings->macBinary);
    }
    data::AppendTransferLog(records, m_context.filesReceived, m_logPath);
}

} // namespace jobs
