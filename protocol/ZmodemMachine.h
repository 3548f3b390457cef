// What the sender and the receiver state machines share: the status they count in, their
// retry count and trace lines, and how a frame event from the reader is sorted into a header,
// a header missed, a subpacket or the other side's cancel.
#pragma once

#include "protocol/TransferStatus.h"
#include "protocol/ZmodemFrameReader.h"

namespace protocol::zmodem {

class MachineCore {
  public:
    virtual ~MachineCore() = default;

  protected:
    // How one wait for a header ended, other than with a header.
    enum class Miss { Damaged, CutOff, Garbage, Silent };

    MachineCore(TransferStatus& status, int retryLimit)
        : m_status{status}, m_retryLimit{retryLimit} {}

    // Hands the event to the handler for its kind; a binary header also shows the check the
    // other side uses, and five CANs end the run.
    void Sort(const FrameEvent& event);
    virtual void OnHeader(const FrameEvent& event) = 0;
    virtual void OnMiss(Miss miss) = 0;
    virtual void OnSubpacket(const FrameEvent& event) = 0;
    virtual void Fail(int code) = 0;

    // Counts one error and one retry; true when the retries reached the limit.
    bool CountError();
    void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));

    TransferStatus& m_status;

  private:
    int m_retryLimit;
};

} // namespace protocol::zmodem
