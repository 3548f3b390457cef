// The abstract byte link every modem conversation passes through. Concrete links implement
// the operations.
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
    virtual int Idle();
    virtual int ReadModemStatus();
    virtual int Open();
    virtual int OpenDevice();
    virtual int Close();
    virtual int GetQueueStatus(QueueStatus& status);
    virtual int SetBufferSizes(long receive, long xoffLimit, long transmit);
    virtual int SetHandshake(int inputMode, int outputMode);
    virtual int GetHandshake(int& inputMode, int& outputMode);
    virtual int SetBreak(int state);
    virtual int Line(int number, int value);
    virtual int SetLineParams(long baud, char parity, int dataBits, int stopBits);
    virtual int GetLineParams(long& baud, char& parity, int& dataBits, int& stopBits);
    virtual int GetLineStates(unsigned char states[4]);
    virtual int WriteChar(int c);
    virtual int WriteString(const char* text);
    virtual int WriteBuffer(const unsigned char* data, int length);
    virtual int SendImmediate(int c);
    virtual int ReadChar();
    virtual int ReadBuffer(unsigned char* buffer, int length);
    virtual int Purge(int direction, int count);
    virtual int PauseInput();
    virtual int ResumeInput();

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

// Stops the program: an abstract operation of a library class was called.
[[noreturn]] void PureVirtualCalled(const char* file, int line);

} // namespace comm
