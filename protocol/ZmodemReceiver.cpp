// The ZMODEM receiver's transitions: invitation, offers and their proofs, the data phase
// with its recovery by ZRPOS, and the answer to ZFIN, each on the time passed in.
#include "protocol/ZmodemReceiver.h"

#include <algorithm>

#include "comm/StatusCodes.h"

namespace protocol {

using namespace comm;
using namespace zmodem;

ZmodemReceiver::ZmodemReceiver(TransferStatus& status, ReceiverFiles& files,
                               const ReceiverOptions& options)
    : MachineCore{status, options.retryLimit}, m_files{files}, m_options{options} {}

std::vector<ZmodemReceiver::Action> ZmodemReceiver::TakeActions() {
    std::vector<Action> actions;
    actions.swap(m_actions);
    return actions;
}

void ZmodemReceiver::Start(TimeMs now) {
    m_now = m_startedAt = now;
    Invite(true);
}

// ---- Header waits ----

void ZmodemReceiver::StartWait(int limit, bool countErrors, TimeMs quietAfterInputMs) {
    m_wait = HeaderWait{};
    m_wait.active = true;
    m_wait.start = m_wait.unitStart = m_now;
    m_wait.limit = limit;
    m_wait.countErrors = countErrors;
    m_wait.quietAfterInputMs = quietAfterInputMs;
}

TimeMs ZmodemReceiver::SilenceUnit() const {
    return m_heardInput && m_wait.quietAfterInputMs > 0 ? m_wait.quietAfterInputMs : kSilenceUnitMs;
}

TimeMs ZmodemReceiver::WaitDeadline() const {
    return m_wait.unitStart + SilenceUnit();
}

TimeMs ZmodemReceiver::CrcDeadline() const {
    // The sender reads as many bytes before it answers: the wait grows with them.
    return m_crcAskedAt + kCrcAnswerMs + m_crcLength / kCrcBytesPerSecond * kSilenceUnitMs;
}

std::optional<TimeMs> ZmodemReceiver::WakeAt() const {
    std::optional<TimeMs> wake;
    if (m_wait.active)
        wake = WaitDeadline();
    auto also = [&wake](TimeMs at) { wake = wake ? std::min(*wake, at) : at; };
    if (m_phase == Phase::Verify)
        also(CrcDeadline());
    if (m_phase == Phase::Finish)
        also(m_finishDeadline);
    return wake;
}

void ZmodemReceiver::OnHeard(TimeMs now, long bytes, bool plain) {
    m_now = now;
    m_heardInput = true;
    m_wait.silences = 0;
    m_wait.unitStart = now;
    if (m_phase != Phase::Finish || !plain)
        return;
    // The sender's "OO" after the last ZFIN: once both came the run is over.
    m_finishHeard += bytes;
    if (m_finishHeard >= 2)
        m_phase = Phase::Done;
    else
        m_finishDeadline = std::min(m_finishDeadline, now + kSecondOWaitMs);
}

void ZmodemReceiver::OnTime(TimeMs now, long outputQueued) {
    m_now = now;
    if (m_phase == Phase::Finish && now >= m_finishDeadline) {
        m_phase = Phase::Done;
        return;
    }
    if (m_phase == Phase::Verify && now >= CrcDeadline())
        return VerifyEnded(std::nullopt);
    if (!m_wait.active || now < WaitDeadline())
        return;
    // A short silence ends the wait only once the answer could be here.
    const bool quick = m_heardInput && m_wait.quietAfterInputMs > 0;
    const bool answerDue = now - m_askedAt >= m_answerDueMs;
    const bool draining = StillDraining(outputQueued, m_wait.queued);
    m_wait.queued = outputQueued;
    m_wait.unitStart = now;
    if ((quick && !answerDue) || draining || ++m_wait.silences < m_wait.limit)
        return;
    Trace("GetPad: timeout on ZPAD");
    OnMiss(Miss::Silent);
}

void ZmodemReceiver::OnLinkFailed(int code) {
    if (m_phase == Phase::Finish)
        m_phase = Phase::Done;
    else
        Fail(code);
}

bool ZmodemReceiver::CountMiss(Miss miss) {
    // A wait that found no header at all, for silence or for garbage, counts only where
    // silence does.
    if ((miss == Miss::Silent || miss == Miss::Garbage) && !m_options.silenceCounts)
        return true;
    if (!m_wait.countErrors)
        return true;
    if (CountError()) {
        Fail(kTooManyErrors);
        return false;
    }
    return true;
}

void ZmodemReceiver::OnFrame(const FrameEvent& event, TimeMs now) {
    m_now = now;
    if (m_phase != Phase::Done)
        Sort(event);
}

void ZmodemReceiver::OnHeader(const FrameEvent& event) {
    // A header outside a wait is one the receiver let go by.
    if (!m_wait.active)
        return;
    m_wait.active = false;
    const Header& header = event.header;
    switch (m_phase) {
    case Phase::Invite:
        return InviteHeader(header);
    case Phase::Verify:
        return VerifyHeader(header);
    case Phase::Data:
        return DataHeader(header);
    case Phase::Finish:
        return FinishHeader(header);
    default:
        return;
    }
}

void ZmodemReceiver::OnMiss(Miss miss) {
    if (!m_wait.active)
        return;
    m_wait.active = false;
    Trace("ReadFrameHeader: Frame type %d",
          miss == Miss::CutOff || miss == Miss::Silent ? kTimedOut : kGeneralTransferError);
    if (m_phase == Phase::Finish) {
        m_phase = Phase::Done;
        return;
    }
    if (!CountMiss(miss))
        return;
    switch (m_phase) {
    case Phase::Invite:
        return InviteMiss(miss);
    case Phase::Verify:
        return VerifyMiss(miss);
    case Phase::Data:
        return DataMiss(miss);
    default:
        return;
    }
}

void ZmodemReceiver::OnSubpacket(const FrameEvent& event) {
    // Subpackets of frames the receiver let go by are passed over with them.
    switch (m_phase) {
    case Phase::SenderInit:
        return SenderInitArrived(event);
    case Phase::OfferInfo:
        return OfferArrived(event);
    case Phase::Subpackets:
        return DataSubpacket(event);
    default:
        return;
    }
}

// ---- Invitation and offers ----

void ZmodemReceiver::Invite(bool sendInit) {
    m_phase = Phase::Invite;
    if (!m_frameSeen && m_options.firstFrameLimitMs >= 0 &&
        m_now - m_startedAt >= m_options.firstFrameLimitMs) {
        Trace("GetFileName: no ZMODEM frame from the caller");
        Fail(kTimedOut);
        return;
    }
    if (sendInit) {
        Trace("GetFileName: sending RINIT");
        Header init;
        init.type = kZrinit;
        init.data[kZf0] = kCapabilities;
        m_actions.push_back(Action{Action::Kind::SendHex, init});
    }
    StartWait(kSilenceLimit, true, 0);
}

void ZmodemReceiver::InviteHeader(const Header& header) {
    m_frameSeen = true;
    switch (header.type) {
    case kZsinit:
        m_phase = Phase::SenderInit;
        return;
    case kZfile:
        m_offerHeader = header;
        m_phase = Phase::OfferInfo;
        return;
    case kZfin:
        return StartFinish();
    case kZrqinit:
        Trace("GetFileName: frame_type=%d", header.type);
        return Invite(true);
    default:
        Trace("GetFileName: frame_type=%d", header.type);
        if (CountError())
            return Fail(kTooManyErrors);
        return Invite(true);
    }
}

void ZmodemReceiver::InviteMiss(Miss miss) {
    Trace("GetFileName: frame_type=%d",
          miss == Miss::CutOff || miss == Miss::Silent ? kTimedOut : kGeneralTransferError);
    const bool headerless = miss == Miss::Silent || miss == Miss::Garbage;
    if (headerless && !m_options.silenceCounts && m_options.offerSilenceLimit >= 0) {
        if (++m_offerSilences > m_options.offerSilenceLimit)
            return Fail(kTimedOut);
    } else if (CountError()) {
        // A header error is counted twice: once as a header, once as no offer.
        return Fail(kTooManyErrors);
    }
    Invite(true);
}

void ZmodemReceiver::SenderInitArrived(const FrameEvent& event) {
    // The attention string it carries is not used: this receiver never interrupts the
    // sender by anything but ZRPOS.
    if (event.kind != FrameEvent::Kind::Subpacket) {
        Trace("GetFileName: ZSINIT + bad packet");
        if (CountError())
            return Fail(kTooManyErrors);
        return Invite(true);
    }
    Trace("GetFileName: good ZSINIT");
    SendHex(kZack);
    // After the ZACK the sender goes on with its offer; a ZRINIT now would cross it and
    // confuse a strict sender, so one goes out only if the sender falls silent.
    Invite(false);
}

void ZmodemReceiver::OfferArrived(const FrameEvent& event) {
    if (event.kind != FrameEvent::Kind::Subpacket) {
        // A damaged offer is asked for again at once, within the retry limit; should the
        // ZNAK be lost, the ZRINIT after a silence asks again.
        Trace("GetFileName: ZFILE + bad packet");
        Discard();
        SendHex(kZnak);
        if (CountError())
            return Fail(kTooManyErrors);
        return Invite(false);
    }
    m_status.blockLength = event.length;
    m_offerSilences = 0;
    Follow(m_files.Offer(m_offerHeader, event.data, event.length));
}

void ZmodemReceiver::Follow(const OfferStep& step) {
    switch (step.kind) {
    case OfferStep::Kind::Fail:
        return Fail(step.code);
    case OfferStep::Kind::Skip:
        SendHex(kZskip);
        return Invite(true);
    case OfferStep::Kind::Verify:
        m_crcLength = step.position;
        m_crcAsks = 1;
        return AskFileCrc();
    case OfferStep::Kind::Receive:
        m_status.position = step.position;
        return StartData();
    }
}

void ZmodemReceiver::AskFileCrc() {
    // Silence and damage while the answer is awaited are not the sender's errors: a sender
    // that does not know the question says nothing, and the offer goes on without proof.
    m_phase = Phase::Verify;
    Discard();
    SendHex(kZcrc, static_cast<std::uint32_t>(m_crcLength));
    m_crcAskedAt = m_now;
    StartWait(1, false, 0);
}

void ZmodemReceiver::VerifyHeader(const Header& header) {
    if (header.type == kZcrc)
        return VerifyEnded(header.Position());
    // The sender offers again: it did not understand the question.
    if (header.type == kZfile)
        return VerifyEnded(std::nullopt);
    StartWait(1, false, 0);
}

void ZmodemReceiver::VerifyMiss(Miss miss) {
    // A damaged answer is asked for once more.
    if ((miss == Miss::Damaged || miss == Miss::CutOff) && m_crcAsks < kCrcAsks) {
        ++m_crcAsks;
        return AskFileCrc();
    }
    if (miss == Miss::Damaged || miss == Miss::CutOff)
        return VerifyEnded(std::nullopt);
    StartWait(1, false, 0);
}

void ZmodemReceiver::VerifyEnded(std::optional<std::uint32_t> crc) {
    m_wait.active = false;
    Follow(m_files.Proved(crc));
}

// ---- The data phase ----

void ZmodemReceiver::StartData() {
    Trace("ReadFileData: reading name");
    SendPosition(kZrpos);
    m_data = DataPhase{};
    m_data.resyncStart = m_now;
    m_data.frameStart = m_status.position;
    WaitForData();
}

void ZmodemReceiver::WaitForData() {
    m_phase = Phase::Data;
    StartWait(m_data.resyncing || m_data.answered ? 1 : kSilenceLimit, !m_data.resyncing,
              m_data.resyncing ? kResyncQuietMs : 0);
    m_data.answered = false;
}

void ZmodemReceiver::DataHeader(const Header& header) {
    DataStep step = DataStep::Next;
    if (header.type == kZdata)
        step = OnDataHeader(header);
    else if (header.type == kZeof)
        step = OnEndOfFileHeader(header);
    else
        step = OnOtherFrame(header.type);
    if (m_phase == Phase::Data)
        AfterDataStep(step);
}

void ZmodemReceiver::DataMiss(Miss miss) {
    AfterDataStep(miss == Miss::Silent ? OnSilence() : OnBrokenHeader(miss));
}

ZmodemReceiver::DataStep ZmodemReceiver::OnDataHeader(const Header& header) {
    const std::int64_t position = header.Position();
    if (position != m_status.position) {
        Trace("ReadFileData: Mismatch in rx_pos");
        // A sender further on than the data that arrived, outside a resynchronisation, sent
        // a subpacket that went missing whole.
        if (!m_data.resyncing && position > m_status.position)
            LostInFrame();
        return DataStep::AskCounted;
    }
    if (m_data.resyncing && !m_data.askedForSilence)
        m_answerDueMs = std::min(kSilenceUnitMs, 2 * (m_now - m_askedAt));
    m_data.resyncing = false;
    m_data.staleEnds = 0;
    m_data.quietMs = 0;
    m_data.frameStart = m_status.position;
    Trace("NEW BYTE COUNT: %lx", static_cast<long>(m_status.position));
    const int seek = m_files.Seek(m_status.position);
    if (seek < 0) {
        Trace("ReadFileData: seek failed");
        Fail(seek);
        return DataStep::Next;
    }
    m_phase = Phase::Subpackets;
    return DataStep::Next;
}

void ZmodemReceiver::DataSubpacket(const FrameEvent& event) {
    if (event.kind != FrameEvent::Kind::Subpacket) {
        m_phase = Phase::Data;
        return AfterDataStep(DataStep::AskCounted);
    }
    ++m_status.blocks;
    m_status.retries = 0;
    m_status.blockLength = event.length;
    if (event.length > 0) {
        const int stored = m_files.Store(event.data, event.length);
        if (stored < 0) {
            Trace("ReadFileData: write failed");
            return Fail(stored);
        }
    }
    Trace("ReadFileData: read @%ld", static_cast<long>(m_status.position));
    m_status.position += event.length;
    if (event.endCode == kZcrcq || event.endCode == kZcrcw) {
        Trace("Sending a ZACK");
        SendPosition(kZack);
    }
    if (event.endCode == kZcrcg || event.endCode == kZcrcq)
        return;
    // A frame closed by ZCRCW has been answered with ZACK, and the sender waits for it: a
    // second of silence means the answer was lost, and the position is sent again.
    m_data.answered = event.endCode == kZcrcw;
    WaitForData();
}

ZmodemReceiver::DataStep ZmodemReceiver::OnEndOfFileHeader(const Header& header) {
    if (static_cast<std::int64_t>(header.Position()) == m_status.position) {
        Trace("ReadFileData: frame_type=%d", kZeof);
        FileEnded();
        return DataStep::Next;
    }
    Trace("ZEOF at wrong position");
    // One ZEOF may have been sent before the sender saw the ZRPOS; a later one means the
    // ZRPOS was lost.
    const bool ask = !m_data.resyncing || ++m_data.staleEnds > 1;
    // Outside a resynchronisation a subpacket went missing whole somewhere in the frame.
    if (!m_data.resyncing)
        LostInFrame();
    return ask ? DataStep::AskCounted : DataStep::Next;
}

void ZmodemReceiver::LostInFrame() {
    // What followed the lost subpacket was written too early: the frame is asked for again
    // from where it began, and rewritten in place.
    Trace("ReadFileData: data lost in the frame from %ld", static_cast<long>(m_data.frameStart));
    m_status.position = m_data.frameStart;
}

void ZmodemReceiver::FileEnded() {
    const int ended = m_files.EndFile();
    if (ended < 0)
        return Fail(ended);
    m_status.retries = 0;
    m_status.fileName.clear();
    Invite(true);
}

ZmodemReceiver::DataStep ZmodemReceiver::OnSilence() {
    // Ask again at once, but a sender that stays silent is counted once for every ten
    // seconds of it, so that a vanished sender ends the run. A wait that found nothing
    // spent all of its time without progress.
    m_data.quietMs += m_now - m_wait.start;
    if (m_data.quietMs < kSilenceLimit * kSilenceUnitMs)
        return DataStep::AskForSilence;
    m_data.quietMs = 0;
    return DataStep::AskForSilenceCounted;
}

bool ZmodemReceiver::WaitingOutStaleData() const {
    // Stale data is waited out for a while, not for ever.
    return m_data.resyncing && m_now - m_data.resyncStart < kResyncLimitMs;
}

ZmodemReceiver::DataStep ZmodemReceiver::OnOtherFrame(int type) {
    Trace("ReadFileData: frame_type=%d", type);
    // The offer again means the sender never saw the answer to it; other frames are let go
    // by.
    if (WaitingOutStaleData() || type != kZfile)
        return DataStep::Next;
    return DataStep::AskCounted;
}

ZmodemReceiver::DataStep ZmodemReceiver::OnBrokenHeader(Miss miss) {
    if (WaitingOutStaleData())
        return DataStep::Next;
    // A damaged header has been counted where it was read; garbage is counted again.
    return miss == Miss::Garbage ? DataStep::AskCounted : DataStep::Ask;
}

void ZmodemReceiver::AfterDataStep(DataStep step) {
    if (m_phase == Phase::Done)
        return;
    if (step == DataStep::Next)
        return WaitForData();
    const bool counted = step == DataStep::AskCounted || step == DataStep::AskForSilenceCounted;
    if (counted && CountError())
        return Fail(kTooManyErrors);
    Discard();
    SendPosition(kZrpos);
    // A ZRPOS sent while another is unanswered may be answered by the earlier one.
    m_data.askedForSilence = step == DataStep::AskForSilence ||
                             step == DataStep::AskForSilenceCounted || m_data.resyncing;
    m_data.resyncing = true;
    m_data.staleEnds = 0;
    m_data.resyncStart = m_now;
    Trace("Sending a new file offset!!!");
    WaitForData();
}

// ---- The end ----

void ZmodemReceiver::StartFinish() {
    // The sender's "OO" normally follows; a ZFIN again means it did not get this answer.
    m_phase = Phase::Finish;
    SendHex(kZfin);
    ++m_finishAnswers;
    m_finishHeard = 0;
    m_finishDeadline = m_now + kFinishAnswerWaitMs;
    StartWait(kSilenceLimit, false, 0);
}

void ZmodemReceiver::FinishHeader(const Header& header) {
    if (header.type == kZfin && m_finishAnswers < kFinishAnswers)
        return StartFinish();
    m_phase = Phase::Done;
}

// ---- Helpers ----

void ZmodemReceiver::Fail(int code) {
    if (m_result == 0)
        m_result = code;
    m_phase = Phase::Done;
    m_wait.active = false;
}

void ZmodemReceiver::SendHex(int type, std::uint32_t position) {
    m_actions.push_back(Action{Action::Kind::SendHex, Header::AtPosition(type, position)});
}

void ZmodemReceiver::SendPosition(int type) {
    if (type == kZrpos) {
        // What comes from here on answers this ask, or is stale data ahead of the answer.
        m_askedAt = m_now;
        m_heardInput = false;
    }
    SendHex(type, static_cast<std::uint32_t>(m_status.position));
}

void ZmodemReceiver::Discard() {
    m_actions.push_back(Action{Action::Kind::DiscardInput, {}});
}

} // namespace protocol
