// The COM port link: a ComLink over the platform's serial communications calls, with
// non-blocking reads, queue-limited writes, flow control, line signals and a status dump.
#pragma once

#include <cstdint>

#include "comm/ComLink.h"
#include "platform/Win32Comm.h"

namespace comm {

class Win32SerialPort : public ComLink {
  public:
    // Queue sizes the job driver asks for.
    static constexpr long kJobReceiveQueue = 16384;
    static constexpr long kJobTransmitQueue = 8192;

    // port is 0-based (0 is COM1). With `deferred` nothing is opened. Otherwise opens and
    // sets up the port (the outcome is the last status) and raises DTR and RTS.
    Win32SerialPort(int port, long receiveQueue, long transmitQueue, bool deferred = false);
    ~Win32SerialPort() override;

    int Idle() override;
    int ReadModemStatus() override;
    int Open() override;
    int OpenDevice() override;
    int Close() override;
    int GetQueueStatus(QueueStatus& status) override;
    int SetBufferSizes(long receive, long xoffLimit, long transmit) override;
    int SetHandshake(int inputMode, int outputMode) override;
    int GetHandshake(int& inputMode, int& outputMode) override;
    int SetBreak(int state) override;
    int Line(int number, int value) override;
    // A line's state from a modem status already read (never touches the device).
    int LineState(int number, int modemStatus) const;
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
    virtual int MapSystemError();

    // Handshake modes of SetHandshake.
    static constexpr int kHandshakeNone = 0;
    static constexpr int kHandshakeXonXoff = 1;
    static constexpr int kInputDtr = 3;
    static constexpr int kInputRts = 4;
    static constexpr int kInputUnsupported = 13;
    static constexpr int kOutputCts = 12;
    static constexpr int kOutputDsr = 13;
    static constexpr int kOutputUnsupported = 15;

    // The control block as kept in memory (applied with the next set-state).
    const platform::DCB& ControlBlock() const { return m_dcb; }

  protected:
    // Checks the parity letter, data bits and stop bits in that order, puts `dcbBaud` and the
    // framing into the control block and applies it. Every failure is also the last status.
    int ApplyLineParams(platform::DWORD dcbBaud, char parity, int dataBits, int stopBits);

    platform::DCB m_dcb;
    platform::OVERLAPPED m_overlapped;

  private:
    // Ors the line errors the platform reports into the accumulated set; fills `stat`
    // when given.
    void CollectErrors(platform::COMSTAT* stat = nullptr);
    int Fail(int status) {
        SetLastStatus(status);
        return status;
    }
    bool IsOpen() const { return m_handle != platform::INVALID_HANDLE_VALUE; }
    int ApplyControlBlock();

    platform::HANDLE m_handle{platform::INVALID_HANDLE_VALUE};
    platform::COMMTIMEOUTS m_savedTimeouts;
    std::uint16_t m_receiveSize{0};
    std::uint16_t m_transmitSize{0};
    int m_inputMode{0};
    int m_outputMode{0};
    int m_dtr{1};
    int m_rts{1};
    int m_break{0};
    platform::DWORD m_lineErrors{0};
    int m_modemStatus{0};
    // The last read found nothing waiting; input that Idle then finds is new to the caller.
    bool m_readFoundNothing{false};
};

} // namespace comm
