// ZMODEM: the protocol's state and options; the sender with the frame layer it reads and
// writes through (hex and binary headers, ZDLE escaping, data subpackets with their CRCs, and
// the garbage, cancel and time-out rules); and the driver of the receiver state machine.
#pragma once

#include <array>
#include <optional>

#include "protocol/Checksum.h"
#include "protocol/FileTransfer.h"
#include "protocol/SendWindow.h"
#include "protocol/ZmodemCodec.h"
#include "protocol/ZmodemFrameReader.h"
#include "protocol/ZmodemReceiver.h"

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

    // ---- Sender ----
    static constexpr int kBackChannelTimeoutMs = 70;
    static constexpr int kBackChannelGarbageLimit = 100;
    static constexpr int kAckWaitMs = 1500;
    // How long a ZRINIT after an offer may be followed by the answer to it before the
    // offer goes out again.
    static constexpr int kReofferWaitMs = 1500;
    // Flow-control characters BackChannel passes over in one call before it lets the
    // sender go on.
    static constexpr int kBackChannelFlowLimit = 64;

    int OpenLink();
    int PrepareNextFile();
    int SendFile();
    // The ZFILE header and the file information subpacket; the status code.
    int SendOffer(const unsigned char flags[4], int infoLength);
    void SendFileData();
    // After the last data: the empty data frame a receiver still needs, then ZEOF; true when
    // the receiver asked for data again.
    bool EndFileData();
    // Obeys the receiver's answer to a data frame (`response`: a frame type already read, or
    // 0 to read one); false when the file is done with (the run failed or ended).
    bool ObeyAnswer(int response, int& quietRestarts);
    // Reads the receiver's answer; a restart waiting for its confirmation counts its silences.
    int AwaitAnswer(int& quietRestarts);
    // Whether the ZRPOS just read asks for a place inside the file; fails the run otherwise.
    bool PositionWithinFile();
    // Answers a receiver's ZCRC with the CRC-32 of the first bytes of the file it asks about.
    void AnswerFileCrc();
    int FillSubpacket();
    int BackChannel();
    int SendDataFrame();
    // Checks the back channel and sends the ZDATA header; false when the frame is not to go.
    bool StartDataFrame();
    // Hears the receiver while a frame goes out: a result for SendDataFrame to return, or
    // nothing to go on (`awaitAck` set when only an acknowledgement is owed).
    std::optional<int> ListenInFrame(std::int64_t& acknowledged, bool& awaitAck);
    // Sends the next subpacket of the frame; true when it ended a streamed file (ZCRCE).
    bool SendNextSubpacket(bool& frameEnded);
    // Waits for the receiver when the window is full; the failure code when the silence
    // reached the retry limit, else 0.
    int AwaitWindowRoom();
    // Takes the position a ZACK confirms, when it lies in what was sent since `acknowledged`.
    void TakeAcknowledgement(std::int64_t& acknowledged);
    // After the receiver asked for data again: an adaptive sender bounds its window.
    void NarrowWindow();
    // Whether the adaptive window decides the window now.
    bool Adapting() const { return m_adaptiveWindow && m_windowed; }
    void ApplySendWindow();
    // After the last data: ZEOF until the receiver confirms the file with ZRINIT. 1 when the
    // file is done (confirmed or skipped), 0 when the receiver asked for data again (the
    // position is where), -1 on failure.
    int EndFile();
    // Obeys the ZRPOS just read: seeks there and drops the output still queued.
    void Restart();
    int CloseLink();

    // ---- Receiver ----
    // The name buffer holds names of up to 519 characters; longer ones are cut.
    static constexpr int kNameBufferSize = 520;
    // Seconds a restart waits for its confirmation before it goes out again: longer than
    // the receiver's waits, so that a receiver which asks again itself is heard first.
    static constexpr int kRestartSilenceLimit = 2;
    // ZFINs sent before the run ends regardless of an answer.
    static constexpr int kFinishAttempts = 3;
    // ZCRC questions the sender answers per offer; more are errors.
    static constexpr int kCrcAnswersPerOffer = 4;

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
    // Waits up to `ms` for input; false when none came (or the wait failed).
    bool WaitForInput(long ms);
    void RunSender();
    // Runs the receiver state machine over the link until it finishes, fails or is stopped.
    void RunReceiver();
    // Does what the machine asked, in order; false when a write failed.
    bool CarryOutActions(const std::vector<ZmodemReceiver::Action>& actions,
                         zmodem::FrameReader& reader);
    // Feeds what is buffered to the reader and the machine, or waits for input until the
    // next wake-up and tells them the time (a failed link is the machine's to judge).
    void Pump(ZmodemReceiver& machine, zmodem::FrameReader& reader, zmodem::TimeMs now);
    // The frame header loop; `silenceCounts` decides whether a wait that found no header at
    // all is an error (the library's receiver) or only a time-out (the application's).
    int ReadHeaderLoop(OnHeaderError onError, bool silenceCounts);
    // The rest of a header whose first ZPAD was read: its type, or a negative code.
    int ReadHeaderAfterPad();
    // Size and date from the file information; false when the size field is missing.
    bool ParseFileInformation();

    int m_silenceLimit{kPadSilenceLimit}; // seconds of silence before a header read gives up
    int m_garbageCount{0};                // what the sender's back channel counts while it streams
    int m_receiverFlags{0};
    int m_receiverBufferSize{0};
    int m_windowBytes{0};
    unsigned char m_receivedHeader[4]{};
    int m_headerForm{zmodem::kNoHeaderForm};
    int m_hexTerminated{0};
    int m_subpacketLength{0};
    bool m_restart{false};
    // Whether a data frame went out for the current file, and the end code of the last
    // subpacket sent.
    bool m_dataSent{false};
    int m_lastEndCode{0};
    // Where the sender's next read from the file starts (-1: unknown, seek first).
    std::int64_t m_fileOffset{-1};
    std::int64_t m_restartPosition{-1}; // where the last ZRPOS asked the data to start
    // The receiver asked for the same place twice running: the restart frame goes out with
    // an empty subpacket, which heavy noise spares, rather than with data.
    bool m_restartEmpty{false};

    bool m_stripPaths{true};
    bool m_windowed{true};
    int m_windowSize{4096};
    bool m_adaptiveWindow{false};
    SendWindow m_sendWindow;
    // Whether the receiver can hear while it receives: a window needs its acknowledgements.
    bool m_receiverHears{true};
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
    int m_crcAnswers{0}; // ZCRC questions answered for the current offer

  private:
    class ReceiveFiles;
    // The longest the receiver's driver waits before it checks for a stop again.
    static constexpr zmodem::TimeMs kReceiverPollMs = 250;

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
