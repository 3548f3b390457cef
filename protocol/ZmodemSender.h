// The ZMODEM sender as a state machine: frames read from the line and the current time go in,
// headers and data subpackets to send and the time it next needs waking come out. It opens the
// conversation, offers each file its files side opens (answering ZCRC), streams the data from
// where the receiver asks, bounding what is unacknowledged after errors, ends each file with
// ZEOF until the receiver confirms it, and closes with ZFIN. It never reads the line, the
// clock or a file itself.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "protocol/SendWindow.h"
#include "protocol/TransferStatus.h"
#include "protocol/ZmodemFrameReader.h"
#include "protocol/ZmodemMachine.h"

namespace protocol {

// What the files side has to offer next.
struct SenderOffer {
    enum class Kind {
        File,   // a file is open; its information is `infoLength` bytes
        NoMore, // every listed file has been offered
        Fail,   // the run ends with `code`
    };
    Kind kind{Kind::NoMore};
    int infoLength{0};
    int code{0};
};

// The files side of a sender: where the listed files are opened and read.
class SenderFiles {
  public:
    virtual ~SenderFiles() = default;
    // Opens the next file that can go out, puts its name, size and date into the status, and
    // writes its file information (name, NUL, size and date) into `info`, which holds
    // `capacity` bytes.
    virtual SenderOffer Next(unsigned char* info, int capacity) = 0;
    // Up to `length` bytes of the open file from `position`: how many, or 0 or less when the
    // file cannot be read.
    virtual int Read(std::int64_t position, unsigned char* data, int length) = 0;
    // The CRC-32 of the open file's first `length` bytes, as far as they can be read.
    virtual std::uint32_t Crc(std::int64_t length) = 0;
    // The receiver confirmed or skipped the open file.
    virtual void Close() = 0;
};

struct SenderOptions {
    int retryLimit{10};
    // Subpackets ask for ZACKs (ZCRCQ) and at most `windowSize` bytes go unacknowledged.
    bool windowed{true};
    int windowSize{4096};
    // Streams until the receiver asks for data again, then keeps a window sized by SendWindow.
    bool adaptive{false};
    bool requestResume{false};
    int management{0}; // ZF1 of each offer
};

class ZmodemSender : public zmodem::MachineCore {
  public:
    static constexpr int kSubpacketSize = 1024;
    static constexpr zmodem::TimeMs kSilenceUnitMs = 1000;
    static constexpr int kSilenceLimit = 10;
    // Seconds a restart waits for its confirmation before it goes out again: longer than
    // the receiver's waits, so that a receiver which asks again itself is heard first. Such
    // silences count one error for every kSilenceLimit seconds.
    static constexpr int kRestartSilenceLimit = 2;
    // How long a full window waits for a ZACK before the silence counts.
    static constexpr zmodem::TimeMs kAckWaitMs = 1500;
    // How long a ZRINIT after an offer or a ZFIN may be followed by the answer to it before
    // the offer or the ZFIN goes out again.
    static constexpr zmodem::TimeMs kReplyWaitMs = 1500;
    static constexpr int kFinishAttempts = 3;
    // ZCRC questions answered per offer; more are errors.
    static constexpr int kCrcAnswersPerOffer = 4;
    // Bytes of back-channel garbage in one data frame after which the frame is ended.
    static constexpr int kGarbageLimit = 50;

    // One thing for the driver to do, in order. A subpacket's data stays valid until the
    // machine is called again.
    struct Action {
        enum class Kind { SendHex, SendBinary, SendSubpacket, PurgeOutput, OverAndOut };
        Kind kind{Kind::SendHex};
        zmodem::Header header;
        const unsigned char* data{nullptr};
        int length{0};
        int endCode{0};
    };

    ZmodemSender(TransferStatus& status, SenderFiles& files, const SenderOptions& options);

    void Start(zmodem::TimeMs now);
    void OnFrame(const zmodem::FrameEvent& event, zmodem::TimeMs now);
    // Bytes other than flow control came; `plain` when they were no part of a frame.
    void OnHeard(zmodem::TimeMs now, long bytes, bool plain);
    // Time passed; `outputQueued` is what this side's output still holds unsent.
    void OnTime(zmodem::TimeMs now, long outputQueued);
    // The link failed with `code`; once every file was confirmed that loses nothing.
    void OnLinkFailed(int code);
    // Whether the next subpacket is ready to go as soon as the link takes it, and the call
    // that makes it.
    bool WantsToWrite() const;
    void OnWritable(zmodem::TimeMs now);

    [[nodiscard]] std::vector<Action> TakeActions();
    std::optional<zmodem::TimeMs> WakeAt() const;
    bool Finished() const { return m_phase == Phase::Done; }
    // Every file has been confirmed and the ZFIN is out: only the user's Stop makes the end of
    // the conversation a failure.
    bool Closing() const { return m_phase == Phase::Close; }
    // 0 when the conversation ended (whether or not files went), else the failure code.
    int Result() const { return m_result; }
    // The check this side's frames carry: CRC-32 when the receiver can take it.
    zmodem::Check FrameCheck() const;

  private:
    enum class Phase { Open, Offer, Data, EndOfFile, Close, Done };
    // Where a file's data stands.
    enum class DataState {
        Frame,        // a data frame is open: the next subpacket goes when the link takes it
        Answer,       // the frame ended: the receiver's answer is awaited
        WindowRoom,   // the window is full: a ZACK is awaited
        WindowHeader, // a header began inside a windowed frame: it is read before more data
    };
    enum class Fill { More, Ends, Failed };
    enum class Ack { Taken, Stale, OutOfStep };

    struct HeaderWait {
        bool active{false};
        zmodem::TimeMs unitStart{0};
        int silences{0};
        int limit{kSilenceLimit};
        bool silenceCounts{true};
        long queued{-1};
    };
    // The open data frame and what the receiver confirmed of it.
    struct Frame {
        std::int64_t acknowledged{0};
        // Where the subpackets that asked for a ZACK and are not yet acknowledged end: a
        // ZACK anywhere else shows a receiver that lost a subpacket whole.
        std::deque<std::int64_t> asking;
        bool ended{false};
        int garbage{0};
        int windowBytes{0}; // sent since the frame began, for a receiver with a buffer limit
    };
    // A restart the receiver asked for with ZRPOS, until a ZACK confirms it.
    struct Restart {
        bool active{false};
        std::int64_t position{-1};
        bool empty{false}; // asked twice running: the frame goes with an empty subpacket
        int quietRounds{0};
    };

    void StartWait(int limit, bool silenceCounts);
    // The answer a crossed ZRINIT promised did not come.
    void ReplyOverdue();
    // A full window heard nothing for kAckWaitMs.
    void AckOverdue(long outputQueued);
    // Counts a wait's miss where it counts; false when that ended the run.
    bool CountMiss(Miss miss, bool waiting);
    void OnHeader(const zmodem::FrameEvent& event) override;
    void OnMiss(Miss miss) override;
    // A receiver sends no data; subpackets after its headers are passed over.
    void OnSubpacket(const zmodem::FrameEvent&) override {}

    void OpenHeader(const zmodem::Header& header);
    void OpenMiss(Miss miss);
    void NextFile();
    void StartOffer();
    void SendOffer();
    void OfferHeader(const zmodem::Header& header);
    void AnswerCrc(const zmodem::Header& header);
    // Whether the ZRPOS asks for a place inside the file; fails the run otherwise.
    bool WithinFile(const zmodem::Header& header);

    // The data goes on from the current position: a new frame, or the file's end.
    void GoOn();
    void FrameStep();
    void SendNextSubpacket();
    Fill FillSubpacket();
    void AwaitAnswer();
    void AwaitWindowRoom();
    void HeaderBegun();
    // Ends the open frame with an empty ZCRCE and waits for the receiver.
    void EndFrame();
    void DataHeader(const zmodem::Header& header);
    void WindowedHeader(const zmodem::Header& header);
    void ObeyAnswer(const zmodem::Header& header);
    void DataMiss(Miss miss);
    [[nodiscard]] Ack TakeAcknowledgement(const zmodem::Header& header);
    void StartRestart(const zmodem::Header& header);
    void NarrowWindow();
    void ApplySendWindow();
    bool Adapting() const { return m_options.adaptive && m_windowed; }

    void EndFileData();
    void SendEof();
    void EofHeader(const zmodem::Header& header);
    void FileEnded();

    void StartClose();
    void CloseAttempt();
    void CloseHeader(const zmodem::Header& header);
    void Finish();

    void Fail(int code) override;
    void SendHex(int type, std::uint32_t position = 0);
    void SendBinary(int type, const zmodem::Header& header);
    void SendSubpacket(const unsigned char* data, int length, int endCode);

    SenderFiles& m_files;
    SenderOptions m_options;
    std::vector<Action> m_actions;
    Phase m_phase{Phase::Open};
    DataState m_state{DataState::Frame};
    int m_result{0};
    zmodem::TimeMs m_now{0};
    HeaderWait m_wait;
    // A ZRINIT crossed the offer or the ZFIN: the answer to it should follow before then.
    std::optional<zmodem::TimeMs> m_replyDue;
    zmodem::TimeMs m_roomSince{0};
    long m_roomQueued{-1};

    int m_receiverFlags{0};
    int m_receiverBufferSize{0};
    bool m_receiverHears{true};
    bool m_windowed{true};
    int m_windowSize{4096};
    SendWindow m_sendWindow;

    int m_infoLength{0};
    int m_crcAnswers{0};
    bool m_dataSent{false};
    Frame m_frame;
    Restart m_restart;
    int m_closeAttempts{0};
    bool m_closeCrossed{false}; // the ZFIN was answered by a ZRINIT first
    std::array<unsigned char, kSubpacketSize> m_info{};
    std::array<unsigned char, kSubpacketSize> m_data{};
};

} // namespace protocol
