// Two ComLink ends joined back to back in memory, for tests: what one end writes the other
// reads. Each end has settable transmit room and modem lines, and injectable faults
// (seeded byte flips, a connection that drops after N bytes, stalled output).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "comm/ComLink.h"

namespace testsupport {

struct LoopbackShared;
class ZmodemFaultTap;

class LoopbackLink : public comm::ComLink {
  public:
    LoopbackLink(std::shared_ptr<LoopbackShared> shared, int side, int port);
    ~LoopbackLink() override;

    int Idle() override;
    int ReadModemStatus() override;
    int Open() override;
    int OpenDevice() override;
    int Close() override;
    int GetQueueStatus(comm::QueueStatus& status) override;
    int SetBufferSizes(long receive, long xoffLimit, long transmit) override;
    int SetHandshake(int inputMode, int outputMode) override;
    int GetHandshake(int& inputMode, int& outputMode) override;
    int SetBreak(int state) override;
    int Line(int number, int value) override;
    int SetLineParams(long baud, char parity, int dataBits, int stopBits) override;
    int GetLineParams(long& baud, char& parity, int& dataBits, int& stopBits) override;
    int GetLineStates(unsigned char states[4]) override;
    int WriteChar(int c) override;
    int WriteString(const char* text) override;
    int WriteBuffer(const unsigned char* data, int length) override;
    int SendImmediate(int c) override;
    int ReadChar() override;
    int ReadBuffer(unsigned char* buffer, int length) override;
    int Purge(int direction, int count) override;

    // ---- Test controls ----
    // Bytes this end may have in flight towards the other end.
    void SetTransmitRoom(long bytes);
    // Modem lines this end sees (as driven by "the other side's modem").
    void SetModemLine(int number, bool on);
    // Every byte this end writes is changed with probability p (seeded, repeatable).
    void SetFlipProbability(double p, std::uint32_t seed);
    // After `bytes` more bytes written by this end the connection drops: carrier goes off
    // at both ends and everything written afterwards is lost.
    void DropAfter(long bytes);
    // After `bytes` more bytes written by this end, it stalls with no transmit room left.
    void StallAfter(long bytes);
    // While stalled, what this end writes is held and not delivered (the queue fills).
    void SetStalled(bool stalled);
    // Passes everything this end writes through `tap` (null: no tap).
    void SetTap(std::shared_ptr<ZmodemFaultTap> tap);
    // Line errors reported on the next GetLineStates (bits: 1 parity, 2 framing,
    // 4 overflow, 8 overrun, 16 break).
    void InjectLineErrors(int flags);
    bool Dropped() const;
    long BytesWritten() const;
    void SetIdleCalls(bool count) { m_countIdle = count; }
    long IdleCalls() const { return m_idleCalls; }
    // How many times ReadChar was called on this end.
    long ReadPolls() const { return m_readPolls; }

  private:
    std::shared_ptr<LoopbackShared> m_shared;
    int m_side;
    bool m_countIdle{false};
    long m_idleCalls{0};
    long m_readPolls{0};
};

// Creates two connected ends, already open, on the given port numbers.
std::pair<std::unique_ptr<LoopbackLink>, std::unique_ptr<LoopbackLink>>
MakeLoopbackPair(int portA = 30, int portB = 31);

} // namespace testsupport
