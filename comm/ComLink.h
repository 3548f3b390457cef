// The abstract byte link every modem conversation passes through: every concrete link (a serial
// port, a pair of descriptors, a test's loopback) provides each operation.
#pragma once

#include <cstdint>

namespace comm {

// Line and line-condition numbers shared by Line, GetLineStates and the decoders.
inline constexpr int kLineXonXoff = 1;
inline constexpr int kLineDtr = 3;
inline constexpr int kLineRts = 4;
inline constexpr int kLineBreak = 7;
inline constexpr int kLineCts = 12;
inline constexpr int kLineDsr = 13;
inline constexpr int kLineRi = 14;
inline constexpr int kLineDcd = 15;
inline constexpr int kLineReserved17 = 17;
inline constexpr int kLineReserved18 = 18;
inline constexpr int kLineReserved19 = 19;
inline constexpr int kLineReserved20 = 20;
inline constexpr int kLineOverrun = 25;
inline constexpr int kLineParityError = 26;
inline constexpr int kLineFramingError = 27;
inline constexpr int kLineBreakSeen = 28;
inline constexpr int kLineReceiveOverflow = 31;

// Answer of Line for a number that names no line or condition.
inline constexpr int kLineUnknown = 2;

// Queue record filled by GetQueueStatus.
struct QueueStatus {
    long receiveCount{0};
    long receiveSize{0};
    long transmitCount{0};
    long transmitSize{0};
    int flags{0}; // bit 0: this side sent XOFF; bit 1: output held by the other side
};
inline constexpr int kQueueBlockSent = 1;
inline constexpr int kQueueBlockReceived = 2;

class ComLink {
  public:
    static constexpr int kPortCount = 36;

    explicit ComLink(int port);
    ComLink(const ComLink&) = delete;
    ComLink& operator=(const ComLink&) = delete;

    virtual ~ComLink();
    virtual int Idle() = 0;
    virtual int ReadModemStatus() = 0;
    virtual int Open() = 0;
    virtual int OpenDevice() = 0;
    virtual int Close() = 0;
    virtual int GetQueueStatus(QueueStatus& status) = 0;
    virtual int SetBufferSizes(long receive, long xoffLimit, long transmit) = 0;
    virtual int SetHandshake(int inputMode, int outputMode) = 0;
    virtual int GetHandshake(int& inputMode, int& outputMode) = 0;
    virtual int SetBreak(int state) = 0;
    virtual int Line(int number, int value) = 0;
    virtual int SetLineParams(long baud, char parity, int dataBits, int stopBits) = 0;
    virtual int GetLineParams(long& baud, char& parity, int& dataBits, int& stopBits) = 0;
    virtual int GetLineStates(unsigned char states[4]) = 0;
    virtual int WriteChar(int c) = 0;
    virtual int WriteString(const char* text) = 0;
    virtual int WriteBuffer(const unsigned char* data, int length) = 0;
    virtual int SendImmediate(int c) = 0;
    virtual int ReadChar() = 0;
    virtual int ReadBuffer(unsigned char* buffer, int length) = 0;
    virtual int Purge(int direction, int count) = 0;

    // Returns the last status and resets it to 0.
    int TakeLastStatus();
    // Returns the last status without resetting it.
    int LastStatus() const { return m_lastStatus; }
    int PortNumber() const { return m_port; }

    // The process-wide open count of a port (0 for a number outside the table).
    static int OpenCount(int port);

  protected:
    // Counts this link as an opener of its port; kAlreadyOpen when the port is already open,
    // kBadArgument for a port number outside the table.
    int CountOpen();
    void SetLastStatus(int status) { m_lastStatus = status; }

    int m_port;
    int m_lastStatus{0};

  private:
    bool m_countedOpen{false};
};

} // namespace comm
