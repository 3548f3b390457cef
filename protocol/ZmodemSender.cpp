// The ZMODEM sender's transitions: the opening request, each offer with its ZCRC answers, the
// data frames with their acknowledgements and restarts, ZEOF until the file is confirmed, and
// the closing ZFIN, each on the time passed in.
#include "protocol/ZmodemSender.h"

#include <algorithm>

#include "comm/StatusCodes.h"

namespace protocol {

using namespace comm;
using namespace zmodem;

namespace {
constexpr int kResumeRequest = 3; // ZCRESUM in ZF0 of ZFILE

const char* MissName(int type) {
    return type == kTimedOut ? "time-out" : "damaged header";
}
} // namespace

ZmodemSender::ZmodemSender(TransferStatus& status, SenderFiles& files, const SenderOptions& options)
    : MachineCore{status, options.retryLimit}, m_files{files}, m_options{options},
      m_windowed{options.windowed}, m_windowSize{options.windowSize} {}

std::vector<ZmodemSender::Action> ZmodemSender::TakeActions() {
    std::vector<Action> actions;
    actions.swap(m_actions);
    return actions;
}

Check ZmodemSender::FrameCheck() const {
    return (m_receiverFlags & kCanFcs32) != 0 ? Check::Crc32 : Check::Crc16;
}

void ZmodemSender::Start(TimeMs now) {
    m_now = now;
    m_phase = Phase::Open;
    SendHex(kZrqinit);
    StartWait(kSilenceLimit, true);
}

// ---- Header waits ----

void ZmodemSender::StartWait(int limit, bool silenceCounts) {
    m_wait = HeaderWait{};
    m_wait.active = true;
    m_wait.unitStart = m_now;
    m_wait.limit = limit;
    m_wait.silenceCounts = silenceCounts;
}

std::optional<TimeMs> ZmodemSender::WakeAt() const {
    std::optional<TimeMs> wake;
    auto also = [&wake](TimeMs at) { wake = wake ? std::min(*wake, at) : at; };
    if (m_wait.active)
        also(m_wait.unitStart + kSilenceUnitMs);
    if (m_replyDue)
        also(*m_replyDue);
    if (m_phase == Phase::Data && m_state == DataState::WindowRoom)
        also(m_roomSince + kAckWaitMs);
    return wake;
}

void ZmodemSender::OnHeard(TimeMs now, long bytes, bool plain) {
    m_now = now;
    m_wait.silences = 0;
    m_wait.unitStart = now;
    m_replyDue.reset();
    const bool inFrame = m_state == DataState::Frame || m_state == DataState::WindowRoom;
    if (m_phase != Phase::Data || !inFrame)
        return;
    // The receiver talks while the data goes out: a header that begins interrupts the frame,
    // and much garbage ends it, so that the receiver can be heard.
    if (!plain)
        return HeaderBegun();
    m_frame.garbage += static_cast<int>(std::min<long>(bytes, kGarbageLimit + 1));
    if (m_frame.garbage > kGarbageLimit) {
        Trace("BackChannel: exceeded garbage count");
        return EndFrame();
    }
    // A full window looks again whether it has room.
    m_state = DataState::Frame;
}

void ZmodemSender::OnTime(TimeMs now, long outputQueued) {
    m_now = now;
    if (m_phase == Phase::Done)
        return;
    if (m_replyDue && now >= *m_replyDue)
        return ReplyOverdue();
    if (m_phase == Phase::Data && m_state == DataState::WindowRoom &&
        now >= m_roomSince + kAckWaitMs)
        return AckOverdue(outputQueued);
    if (!m_wait.active || now < m_wait.unitStart + kSilenceUnitMs)
        return;
    const bool draining = StillDraining(outputQueued, m_wait.queued);
    m_wait.queued = outputQueued;
    m_wait.unitStart = now;
    if (draining || ++m_wait.silences < m_wait.limit)
        return;
    Trace("GetPad: timeout on ZPAD");
    OnMiss(Miss::Silent);
}

void ZmodemSender::ReplyOverdue() {
    m_replyDue.reset();
    if (m_phase == Phase::Close)
        return CloseAttempt();
    if (m_phase != Phase::Offer)
        return;
    // The ZRINIT was the receiver still waiting for an offer that did not reach it.
    Trace("SendFile: offer again after frame type %d", kZrinit);
    if (CountError())
        return Fail(kTooManyErrors);
    SendOffer();
}

void ZmodemSender::AckOverdue(long outputQueued) {
    // Nothing heard: the receiver owes an acknowledgement, unless what it is to acknowledge
    // is still on its way out.
    const bool draining = StillDraining(outputQueued, m_roomQueued);
    m_roomQueued = outputQueued;
    m_roomSince = m_now;
    if (!draining && CountError())
        return Fail(kTooManyRetries);
    // All the data is out and only ZACKs are missing: the ZEOF asks whether it arrived, and
    // a receiver that lacks some answers with the place to go on from.
    if (m_status.position >= m_status.fileSize)
        GoOn();
}

void ZmodemSender::OnLinkFailed(int code) {
    if (m_phase == Phase::Done)
        return;
    // Every file was confirmed by the receiver: a line that breaks during the goodbye loses
    // nothing.
    if (m_phase == Phase::Close) {
        Trace("CloseLink: the line broke (%d)", code);
        m_phase = Phase::Done;
        return;
    }
    Fail(code);
}

void ZmodemSender::OnFrame(const FrameEvent& event, TimeMs now) {
    m_now = now;
    if (m_phase != Phase::Done)
        Sort(event);
}

void ZmodemSender::OnHeader(const FrameEvent& event) {
    m_wait.active = false;
    m_replyDue.reset();
    const Header& header = event.header;
    switch (m_phase) {
    case Phase::Open:
        return OpenHeader(header);
    case Phase::Offer:
        return OfferHeader(header);
    case Phase::Data:
        return DataHeader(header);
    case Phase::EndOfFile:
        return EofHeader(header);
    case Phase::Close:
        return CloseHeader(header);
    case Phase::Done:
        return;
    }
}

bool ZmodemSender::CountMiss(Miss miss, bool waiting) {
    // A restart's short silences are no error; they send the restart again.
    if (waiting && (miss == Miss::Silent || miss == Miss::Garbage) && !m_wait.silenceCounts)
        return true;
    if (!CountError())
        return true;
    Fail(kTooManyErrors);
    return false;
}

void ZmodemSender::OnMiss(Miss miss) {
    const bool inFrame =
        m_phase == Phase::Data && (m_state == DataState::Frame || m_state == DataState::WindowRoom);
    const bool waiting = m_wait.active;
    if (!waiting && !inFrame)
        return;
    m_wait.active = false;
    const int type =
        miss == Miss::CutOff || miss == Miss::Silent ? kTimedOut : kGeneralTransferError;
    Trace("ReadFrameHeader: Frame type %d", type);
    if (m_phase == Phase::Close) {
        // Every file is confirmed: no count of errors makes the goodbye a failure.
        if (CountError())
            return Finish();
        Trace("CloseLink: got %d instead of ZFIN", type);
        return CloseAttempt();
    }
    if (!CountMiss(miss, waiting))
        return;
    switch (m_phase) {
    case Phase::Open:
        return OpenMiss(miss);
    case Phase::Offer:
        return StartWait(kSilenceLimit, true);
    case Phase::Data:
        return DataMiss(miss);
    case Phase::EndOfFile:
        Trace("EndFile: %s, ZEOF again", MissName(type));
        return SendEof();
    default:
        return;
    }
}

// ---- Opening and offers ----

void ZmodemSender::OpenHeader(const Header& header) {
    if (header.type != kZrinit) {
        Trace("OpenLink: got %d instead of ZRINIT", header.type);
        if (CountError())
            return Fail(kTooManyRetries);
        return StartWait(kSilenceLimit, true);
    }
    Trace("OpenLink: Got ZRINIT");
    m_receiverBufferSize = header.data[0] + 256 * header.data[1];
    m_receiverFlags = header.data[kZf0];
    m_receiverHears = (m_receiverFlags & kCanFullDuplex) != 0;
    // A receiver that cannot hear while it receives never sends the acknowledgements a
    // window waits for.
    if (!m_receiverHears)
        m_windowed = false;
    NextFile();
}

void ZmodemSender::OpenMiss(Miss miss) {
    // A receiver that missed the request (a person whose terminal program was not ready
    // yet) hears it again; a damaged answer is waited out.
    if (miss == Miss::Silent || miss == Miss::Garbage)
        SendHex(kZrqinit);
    StartWait(kSilenceLimit, true);
}

void ZmodemSender::NextFile() {
    const SenderOffer offer = m_files.Next(m_info.data(), static_cast<int>(m_info.size()));
    switch (offer.kind) {
    case SenderOffer::Kind::File:
        m_infoLength = offer.infoLength;
        return StartOffer();
    case SenderOffer::Kind::NoMore:
        return StartClose();
    case SenderOffer::Kind::Fail:
        return Fail(offer.code);
    }
}

void ZmodemSender::StartOffer() {
    m_phase = Phase::Offer;
    m_restart = Restart{};
    m_dataSent = false;
    m_crcAnswers = 0;
    m_status.position = 0;
    m_status.blockLength = m_infoLength;
    SendOffer();
}

void ZmodemSender::SendOffer() {
    if (m_receiverFlags & kCanFcs32)
        Trace("Sending with CRC-32");
    Header header = Header::AtPosition(kZfile, 0);
    if (m_options.requestResume || m_options.management) {
        header.data[kZf0] =
            static_cast<unsigned char>(m_options.requestResume ? kResumeRequest : 0);
        header.data[kZf1] = static_cast<unsigned char>(m_options.management);
    }
    SendBinary(kZfile, header);
    SendSubpacket(m_info.data(), m_infoLength, kZcrcw);
    StartWait(kSilenceLimit, true);
}

void ZmodemSender::OfferHeader(const Header& header) {
    switch (header.type) {
    case kZskip:
        Trace("SendFile: received a ZSKIP frame");
        ++m_status.filesSkipped;
        return FileEnded();
    case kZrpos:
        if (!WithinFile(header))
            return;
        m_status.position = header.Position();
        m_phase = Phase::Data;
        return GoOn();
    case kZcrc:
        // A receiver that keeps asking is counted, so it cannot hold the sender for ever.
        if (++m_crcAnswers <= kCrcAnswersPerOffer)
            return AnswerCrc(header);
        break;
    case kZrinit:
        // A ZRINIT that crossed the offer (one answering the ZRQINIT, or a repeated ZEOF) is
        // followed at once by the answer to the offer; only a receiver that then stays quiet
        // is still waiting for an offer that did not reach it whole.
        m_replyDue = m_now + kReplyWaitMs;
        return StartWait(kSilenceLimit, true);
    case kZnak:
        Trace("SendFile: offer again after frame type %d", header.type);
        if (CountError())
            return Fail(kTooManyErrors);
        return SendOffer();
    default:
        Trace("SendFile: read frame type %d", header.type);
        break;
    }
    if (CountError())
        return Fail(kTooManyErrors);
    StartWait(kSilenceLimit, true);
}

void ZmodemSender::AnswerCrc(const Header& header) {
    // Up to the asked length: the whole file for 0 or more than it has.
    std::int64_t length = header.Position();
    if (length == 0 || length > m_status.fileSize)
        length = m_status.fileSize;
    const std::uint32_t crc = m_files.Crc(length);
    Trace("SendFile: CRC of %ld bytes asked", static_cast<long>(length));
    SendBinary(kZcrc, Header::AtPosition(kZcrc, crc));
    StartWait(kSilenceLimit, true);
}

bool ZmodemSender::WithinFile(const Header& header) {
    if (header.Position() <= m_status.fileSize)
        return true;
    // A receiver that asks for data beyond the end does not hold what it thinks: the file
    // would count as sent with nothing moved.
    Trace("SendFile: ZRPOS %ld beyond the end of %s", static_cast<long>(header.Position()),
          m_status.fileName.c_str());
    Fail(kTransferError);
    return false;
}

// ---- Data ----

void ZmodemSender::GoOn() {
    m_phase = Phase::Data;
    if (m_status.position >= m_status.fileSize)
        return EndFileData();
    SendBinary(kZdata, Header::AtPosition(kZdata, static_cast<std::uint32_t>(m_status.position)));
    m_frame = Frame{};
    m_frame.acknowledged = m_status.position;
    m_dataSent = true;
    m_state = DataState::Frame;
}

bool ZmodemSender::WantsToWrite() const {
    return m_phase == Phase::Data && m_state == DataState::Frame;
}

void ZmodemSender::OnWritable(TimeMs now) {
    m_now = now;
    if (WantsToWrite())
        FrameStep();
}

void ZmodemSender::FrameStep() {
    const std::int64_t at = m_status.position;
    const std::int64_t unconfirmed = at - m_frame.acknowledged;
    if (m_windowed && at >= m_status.fileSize) {
        // All sent: the last subpacket's ZCRCW is answered as a frame's end; data confirmed
        // only in part waits for the rest of the ZACKs.
        if (unconfirmed <= 0)
            return GoOn();
        if (unconfirmed == m_status.blockLength)
            return AwaitAnswer();
        return AwaitWindowRoom();
    }
    if (m_windowed && unconfirmed >= m_windowSize)
        return AwaitWindowRoom();
    SendNextSubpacket();
}

void ZmodemSender::SendNextSubpacket() {
    Trace("SendDataFrame: sending @%ld", static_cast<long>(m_status.position));
    const Fill fill = FillSubpacket();
    if (fill == Fill::Failed)
        return;
    // After a ZRPOS the first subpacket closes the frame with ZCRCW: the stream goes on only
    // once the receiver has confirmed that it is in step.
    m_frame.ended = m_restart.active || fill == Fill::Ends;
    const bool atEnd = m_status.position >= m_status.fileSize;
    // A streamed file ends with ZCRCE: its ZEOF, not a ZACK, is what gets answered.
    const bool streamEnd = !m_windowed && !m_restart.active && atEnd;
    int endCode = m_frame.ended ? kZcrcw : (m_windowed ? kZcrcq : kZcrcg);
    if (streamEnd)
        endCode = kZcrce;
    SendSubpacket(m_data.data(), m_status.blockLength, endCode);
    if (endCode == kZcrcq || endCode == kZcrcw)
        m_frame.asking.push_back(m_status.position);
    if (Adapting() && endCode != kZcrcg)
        m_sendWindow.Sent(m_status.position, static_cast<std::uint32_t>(m_now));
    if (!atEnd)
        ++m_status.blocks;
    if (streamEnd)
        return EndFileData();
    if (m_frame.ended && (!atEnd || m_restart.active))
        AwaitAnswer();
}

ZmodemSender::Fill ZmodemSender::FillSubpacket() {
    TransferStatus& st = m_status;
    if (m_restart.active && m_restart.empty) {
        st.blockLength = 0;
        return Fill::Ends;
    }
    int length = Adapting() ? m_sendWindow.Subpacket() : kSubpacketSize;
    if (m_receiverBufferSize > 0)
        length = std::min(length, m_receiverBufferSize - m_frame.windowBytes);
    // Never more than the size announced in the offer, even if the file has grown since.
    length = static_cast<int>(std::min<std::int64_t>(length, st.fileSize - st.position));
    if (length <= 0) {
        st.blockLength = 0;
        return Fill::Ends;
    }
    const int count = m_files.Read(st.position, m_data.data(), length);
    st.blockLength = std::max(count, 0);
    if (count <= 0) {
        Fail(kFileReadError);
        return Fill::Failed;
    }
    st.position += count;
    m_frame.windowBytes += count;
    // A receiver with a buffer limit, or one that cannot receive while it writes, wants each
    // frame ended when its buffer is full.
    const bool streams = m_receiverBufferSize == 0 ? (m_receiverFlags & kCanOverlapIo) != 0
                                                   : m_frame.windowBytes < m_receiverBufferSize;
    return !streams || st.position >= st.fileSize ? Fill::Ends : Fill::More;
}

void ZmodemSender::AwaitAnswer() {
    m_state = DataState::Answer;
    // A restart waits a moment for its confirmation (once its own bytes are out), then the
    // same frame goes out again.
    if (m_restart.active)
        StartWait(kRestartSilenceLimit, false);
    else
        StartWait(kSilenceLimit, true);
}

void ZmodemSender::AwaitWindowRoom() {
    if (m_state != DataState::WindowRoom)
        m_roomQueued = -1;
    m_state = DataState::WindowRoom;
    m_roomSince = m_now;
}

void ZmodemSender::HeaderBegun() {
    // A windowed frame reads the header before it sends more: most are ZACKs, which let it
    // go on.
    if (m_windowed) {
        m_state = DataState::WindowHeader;
        StartWait(kSilenceLimit, true);
        return;
    }
    Trace("BackChannel: backtalk ZCAN/ZPAD");
    EndFrame();
}

void ZmodemSender::EndFrame() {
    if (m_status.position < m_status.fileSize)
        SendSubpacket(nullptr, 0, kZcrce);
    AwaitAnswer();
}

void ZmodemSender::DataHeader(const Header& header) {
    if (m_windowed && m_state != DataState::Answer)
        return WindowedHeader(header);
    ObeyAnswer(header);
}

void ZmodemSender::WindowedHeader(const Header& header) {
    if (header.type != kZack)
        return ObeyAnswer(header);
    if (TakeAcknowledgement(header) == Ack::OutOfStep) {
        // The receiver stands where no subpacket ended: a new frame header (or the ZEOF)
        // shows it that it lost data, and it asks for the frame again from its start.
        Trace("SendDataFrame: ZACK at %ld ends no subpacket: the frame ends",
              static_cast<long>(header.Position()));
        return GoOn();
    }
    m_status.retries = 0;
    if (m_status.position >= m_status.fileSize && m_frame.acknowledged >= m_status.position)
        return ObeyAnswer(header);
    m_state = DataState::Frame;
}

void ZmodemSender::ObeyAnswer(const Header& header) {
    m_restart.quietRounds = 0;
    switch (header.type) {
    case kZrinit:
    case kZskip:
    case kZabort:
    case kZferr:
    case kZcan:
        return Fail(kRemoteCancelled);
    case kZack:
        Trace("SendFile: received an ACK frame");
        m_status.retries = 0;
        m_restart.active = false;
        return GoOn();
    case kZrpos:
        StartRestart(header);
        if (m_phase != Phase::Done)
            GoOn();
        return;
    default:
        Trace("SendFile: frame type %d", header.type);
        return AwaitAnswer();
    }
}

void ZmodemSender::DataMiss(Miss miss) {
    if (m_state == DataState::WindowHeader || m_state == DataState::WindowRoom) {
        m_state = DataState::Frame;
        return;
    }
    if (m_state == DataState::Frame && m_status.position < m_status.fileSize)
        SendSubpacket(nullptr, 0, kZcrce);
    // A restart whose confirmation did not come goes out again; that silence counts one
    // error for every kSilenceLimit seconds.
    const bool quiet = miss != Miss::Damaged;
    if (m_restart.active && quiet) {
        m_status.position = m_restart.position;
        if (++m_restart.quietRounds % (kSilenceLimit / kRestartSilenceLimit) == 0 && CountError())
            return Fail(kTooManyRetries);
    }
    // A damaged header was the receiver asking for something, and silence leaves both sides
    // waiting: the data goes on from here, and a receiver that wants another position asks
    // for it again at once.
    Trace("SendFile: %s, the data goes on", quiet ? "silence" : "damaged header");
    GoOn();
}

ZmodemSender::Ack ZmodemSender::TakeAcknowledgement(const Header& header) {
    // Positions travel as 32 bits: the distance from what was acknowledged is taken modulo
    // 2^32, and one outside what was sent since (a stale ZACK) is passed over.
    const std::int64_t step = static_cast<std::uint32_t>(
        header.Position() - static_cast<std::uint32_t>(m_frame.acknowledged));
    if (step == 0 || step > m_status.position - m_frame.acknowledged)
        return Ack::Stale;
    // A lost ZACK is covered by the next one.
    const std::int64_t end = m_frame.acknowledged + step;
    std::deque<std::int64_t>& asking = m_frame.asking;
    while (!asking.empty() && asking.front() < end)
        asking.pop_front();
    if (asking.empty() || asking.front() != end)
        return Ack::OutOfStep;
    asking.pop_front();
    m_frame.acknowledged = end;
    if (!Adapting())
        return Ack::Taken;
    m_sendWindow.Acknowledged(m_frame.acknowledged, step, static_cast<std::uint32_t>(m_now));
    ApplySendWindow();
    if (!m_windowed)
        Trace("SendDataFrame: streaming again");
    return Ack::Taken;
}

void ZmodemSender::StartRestart(const Header& header) {
    if (!WithinFile(header))
        return;
    m_status.position = header.Position();
    m_restart.empty = m_status.position == m_restart.position;
    m_restart.position = m_status.position;
    m_restart.active = true;
    Trace("SendFileData: ZRPOS location %ld", static_cast<long>(m_status.position));
    NarrowWindow();
    m_actions.push_back(Action{Action::Kind::PurgeOutput, {}, nullptr, 0, 0});
}

void ZmodemSender::NarrowWindow() {
    if (!m_options.adaptive || !m_receiverHears)
        return;
    m_sendWindow.Error();
    ApplySendWindow();
}

void ZmodemSender::ApplySendWindow() {
    m_windowed = !m_sendWindow.Streaming();
    m_windowSize = m_sendWindow.Window();
}

// ---- End of a file ----

void ZmodemSender::EndFileData() {
    // Nothing (more) to send: a receiver still gets one data frame before the ZEOF, an empty
    // one when the file is empty or already complete there.
    if (!m_dataSent) {
        SendBinary(kZdata,
                   Header::AtPosition(kZdata, static_cast<std::uint32_t>(m_status.position)));
        SendSubpacket(nullptr, 0, kZcrce);
        m_dataSent = true;
    }
    m_phase = Phase::EndOfFile;
    SendEof();
}

void ZmodemSender::SendEof() {
    // The file counts as sent only when the receiver confirms it with ZRINIT: a ZEOF that was
    // lost or damaged must never let the next offer run into this file.
    SendBinary(kZeof, Header::AtPosition(kZeof, static_cast<std::uint32_t>(m_status.position)));
    StartWait(kSilenceLimit, true);
}

void ZmodemSender::EofHeader(const Header& header) {
    switch (header.type) {
    case kZrinit:
        ++m_status.filesDone;
        m_status.retries = 0;
        return FileEnded();
    case kZrpos:
        if (header.Position() < m_status.fileSize) {
            StartRestart(header);
            return GoOn();
        }
        Trace("EndFile: ZRPOS at the end, ZEOF again");
        break;
    case kZskip:
        Trace("SendFile: received a ZSKIP frame");
        ++m_status.filesSkipped;
        return FileEnded();
    case kZabort:
    case kZferr:
    case kZcan:
        return Fail(kRemoteCancelled);
    default:
        Trace("EndFile: frame type %d, ZEOF again", header.type);
        break;
    }
    if (CountError())
        return Fail(kTooManyErrors);
    SendEof();
}

void ZmodemSender::FileEnded() {
    m_files.Close();
    NextFile();
}

// ---- Closing ----

void ZmodemSender::StartClose() {
    m_phase = Phase::Close;
    m_status.retries = 0;
    m_closeAttempts = 0;
    CloseAttempt();
}

void ZmodemSender::CloseAttempt() {
    if (m_closeAttempts == kFinishAttempts) {
        // Every file was confirmed by the receiver; an unanswered ZFIN loses nothing.
        Trace("CloseLink: the receiver did not answer ZFIN");
        return Finish();
    }
    ++m_closeAttempts;
    m_closeCrossed = false;
    m_replyDue.reset();
    SendHex(kZfin);
    StartWait(kSilenceLimit, true);
}

void ZmodemSender::CloseHeader(const Header& header) {
    if (header.type == kZfin)
        return Finish();
    // A ZRINIT may still answer the last ZEOF, with the ZFIN following; if nothing follows,
    // the receiver is waiting for an offer and never saw the ZFIN.
    if ((header.type == kZrinit || header.type == kZferr) && !m_closeCrossed) {
        m_closeCrossed = true;
        m_replyDue = m_now + kReplyWaitMs;
        return StartWait(kSilenceLimit, true);
    }
    Trace("CloseLink: got %d instead of ZFIN", header.type);
    CloseAttempt();
}

void ZmodemSender::Finish() {
    m_actions.push_back(Action{Action::Kind::OverAndOut, {}, nullptr, 0, 0});
    m_phase = Phase::Done;
    m_wait.active = false;
}

// ---- Common ----

void ZmodemSender::Fail(int code) {
    // Every file was confirmed by the receiver: a cancel during the goodbye loses nothing.
    if (m_phase == Phase::Close)
        Trace("CloseLink: the goodbye ended with %d", code);
    else if (m_result == 0)
        m_result = code;
    m_phase = Phase::Done;
    m_wait.active = false;
    m_replyDue.reset();
}

void ZmodemSender::SendHex(int type, std::uint32_t position) {
    m_actions.push_back(
        Action{Action::Kind::SendHex, Header::AtPosition(type, position), nullptr, 0, 0});
}

void ZmodemSender::SendBinary(int type, const Header& header) {
    Header sent = header;
    sent.type = type;
    m_actions.push_back(Action{Action::Kind::SendBinary, sent, nullptr, 0, 0});
}

void ZmodemSender::SendSubpacket(const unsigned char* data, int length, int endCode) {
    m_actions.push_back(Action{Action::Kind::SendSubpacket, {}, data, length, endCode});
}

} // namespace protocol
