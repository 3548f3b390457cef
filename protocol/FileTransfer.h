// The protocol-independent half of a file transfer: buffered input, time-limited writes,
// trace lines, the abort and carrier check, the clean-up after a file or a failure, and the
// policy that decides whether an arriving file is new, resumed, overwritten or skipped.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "protocol/Transfer.h"

namespace protocol {

class FileTransfer : public Transfer {
  public:
    // The subpacket this side sends; one received from a peer may be as long as
    // kDataBufferCapacity, which is what the data buffer holds.
    static constexpr int kDataBufferSize = 1024;
    static constexpr int kDataBufferCapacity = 8192;
    static constexpr int kOutputBufferSize = 2060;
    static constexpr int kTraceSize = 520;

    FileTransfer(comm::GFSerial* serial, TransferStatus* status = nullptr);
    ~FileTransfer() override;

    // 1 when buffers and a file engine are ready, else 0 with the status code set.
    virtual int PrepareTransfer(); // 5

    // The link's WriteChar result; gives up with -924 after 30 seconds of a full queue.
    int WriteCharTimed(int c);
    // The length when the block went out at once, 0 when it went out in pieces, or a negative
    // code (-925 after 60 seconds without progress, -901 on abort).
    int WriteBufferTimed(const unsigned char* data, int length);
    void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // 1 when the transfer must stop (abort requested or carrier lost), else 0.
    int CheckAbort();
    // Closes the current file (stamping a received one), and after a failure tells the other
    // side with the cancel sequence and drains the line.
    void FinishFile();
    // The cancel sequence, in place of whatever output is still queued, under a short bound.
    void SendCancel();
    // Reads and drops whatever arrives for the given time.
    void DiscardFor(long milliseconds);
    // The name without its folder: after the last "/" or "\", else after the last ":".
    static const char* StripPath(const char* name);
    // 1 when the caller may go on (file open, or to be skipped: status -933), 0 on failure
    // (-902 when the file cannot be opened: the caller may pass over it and go on).
    int OpenTransferFile();

    // Reading goes through a small buffer filled a burst at a time, so that the per-byte
    // path and the "is input waiting?" question cost no call into the link while bytes are
    // buffered. A byte 0-255, -802 after the time-out, or a negative Idle result.
    int ReadTimed(long timeoutMs) {
        if (m_readPosition < m_readEnd)
            return m_readBuffer[m_readPosition++];
        return ReadTimedSlow(timeoutMs);
    }
    bool InputWaiting() { return m_readPosition < m_readEnd || FillReadBuffer(); }
    // Moves buffered bytes up to (not including) the first byte marked in `stops` into `out`,
    // at most `room` of them; returns how many. Lets a protocol take plain runs of data without
    // a call per byte.
    int TakeBufferedUntilAny(const bool* stops, unsigned char* out, int room) {
        const unsigned char* begin = m_readBuffer + m_readPosition;
        int available = m_readEnd - m_readPosition;
        if (available > room)
            available = room;
        int n = 0;
        while (n < available && !stops[begin[n]])
            ++n;
        std::memcpy(out, begin, static_cast<std::size_t>(n));
        m_readPosition += n;
        return n;
    }
    // Drops buffered bytes marked in `skip` up to the first other one; never waits.
    void SkipBuffered(const bool* skip) {
        while (m_readPosition < m_readEnd && skip[m_readBuffer[m_readPosition]])
            ++m_readPosition;
    }
    // Bytes written and not yet sent by the link (0 when it cannot tell).
    long OutputQueued();
    // Discards input buffered here and in the link.
    void DiscardInput();
    // Calls Idle until the time has passed; a negative Idle result ends the wait.
    int WaitIdle(long milliseconds);

    // Options the transfer policy reads.
    void SetCrashRecovery(int on) { m_crashRecovery = on; }
    int CrashRecovery() const { return m_crashRecovery; }
    void SetManagementOption(int option) { m_management = option; }
    int ManagementOption() const { return m_management; }
    void SetConversionOption(int option) { m_conversion = option; }
    int ConversionOption() const { return m_conversion; }
    void SetLocalDate(int seconds) { m_localDate = seconds; }
    int FileIsOpen() const { return m_fileOpen; }

  protected:
    // Records `code` as the status unless a failure is already recorded; returns the status.
    int Fail(int code);

    std::unique_ptr<unsigned char[]> m_data;
    std::unique_ptr<unsigned char[]> m_output;
    int m_crashRecovery{1};
    int m_conversion{0};
    int m_management{0};
    int m_localDate{kNoDate};

  private:
    int ReadTimedSlow(long timeoutMs);
    bool FillReadBuffer();
    void Overwrite();
    void Skip();
    void ReceiveAsNewCopy();

    static constexpr int kReadBufferSize = 65536;
    unsigned char m_readBuffer[kReadBufferSize]{};
    int m_readPosition{0};
    int m_readEnd{0};
};

} // namespace protocol
