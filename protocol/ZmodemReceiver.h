// The ZMODEM receiver as a state machine: frames read from the line and the current time go
// in, headers to send and the time it next needs waking come out. It invites files with
// ZRINIT, has the files side decide each offer (proving copies with ZCRC when asked),
// receives the data with position checks and recovery by ZRPOS, and answers the sender's
// ZFIN. It never reads the line, the clock or a file itself.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/TransferStatus.h"
#include "protocol/ZmodemFrameReader.h"
#include "protocol/ZmodemMachine.h"

namespace protocol {

// What the files side decides about an offer.
struct OfferStep {
    enum class Kind {
        Receive, // take the data from `position`
        Skip,    // answer ZSKIP
        Verify,  // ask the sender for the CRC-32 of its first `position` bytes
        Fail,    // the run ends with `code`
    };
    Kind kind{Kind::Receive};
    std::int64_t position{0};
    int code{0};
};

// The files side of a receiver: where offers are judged and data is stored.
class ReceiverFiles {
  public:
    virtual ~ReceiverFiles() = default;
    // A ZFILE header and its file information (`length` bytes) arrived intact.
    virtual OfferStep Offer(const zmodem::Header& header, const unsigned char* info,
                            int length) = 0;
    // The sender's answer to the question Verify asked; nothing when it gave none.
    virtual OfferStep Proved(std::optional<std::uint32_t> crc) = 0;
    // Each returns 0, or the failure code that ends the run. Data goes to the place the
    // last Seek named, the data before it having been stored.
    virtual int Seek(std::int64_t position) = 0;
    virtual int Store(const unsigned char* data, int length) = 0;
    // The file's ZEOF came at the position reached: the file is whole.
    virtual int EndFile() = 0;
};

struct ReceiverOptions {
    int retryLimit{10};
    // Whether a wait that found no header at all counts as an error; otherwise it is a
    // time-out only, and the silences before an offer are counted against offerSilenceLimit.
    bool silenceCounts{true};
    int offerSilenceLimit{-1};
    // How long the receiver waits for the first frame of all (-1: no bound but the errors).
    zmodem::TimeMs firstFrameLimitMs{-1};
};

class ZmodemReceiver : public zmodem::MachineCore {
  public:
    // What ZF0 of this receiver's ZRINIT announces: full duplex, overlapped I/O, break and
    // CRC-32. Its buffer size is 0, so the sender may stream without limit.
    static constexpr int kCapabilities =
        zmodem::kCanFullDuplex | zmodem::kCanOverlapIo | zmodem::kCanBreak | zmodem::kCanFcs32;
    static constexpr zmodem::TimeMs kSilenceUnitMs = 1000;
    static constexpr int kSilenceLimit = 10;
    static constexpr zmodem::TimeMs kFinishAnswerWaitMs = 2000;
    static constexpr zmodem::TimeMs kSecondOWaitMs = 500;
    static constexpr int kFinishAnswers = 3;
    // How long stale data after a ZRPOS is passed over before the ZRPOS is sent again.
    static constexpr zmodem::TimeMs kResyncLimitMs = 20000;
    // Silence after a ZRPOS before it is sent again, once input has come since: the stale
    // data has stopped, and a sender that says nothing lost the frame it restarted with or
    // our ZRPOS. A line that stayed silent since the ZRPOS is given a full second instead,
    // and the short wait never ends before twice the time the last answer to a ZRPOS took,
    // so that a line slow to answer is not asked again before it could.
    static constexpr zmodem::TimeMs kResyncQuietMs = 250;
    // How long the answer to ZCRC may take, growing by a second for every so many bytes the
    // sender reads, and how often the question is asked after a damaged answer.
    static constexpr zmodem::TimeMs kCrcAnswerMs = 3000;
    static constexpr std::int64_t kCrcBytesPerSecond = 64 << 20;
    static constexpr int kCrcAsks = 2;

    // One thing for the driver to do, in order.
    struct Action {
        enum class Kind { DiscardInput, SendHex };
        Kind kind{Kind::SendHex};
        zmodem::Header header;
    };

    ZmodemReceiver(TransferStatus& status, ReceiverFiles& files, const ReceiverOptions& options);

    void Start(zmodem::TimeMs now);
    void OnFrame(const zmodem::FrameEvent& event, zmodem::TimeMs now);
    // Bytes other than flow control came; `plain` when they were no part of a frame.
    void OnHeard(zmodem::TimeMs now, long bytes, bool plain);
    // Time passed; `outputQueued` is what this side's output still holds unsent.
    void OnTime(zmodem::TimeMs now, long outputQueued);

    // The link failed with `code`. Once the sender's ZFIN has been answered the session is
    // over, and a sender that hangs up before or after its "OO" ends it normally.
    void OnLinkFailed(int code);

    [[nodiscard]] std::vector<Action> TakeActions();
    std::optional<zmodem::TimeMs> WakeAt() const;
    bool Finished() const { return m_phase == Phase::Done; }
    // 0 when the sender finished (also when no file came), else the failure code.
    int Result() const { return m_result; }

  private:
    enum class Phase { Invite, SenderInit, OfferInfo, Verify, Data, Subpackets, Finish, Done };
    // What the receiver does after one frame of the data phase.
    enum class DataStep { Next, Ask, AskCounted, AskForSilence, AskForSilenceCounted };

    // One wait for a header and the silences counted in it.
    struct HeaderWait {
        bool active{false};
        zmodem::TimeMs start{0};
        zmodem::TimeMs unitStart{0};
        int silences{0};
        int limit{kSilenceLimit};
        bool countErrors{true};
        zmodem::TimeMs quietAfterInputMs{0};
        long queued{-1};
    };
    // Where the receiver stands while a file's data arrives.
    struct DataPhase {
        // After a ZRPOS, what the sender had already sent is still arriving until the ZDATA
        // header at the asked position: that stale data is passed over without counting its
        // damaged-looking headers as errors, so that the retry count measures failures
        // without progress only.
        bool resyncing{true};
        int staleEnds{0}; // ZEOFs at another position seen while resynchronising
        // Time header waits found nothing since the last good frame, not yet counted.
        zmodem::TimeMs quietMs{0};
        // Whether the last ZRPOS was sent for silence: its answer may be to an earlier one,
        // so the time it takes says nothing of the line.
        bool askedForSilence{false};
        zmodem::TimeMs resyncStart{0};
        // Where the ZDATA frame being read began: beyond it the position is only the sum of
        // the subpackets taken, so a subpacket lost whole would leave every later one a
        // little too early in the file.
        std::int64_t frameStart{0};
        // The last frame ended with ZCRCW and was answered with ZACK.
        bool answered{false};
    };

    void StartWait(int limit, bool countErrors, zmodem::TimeMs quietAfterInputMs);
    zmodem::TimeMs SilenceUnit() const;
    zmodem::TimeMs WaitDeadline() const;
    zmodem::TimeMs CrcDeadline() const;
    // A header wait ended without a header: counts it where the wait counts; false when that
    // ended the run.
    bool CountMiss(Miss miss);
    void OnHeader(const zmodem::FrameEvent& event) override;
    void OnMiss(Miss miss) override;
    void OnSubpacket(const zmodem::FrameEvent& event) override;

    void Invite(bool sendInit);
    void InviteHeader(const zmodem::Header& header);
    void InviteMiss(Miss miss);
    void SenderInitArrived(const zmodem::FrameEvent& event);
    void OfferArrived(const zmodem::FrameEvent& event);
    void Follow(const OfferStep& step);
    void AskFileCrc();
    void VerifyHeader(const zmodem::Header& header);
    void VerifyMiss(Miss miss);
    void VerifyEnded(std::optional<std::uint32_t> crc);

    void StartData();
    void WaitForData();
    void DataHeader(const zmodem::Header& header);
    DataStep OnDataHeader(const zmodem::Header& header);
    DataStep OnEndOfFileHeader(const zmodem::Header& header);
    // A subpacket of the frame went missing whole: the frame is asked for from its start.
    void LostInFrame();
    DataStep OnSilence();
    DataStep OnOtherFrame(int type);
    DataStep OnBrokenHeader(Miss miss);
    bool WaitingOutStaleData() const;
    void DataMiss(Miss miss);
    void DataSubpacket(const zmodem::FrameEvent& event);
    void AfterDataStep(DataStep step);
    void FileEnded();

    void StartFinish();
    void FinishHeader(const zmodem::Header& header);

    void Fail(int code) override;
    void SendHex(int type, std::uint32_t position = 0);
    void SendPosition(int type);
    void Discard();

    ReceiverFiles& m_files;
    ReceiverOptions m_options;
    std::vector<Action> m_actions;
    Phase m_phase{Phase::Invite};
    int m_result{0};
    zmodem::TimeMs m_now{0};
    zmodem::TimeMs m_startedAt{0};
    bool m_frameSeen{false};
    HeaderWait m_wait;
    int m_offerSilences{0};
    // What came since the last ZRPOS, and the time it took the answer to the last one.
    bool m_heardInput{false};
    zmodem::TimeMs m_askedAt{0};
    zmodem::TimeMs m_answerDueMs{kSilenceUnitMs};
    zmodem::Header m_offerHeader;
    // The ZCRC question open: its length, how often it was asked, and when last.
    std::int64_t m_crcLength{0};
    int m_crcAsks{0};
    zmodem::TimeMs m_crcAskedAt{0};
    DataPhase m_data;
    int m_finishAnswers{0};
    long m_finishHeard{0};
    zmodem::TimeMs m_finishDeadline{0};
};

} // namespace protocol
