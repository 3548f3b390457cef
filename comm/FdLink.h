// A link over a pair of file descriptors (a program's standard input and output, a pipe,
// a socket or a pseudo-terminal): raw mode while they are terminals, non-blocking reads and
// writes, and an Idle that blocks in poll until the descriptors are ready or a moment passed.
//
// Writes are gathered in a transmit queue of its own and go out when it fills, before every
// read from the descriptor, when the transfer waits (every wait calls Idle) and when the
// link goes away; an empty read is not repeated until the next Idle or a moment later. So a
// streaming sender costs a few system calls per queue-full rather than two per subpacket.
#pragma once

#include <poll.h>
#include <termios.h>

#include <chrono>
#include <memory>

#include "comm/ComLink.h"

namespace comm {

class FdLink : public ComLink {
  public:
    // Longest sleep of one Idle call: short, so that stop requests are seen promptly.
    static constexpr int kIdleCapMs = 10;
    // Port number the link counts itself under (it is no serial port).
    static constexpr int kPortNumber = 0;
    static constexpr int kTransmitQueueSize = 65536;
    // How long an empty read stands for "no input" when no Idle came in between.
    static constexpr std::chrono::microseconds kEmptyReadHold{500};
    // Bytes the other side may have left unread before this link sends more. As a serial
    // port's bounded transmit queue does, this keeps a sender's "all sent, now waiting for
    // the acknowledgement" close to the truth on a slow line behind large kernel buffers.
    // The bound is the kernel's own (a pipe's size, a socket's send buffer), so a full line
    // is a write that would block, and poll wakes the link the moment it has room again.
    static constexpr long kLineQueueLimit = 64 * 1024;
    // Longest wait for the transmit queue to drain when the link goes away.
    static constexpr int kCloseDrainMs = 5000;

    // Takes the descriptors over for the life of the link (they are not closed); the same
    // descriptor may be given twice. Their modes are restored when the link goes away.
    FdLink(int readFd, int writeFd);
    ~FdLink() override;

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

    // False once the other side closed its end (end of input or a broken output).
    bool Connected() const { return !m_hungUp; }
    // Writes what the transmit queue holds, as far as the descriptor takes it now.
    void Flush();

  private:
    struct SavedMode {
        int fd{-1};
        int flags{-1};
        bool terminal{false};
        termios attributes{};
        int pipeSize{-1};   // the pipe's size before the link bounded it
        int sendBuffer{-1}; // the socket's send buffer before the link bounded it
    };
    static void Take(SavedMode& saved, int fd);
    // Bounds what the kernel holds for the other side (pipe size, socket send buffer).
    static void BoundLine(SavedMode& saved, int fd);
    // Marks the line down when a poll reported the other side gone and no input is left.
    void NoteHangUp(const pollfd* fds, int count);
    // Bytes written to the descriptor that the other side has not read yet (-1: unknown).
    long UnreadOutput() const;
    static void Restore(const SavedMode& saved);

    int m_readFd;
    int m_writeFd;
    SavedMode m_read;
    SavedMode m_write;
    bool m_writeBlocked{false};
    std::unique_ptr<unsigned char[]> m_queue; // a ring of kTransmitQueueSize bytes
    int m_head{0};                            // where the oldest queued byte is
    int m_queued{0};
    bool m_readHeld{false};
    std::chrono::steady_clock::time_point m_emptyReadAt{};
    bool m_hungUp{false};
    long m_baud{115200};
    char m_parity{'N'};
    int m_dataBits{8};
    int m_stopBits{1};
    int m_inputMode{0};
    int m_outputMode{0};
};

} // namespace comm
