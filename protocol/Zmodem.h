// ZMODEM over a link: the protocol's options, the drivers that run the sender and receiver
// state machines over it, and a frame layer that reads and writes through it directly (hex and
// binary headers, data subpackets, the garbage, cancel and time-out rules) for peers that are
// written as scripts.
#pragma once

#include <array>
#include <optional>

#include "protocol/Checksum.h"
#include "protocol/FileTransfer.h"
#include "protocol/ZmodemCodec.h"
#include "protocol/ZmodemFrameReader.h"
#include "protocol/ZmodemReceiver.h"
#include "protocol/ZmodemSender.h"

namespace protocol {

namespace zmodem {
// Header form recorded when no header start was found.
inline constexpr int kNoHeaderForm = -802;
} // namespace zmodem

// What a header read does with a damaged or missing header: hand it to the caller, or count
// it and wait on until the retry limit.
enum class OnHeaderError { Return, Retry };

class Zmodem : public FileTransfer {
  public:
    static constexpr int kHeaderCharTimeoutMs = 2500;
    static constexpr int kPadTimeoutMs = 1000;
    static constexpr int kPadSilenceLimit = 10;
    // How long a hex header's line end may take to follow its digits.
    static constexpr int kHexLineEndWaitMs = 55;
    // Worst case of one subpacket: every data byte escaped, ZDLE and end code, an escaped
    // CRC-32 and an XON.
    static constexpr int kMaxEncodedSubpacket = 2 * kDataBufferSize + 2 + 8 + 1;
    static_assert(kMaxEncodedSubpacket <= kOutputBufferSize);

    Zmodem(comm::GFSerial* serial, TransferStatus* status = nullptr);
    ~Zmodem() override;

    // Sends every file the list names; 0, kNoFilesSent when no file went out, or the failure code.
    int Send(const char* fileList) override;
    // Receives files into the current folder until the sender's ZFIN, running ZmodemReceiver
    // over the link; 0 when the sender finished normally (also when no file came), else the
    // failure code.
    int Receive() override;

    // Frame type 0-19, or a negative code. With OnHeaderError::Retry, damaged headers are
    // counted and the wait goes on until the retry limit.
    int ReadFrameHeader(OnHeaderError onError);

    // The end code with the data in the data buffer and its length in the block length, or
    // kGeneralTransferError (bad CRC), kBufferFull (too long) or another negative code.
    int ReadDataSubpacket();

    int SendHexHeader(int type, const unsigned char header[4]);
    int SendBinaryHeader(int type, const unsigned char header[4]);
    int SendDataSubpacket(int length, int endCode);

    // The four bytes as an unsigned 32-bit number (a position, a size or a CRC).
    static std::int64_t PositionFromHeader(const unsigned char header[4]);
    static void PositionToHeader(std::int64_t position, unsigned char header[4]);

    const unsigned char* ReceivedHeader() const { return m_receivedHeader; }
    int HeaderForm() const { return m_headerForm; }
    int HexHeaderTerminated() const { return m_hexTerminated; }
    unsigned char* DataBuffer() { return m_data.get(); }

    // What the receiver announced in its ZRINIT, as the sender acts on it.
    void SetReceiverCapabilities(int flags, int bufferSize) {
        m_receiverFlags = flags;
        m_receiverBufferSize = bufferSize;
    }
    int ReceiverFlags() const { return m_receiverFlags; }

    void SetStripPaths(bool on) { m_stripPaths = on; }
    void SetWindowedSending(bool on) { m_windowed = on; }
    // Streams until the receiver asks for data again, then bounds the data not yet
    // acknowledged (see SendWindow), so that the next error costs less than a full line
    // buffer; streaming takes over again after clean stretches.
    void SetAdaptiveWindow(bool on) { m_adaptiveWindow = on; }
    void SetRequestResume(bool on) { m_requestResume = on; }
    void SetRetryLimit(int limit) { m_retryLimit = limit; }
    int RetryLimit() const { return m_retryLimit; }

    // ---- Receiver ----
    // The name buffer holds names of up to 519 characters; longer ones are cut.
    static constexpr int kNameBufferSize = 520;

    // Takes the name, size and date of the offer just read; nothing is shown of it yet.
    void TakeOffer();
    // Stamps and closes a file that arrived whole and counts it; false when closing failed.
    bool CloseReceivedFile();
    // What the folder holds under the offered name, and what an earlier call filed under it.
    void LookUpLocalFile();
    // The name the file information subpacket offers, cut to the name buffer and made safe
    // to open in the receive folder.
    std::string OfferedName() const;
    const char* NameBuffer() const { return m_names.get(); }

  protected:
    // Counts one error and one retry; true when the retries reached the limit.
    bool CountError();
    // Runs the sender state machine over the link until it finishes, fails or is stopped.
    void RunSender();
    // Does what the sender asked, in order; false when a write failed.
    bool CarryOutActions(const std::vector<ZmodemSender::Action>& actions,
                         const ZmodemSender& machine);
    // Runs the receiver state machine over the link until it finishes, fails or is stopped.
    void RunReceiver();
    // Does what the machine asked, in order; false when a write failed.
    bool CarryOutActions(const std::vector<ZmodemReceiver::Action>& actions,
                         zmodem::FrameReader& reader);
    // The frame header loop; `silenceCounts` decides whether a wait that found no header at
    // all is an error (the library's receiver) or only a time-out (the application's).
    int ReadHeaderLoop(OnHeaderError onError, bool silenceCounts);
    // The rest of a header whose first ZPAD was read: its type, or a negative code.
    int ReadHeaderAfterPad();
    // Size and date from the file information; false when the size field is missing.
    bool ParseFileInformation();

    int m_receiverFlags{0};
    int m_receiverBufferSize{0};
    unsigned char m_receivedHeader[4]{};
    int m_headerForm{zmodem::kNoHeaderForm};
    int m_hexTerminated{0};

    bool m_stripPaths{true};
    bool m_windowed{true};
    bool m_adaptiveWindow{false};
    bool m_requestResume{false};
    int m_retryLimit{10};
    // Whether a header wait that found nothing counts as an error (see ReceiverOptions).
    bool m_silenceCounts{true};
    // Silent periods the receiver waits through for an offer before "Timed out"; -1 counts
    // each silence as an error instead.
    int m_offerSilenceLimit{-1};
    // How long the receiver waits for its first ZMODEM frame of all before "Timed out"
    // (a caller who never starts a sender); -1 for no bound but the error counts.
    long m_firstFrameLimitMs{-1};
    std::unique_ptr<char[]> m_names;
    // The name the current offer would be stored under.
    std::string m_offerName;

  private:
    class ReceiveFiles;
    class SendFiles;
    // The longest a driver waits before it checks for a stop again.
    static constexpr zmodem::TimeMs kDriverPollMs = 250;

    // How one wait for a header ended.
    enum class HeaderWait {
        Header,  // a header arrived and checks
        Damaged, // a header began but did not check
        CutOff,  // a header began and its next byte never came
        Silent,  // no header through the silence allowed
        Garbage, // too much garbage came instead of a header
        Stopped, // the run failed: a stop, a cancel or a broken link (see the status code)
    };
    // The silences counted in one wait for a header.
    struct HeaderSilence {
        int count{0};
        long queued{-1}; // output queued at the last silence; asked only when one passes
        // The start of a stretch in which only flow-control characters came.
        bool quietKnown{false};
        std::uint32_t quietSince{0};
    };

    zmodem::FrameEncoder m_encoder;
    zmodem::SubpacketDecoder m_subpacket;
    zmodem::HeaderDecoder m_headers;

    // Feeds the line to the header decoder until a header, a failure or the silence limit.
    HeaderWait AwaitHeader();
    // Waits for input when none is buffered; a result when the wait ended the header wait.
    std::optional<HeaderWait> WaitForHeaderBytes(HeaderSilence& silence);
    // Input that was all flow control; true when the silence it stands for ends the wait.
    bool OnlyFlowControlCame(HeaderSilence& silence);
    // One more silent period; true when that makes the wait give up.
    bool OneMoreSilence(HeaderSilence& silence);
    HeaderWait HeaderEnded(zmodem::HeaderDecoder::Result result);
    void TraceDamagedHeader();

    // What ReadDataSubpacket returns for the way the decoder ended.
    int SubpacketEnded(zmodem::SubpacketDecoder::Result result);
    // Keeps a decoded header's data bytes as the received header; returns its type.
    int TakeHeader(const zmodem::Header& header);
    // The check this side's frames carry: CRC-32 when the receiver can take it.
    zmodem::Check SendCheck() const;
    static zmodem::Header MakeHeader(int type, const unsigned char data[4]);
};

} // namespace protocol
