// The root of every file transfer protocol: the link, the status record and the file engine
// of one transfer, and the two entry points.
#pragma once

#include <memory>

#include "comm/GFSerial.h"
#include "protocol/FileEngine.h"
#include "protocol/TransferStatus.h"

namespace protocol {

class Transfer {
  public:
    // Uses `status` when given (it must outlive the transfer), else a default record.
    Transfer(comm::GFSerial* serial, TransferStatus* status = nullptr);
    virtual ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    virtual int Send(const char* fileList) = 0;
    virtual int Receive() = 0;
    // A supplied engine stays the caller's; returns 1 when one was given.
    virtual int SetFileEngine(FileEngine* engine);
    // While set, loss of carrier detect ends the transfer.
    virtual int SetCarrierWatch(int flag);

    TransferStatus& Status() { return *m_status; }
    FileEngine* Engine() { return m_engine; }

  protected:
    int m_ownsEngine{1};
    bool m_fileOpen{false};
    int m_ownsStatus{0};
    int m_carrierWatch{0};
    comm::GFSerial* m_serial;
    comm::LineStatus* m_lineStatus;
    TransferStatus* m_status;
    FileEngine* m_engine{nullptr};
    std::unique_ptr<TransferStatus> m_ownedStatus;
    std::unique_ptr<FileEngine> m_ownedEngine;
};

} // namespace protocol
