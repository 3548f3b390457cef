// The protocol-independent half of a file transfer: buffered input, time-limited writes,
// trace lines, the abort and carrier check, the clean-up after a file or a failure, and the
// policy that decides whether an arriving file is new, resumed, overwritten or skipped.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol/Arrival.h"
#include "protocol/Transfer.h"

namespace protocol {

class FileTransfer : public Transfer {
  public:
    // The subpacket this side sends; one received from a peer may be as long as
    // kDataBufferCapacity, which is what the data buffer holds.
    static constexpr int kDataBufferSize = 1024;
    static constexpr int kDataBufferCapacity = 8192;
    static constexpr int kOutputBufferSize = 2060;

    FileTransfer(comm::GFSerial* serial, TransferStatus* status = nullptr);
    ~FileTransfer() override;

    // 1 when buffers and a file engine are ready, else 0 with the status code set.
    virtual int PrepareTransfer();

    // The link's WriteChar result; gives up with kCannotPutChar after 30 seconds of a full queue.
    int WriteCharTimed(int c);
    // The length when the block went out at once, 0 when it went out in pieces, or a negative
    // code (kCannotPutBuffer after 60 seconds without progress, kUserCancelled on abort).
    int WriteBufferTimed(const unsigned char* data, int length);
    void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Publishes the progress, then asks StopRequested.
    int CheckAbort();
    // 1 when the transfer must stop (abort requested or carrier lost), else 0; a stop records
    // its code and finishes the file.
    int StopRequested();
    // Closes the current file (stamping a received one), and after a failure tells the other
    // side with the cancel sequence and drains the line.
    void FinishFile();
    // The cancel sequence, in place of whatever output is still queued, under a short bound.
    void SendCancel();
    // Reads and drops whatever arrives for the given time.
    void DiscardFor(long milliseconds);
    // The name without its folder: after the last "/" or "\", else after the last ":".
    static const char* StripPath(const char* name);
    // 1 when the caller may go on (file open, to be skipped: status kShouldSendZskip, or filed
    // already by an earlier call), 0 on failure (kFileOpenError when the file cannot be opened: the
    // caller may pass over it and go on). A received file goes where the arrival decision says,
    // with the proofs gathered so far; a question still open counts as one the sender did not
    // answer.
    int OpenTransferFile();

    // Reading goes through a small buffer filled a burst at a time, so that the per-byte
    // path and the "is input waiting?" question cost no call into the link while bytes are
    // buffered. A byte 0-255, kTimedOut after the time-out, or a negative Idle result.
    int ReadTimed(long timeoutMs) {
        if (m_readPosition < m_readEnd)
            return m_readBuffer[m_readPosition++];
        return ReadTimedSlow(timeoutMs);
    }
    bool InputWaiting() { return m_readPosition < m_readEnd || FillReadBuffer(); }
    // Waits up to `timeoutMs` for input without taking it: 1 when some is buffered, 0 when
    // none came, or a negative Idle result.
    int AwaitInput(long timeoutMs);
    // The bytes buffered and not yet read, for a decoder to take from; `Consume` drops the
    // first `count` of them.
    const unsigned char* Buffered(int& count) const {
        count = m_readEnd - m_readPosition;
        return m_readBuffer + m_readPosition;
    }
    void Consume(int count) { m_readPosition += count; }
    bool InputBuffered() const { return m_readPosition < m_readEnd; }
    // Whether the input already holds a peer's cancel (five CANs in a row), without taking
    // any of it: tops the buffer up from the link first. Lets a writer whose output cannot
    // drain see that the peer gave up and stopped reading.
    bool CancelQueued();
    // Bytes written and not yet sent by the link (0 when it cannot tell).
    long OutputQueued();
    // Discards input buffered here and in the link.
    void DiscardInput();
    // Calls Idle until the time has passed; a negative Idle result ends the wait.
    int WaitIdle(long milliseconds);

    // What the receiver lets an offer do to its folder (crash recovery, overwriting, trust).
    void SetArrivalPolicy(const ArrivalPolicy& policy) { m_arrivalPolicy = policy; }
    const ArrivalPolicy& Policy() const { return m_arrivalPolicy; }
    // Files an earlier call filed whole before it broke: a re-offer of one is not filed again.
    void SetFiledFiles(std::vector<FiledFile> files) { m_filedFiles = std::move(files); }
    // The management option a sender puts into its offers (ZF1).
    void SetManagementOption(int option) { m_management = option; }
    int ManagementOption() const { return m_management; }
    // What the receiver found for the current offer; set by its look-up, or by a test.
    void SetOfferOptions(int conversion, int management) {
        m_conversion = conversion;
        m_management = management;
    }
    void SetLocalEntry(const LocalEntry& entry) { m_localEntry = entry; }
    void SetFiledMatch(std::optional<FiledFile> filed) { m_filedMatch = std::move(filed); }
    void SetProofs(const ArrivalProofs& proofs) { m_proofs = proofs; }
    // The decision for the current offer with the proofs gathered so far (Verify may remain).
    ArrivalDecision PendingDecision() const {
        return DecideArrival(Offer(), m_localEntry, m_filedMatch, m_arrivalPolicy, m_proofs);
    }
    // The files that arrived whole in this run.
    const std::vector<ArrivedFile>& Arrivals() const { return m_arrivals; }
    // Names this run has written: a later offer of one of them is another file.
    const std::set<std::string>& ArrivedNames() const { return m_arrivedNames; }
    bool FileIsOpen() const { return m_fileOpen; }
    // The current offer is a file an earlier call filed: asked for from its end, not stored.
    bool AlreadyFiled() const { return m_alreadyFiled; }

  protected:
    // Records `code` as the status unless a failure is already recorded; returns the status.
    int Fail(int code);

    std::unique_ptr<unsigned char[]> m_data;
    std::unique_ptr<unsigned char[]> m_output;
    int m_conversion{0};
    int m_management{0};
    // The sender's own file date.
    int m_localDate{kNoDate};
    ArrivalPolicy m_arrivalPolicy;
    std::vector<FiledFile> m_filedFiles;
    LocalEntry m_localEntry;
    std::optional<FiledFile> m_filedMatch;
    ArrivalProofs m_proofs;
    std::set<std::string> m_arrivedNames;
    std::vector<ArrivedFile> m_arrivals;
    bool m_alreadyFiled{false};
    // Where in the local file the offer's position 0 is written (its old end when appending).
    std::int64_t m_writeBase{0};

  private:
    int ReadTimedSlow(long timeoutMs);
    bool FillReadBuffer();
    OfferedFile Offer() const;
    ArrivalDecision DecideOffer() const;
    void CarryOut(const ArrivalDecision& decision);
    // Opens the status file name for receiving; remembers it as arrived in this run.
    bool OpenReceived(const char* mode);
    void Skip();
    void ReceiveAsNewCopy();

    static constexpr int kReadBufferSize = 65536;
    unsigned char m_readBuffer[kReadBufferSize]{};
    int m_readPosition{0};
    int m_readEnd{0};
};

} // namespace protocol
