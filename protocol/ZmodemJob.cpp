// The job's ZMODEM set-up.
#include "protocol/ZmodemJob.h"

#include <fcntl.h>
#include <unistd.h>

#include "comm/StatusCodes.h"

namespace protocol {

using namespace comm;

namespace {
// Makes a folder current and goes back to the previous one on leaving, even after a failure.
class FolderScope {
  public:
    explicit FolderScope(const std::string& folder)
        : m_previous{::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)} {
        m_entered = m_previous >= 0 && ::chdir(folder.c_str()) == 0;
    }
    ~FolderScope() {
        if (m_entered && ::fchdir(m_previous) != 0)
            m_entered = false;
        if (m_previous >= 0)
            ::close(m_previous);
    }
    FolderScope(const FolderScope&) = delete;
    FolderScope& operator=(const FolderScope&) = delete;
    bool Entered() const { return m_entered; }

  private:
    int m_previous;
    bool m_entered{false};
};
} // namespace

ZmodemJob<Zmodem> MakeSendingZmodem(comm::GFSerial* serial, TransferStatus* status) {
    ZmodemJob<Zmodem> job;
    job.engine = std::make_unique<ListFileEngine>();
    job.transfer = std::make_unique<Zmodem>(serial, status);
    job.transfer->SetFileEngine(job.engine.get());
    job.transfer->SetWindowedSending(0);
    return job;
}

ZmodemJob<ReceivingZmodem> MakeReceivingZmodem(comm::GFSerial* serial, TransferStatus* status) {
    ZmodemJob<ReceivingZmodem> job;
    job.engine = std::make_unique<ListFileEngine>();
    job.transfer = std::make_unique<ReceivingZmodem>(serial, status);
    job.transfer->SetFileEngine(job.engine.get());
    return job;
}

int RunSendingZmodem(comm::GFSerial* serial, TransferStatus* status, const std::string& list) {
    ZmodemJob<Zmodem> job = MakeSendingZmodem(serial, status);
    int result = job.transfer->Send(list.c_str());
    return result == kNoFilesSent ? 0 : result;
}

int RunReceivingZmodem(comm::GFSerial* serial, TransferStatus* status, const std::string& folder) {
    FolderScope scope(folder);
    if (!scope.Entered())
        return kFileOpenError;
    ZmodemJob<ReceivingZmodem> job = MakeReceivingZmodem(serial, status);
    return job.transfer->Receive();
}

} // namespace protocol
