// The ZMODEM receiver: invites files with ZRINIT, decides for each offer whether to take it
// from the start, resume it or skip it, receives the data with position checks and recovery
// by ZRPOS, stamps each file with the sender's date and answers the sender's ZFIN.
#include "protocol/Zmodem.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"

namespace protocol {

using namespace comm;
using namespace zmodem;

namespace {
const unsigned char kZeroHeader[4]{};
// Stands in for an offered name that is empty or would name a folder rather than a file.
constexpr const char* kSafeName = "_";
// The longest name, in bytes, that the local file system stores.
constexpr std::size_t kLongestStoredName = 255;
constexpr std::size_t kLongestExtension = 16;

bool IsDotName(const std::string& name) {
    return name.empty() || name == "." || name == "..";
}

// Whether a path given by the sender could reach outside the receive folder.
bool LeavesFolder(const std::string& name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos)
        return true;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        std::string part = name.substr(start, end - start);
        if (part == "..")
            return true;
        start = end + 1;
    }
    return false;
}
// A name the file system cannot hold would fail to open and end the whole run; it is cut
// instead, keeping a short extension and never splitting a multi-byte character.
std::string FitFileSystem(std::string name) {
    if (name.size() <= kLongestStoredName)
        return name;
    std::string extension;
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && name.size() - dot <= kLongestExtension)
        extension = name.substr(dot);
    std::size_t keep = kLongestStoredName - extension.size();
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
        --keep;
    return name.substr(0, keep) + extension;
}
} // namespace

int Zmodem::Receive() {
    m_status->ResetStatus(kDirectionReceive);
    DiscardInput();
    RunReceiver();
    return m_status->statusCode;
}

std::string Zmodem::OfferedName() const {
    const char* info = reinterpret_cast<const char*>(m_data.get());
    // The subpacket need not hold a NUL: the name ends at the first NUL or at the data's end,
    // and what the name buffer cannot hold is cut off.
    int length = 0;
    const int limit = std::min(m_status->blockLength, kNameBufferSize - 1);
    while (length < limit && info[length] != '\0')
        ++length;
    std::string name(info, static_cast<std::size_t>(length));
    if (m_stripPaths || LeavesFolder(name))
        name = StripPath(name.c_str());
    if (IsDotName(name))
        name = kSafeName;
    return FitFileSystem(name);
}

bool Zmodem::ParseFileInformation() {
    TransferStatus& st = *m_status;
    const char* info = reinterpret_cast<const char*>(m_data.get());
    const int length = st.blockLength;
    int nameEnd = 0;
    while (nameEnd < length && info[nameEnd] != '\0')
        ++nameEnd;
    if (nameEnd + 1 >= length)
        return false;
    // The fields are parsed from a terminated copy: the buffer holds stale bytes beyond them.
    std::string fields(info + nameEnd + 1, static_cast<std::size_t>(length - nameEnd - 1));
    const char* p = fields.c_str();
    char* end = nullptr;
    long size = std::strtol(p, &end, 10);
    if (end == p)
        return false;
    // A size beyond what 32-bit positions carry cannot be received whole: it is kept at the
    // limit, so that the file fails rather than arrives cut short and counted good.
    st.fileSize = size < 0 ? 0 : std::min<long>(size, kMaxTransferFileSize);
    p = end;
    long date = std::strtol(p, &end, 8);
    if (end == p || date <= 0 || date > INT32_MAX)
        st.fileDate = kNoDate;
    else
        st.fileDate = static_cast<int>(date);
    return true;
}

void Zmodem::RunReceiver() {
    TransferStatus& st = *m_status;
    st.direction = kDirectionReceive;
    m_receiveStart = platform::GetTickCount();
    m_frameSeen = false;
    if (!PrepareTransfer())
        return;
    m_names.reset(new (std::nothrow) char[kNameBufferSize]());
    if (!m_names) {
        FinishFile();
        Fail(kTransferNoMemory);
        return;
    }
    while (GetFileName() == 1) {
        TakeOffer();
        LookUpLocalFile();
        if (!ProveOffer())
            break;
        st.fileName = m_offerName;
        // A file counts as received only once its ZEOF arrived at the right position.
        if (!OpenTransferFile()) {
            if (st.statusCode != kFileOpenError)
                break;
            // One file that cannot be stored here (a folder of that name, no permission)
            // is refused on its own; the rest of the run goes on.
            Trace("Cannot store %s: skipped", st.fileName.c_str());
            st.statusCode = kShouldSendZskip;
            ++st.filesFailed;
        }
        if (st.statusCode == kShouldSendZskip) {
            st.statusCode = 0;
            SendHexHeader(kZskip, kZeroHeader);
            if (st.statusCode < 0)
                break;
            continue;
        }
        if (m_alreadyFiled) {
            // Nothing is stored: the sender is asked for the file's end, so that it counts
            // the file as sent, and the window shows no file of its own for it.
            Trace("%s was received before: not filed again", m_offerName.c_str());
        }
        ReadFileData();
        m_alreadyFiled = false;
        if (st.statusCode < 0 || !CloseReceivedFile())
            break;
        st.retries = 0;
        st.fileName.clear();
    }
    FinishFile();
    m_names.reset();
    // The last file's count is reported even when the end came without a wait (a ZFIN
    // already waiting): progress is otherwise reported only where the transfer waits.
    st.Progress(st.statusCode);
}

void Zmodem::TakeOffer() {
    TransferStatus& st = *m_status;
    std::string name = OfferedName();
    std::snprintf(m_names.get(), kNameBufferSize, "%s", name.c_str());
    // The window shows the file once it is decided where it goes: an offer recognised as
    // filed, or stored under another name, must not leave a record of its own name.
    m_offerName = m_engine->StoredName(m_names.get());
    st.fileName.clear();
    st.position = 0;
    if (m_stripPaths)
        Trace("Stripped filename %s", m_names.get());
    if (!ParseFileInformation()) {
        // Without a size the offer cannot be matched against a partial copy; the file is
        // taken as new rather than judged by the previous file's figures.
        st.fileSize = 0;
        st.fileDate = kNoDate;
    }
}

bool Zmodem::CloseReceivedFile() {
    TransferStatus& st = *m_status;
    if (!m_fileOpen)
        return true;
    if (st.fileDate != kNoDate) {
        m_engine->SetDateFromSeconds(st.fileDate);
        m_engine->ApplyDate();
    }
    const bool closed = m_engine->Close() == 0;
    m_fileOpen = false;
    if (!closed) {
        Trace("Failed to close file");
        Fail(kFileCloseError);
        return false;
    }
    ++st.filesDone;
    m_arrivals.push_back(ArrivedFile{st.fileName, m_offerName, st.fileDate});
    return true;
}

int Zmodem::SendReceiverInit() {
    unsigned char init[4]{};
    init[kZf0] = kReceiverCapabilities;
    Trace("GetFileName: sending RINIT");
    SendHexHeader(kZrinit, init);
    if (m_status->statusCode < 0) {
        Trace("GetFileName: Error sending RINIT");
        return 0;
    }
    return 1;
}

void Zmodem::AnswerFinish() {
    // The sender's "OO" normally follows; a ZFIN again means it did not get this answer.
    for (int answers = 0; answers < kFinishAnswers; ++answers) {
        SendHexHeader(kZfin, kZeroHeader);
        const int c = ReadTimed(kFinalOWaitMs);
        if (c != kZpad) {
            if (c == 'O')
                ReadTimed(kSecondOWaitMs);
            return;
        }
        if (ReadHeaderAfterPad() != kZfin)
            return;
    }
}

void Zmodem::SkipHexLineEnd() {
    if (m_hexTerminated)
        return;
    // The line end of a hex header may still be on its way; it is read, not waited out.
    std::uint32_t start = platform::GetTickCount();
    for (int i = 0; i < kZrqinitDrainLimit; ++i) {
        long left = platform::Remaining(start, kZrqinitSettleMs);
        int c = ReadTimed(left > 0 ? left : 0);
        if (c < 0 || (c & 0x7F) == kLf)
            return;
    }
}

bool Zmodem::AcceptSenderInit() {
    // The attention string it carries is not used: this receiver never interrupts the
    // sender by anything but ZRPOS.
    if (ReadDataSubpacket() < 0) {
        Trace("GetFileName: ZSINIT + bad packet");
        return false;
    }
    Trace("GetFileName: good ZSINIT");
    SendHexHeader(kZack, kZeroHeader);
    return true;
}

int Zmodem::GetFileName() {
    TransferStatus& st = *m_status;
    int silences = 0;
    bool invite = true;
    for (;;) {
        if (!m_frameSeen && m_firstFrameLimitMs >= 0 &&
            platform::Expired(m_receiveStart, m_firstFrameLimitMs)) {
            Trace("GetFileName: no ZMODEM frame from the caller");
            Fail(kTimedOut);
            return 0;
        }
        if (invite && !SendReceiverInit())
            return 0;
        invite = true;
        int type = ReadFrameHeader(OnHeaderError::Return);
        if (type >= 0)
            m_frameSeen = true;
        bool count = false;
        switch (type) {
        case kZsinit:
            // After the ZACK the sender goes on with its offer; a ZRINIT now would cross it
            // and confuse a strict sender, so one goes out only if the sender falls silent.
            if (AcceptSenderInit())
                invite = false;
            else
                count = true;
            break;
        case kZfile:
            if (ReadDataSubpacket() >= 0)
                return 1;
            // A damaged offer is asked for again at once, within the retry limit; should the
            // ZNAK be lost, the ZRINIT after a silence asks again.
            Trace("GetFileName: ZFILE + bad packet");
            DiscardInput();
            SendHexHeader(kZnak, kZeroHeader);
            invite = false;
            count = true;
            break;
        case kZfin:
            AnswerFinish();
            return 0;
        default:
            Trace("GetFileName: frame_type=%d", type);
            if (type == kZrqinit) {
                SkipHexLineEnd();
            } else if (type == kTimedOut && m_headerForm == kNoHeaderForm &&
                       m_offerSilenceLimit >= 0) {
                if (++silences > m_offerSilenceLimit)
                    Fail(kTimedOut);
            } else {
                count = true;
            }
            break;
        }
        if (count && st.statusCode >= 0 && CountError())
            Fail(kTooManyErrors);
        if (st.statusCode < 0)
            return 0;
    }
}

void Zmodem::LookUpLocalFile() {
    m_conversion = m_receivedHeader[kZf0];
    m_management = m_receivedHeader[kZf1];
    m_localEntry = m_engine->Examine(m_offerName);
    m_localEntry.arrivedThisCall = m_arrivedNames.count(m_offerName) > 0;
    m_filedMatch.reset();
    for (const FiledFile& filed : m_filedFiles)
        if (filed.name == m_offerName)
            m_filedMatch = filed;
    m_proofs = ArrivalProofs{};
}

bool Zmodem::ProveOffer() {
    TransferStatus& st = *m_status;
    // At most one question about a filed file and one about a local copy.
    for (int round = 0; round < 2; ++round) {
        const ArrivalDecision decision = PendingDecision();
        if (decision.action != ArrivalAction::Verify)
            return true;
        const bool filed = decision.subject == VerifySubject::Filed;
        // The question goes out first: the sender reads its file while this side reads its
        // own copy.
        DiscardInput();
        AskFileCrc(decision.position);
        std::uint32_t ours = filed ? m_filedMatch->crc : 0;
        const bool readable = filed || m_engine->PrefixCrc(m_offerName, decision.position, ours);
        const std::optional<std::uint32_t> theirs = AwaitFileCrc(decision.position);
        if (st.statusCode < 0)
            return false;
        Proof proof = !theirs           ? Proof::NoAnswer
                      : !readable       ? Proof::Different
                      : *theirs == ours ? Proof::Same
                                        : Proof::Different;
        Trace("ZCRC: %ld bytes of %s %s", static_cast<long>(decision.position), m_offerName.c_str(),
              proof == Proof::Same       ? "match"
              : proof == Proof::NoAnswer ? "unanswered"
                                         : "differ");
        (filed ? m_proofs.filed : m_proofs.copy) = proof;
    }
    return true;
}

void Zmodem::AskFileCrc(std::int64_t length) {
    unsigned char header[4];
    PositionToHeader(length, header);
    SendHexHeader(kZcrc, header);
}

std::optional<std::uint32_t> Zmodem::AwaitFileCrc(std::int64_t length) {
    TransferStatus& st = *m_status;
    // The sender reads as many bytes before it answers: the wait grows with them.
    const long waitMs = kCrcAnswerMs + static_cast<long>(length / kCrcBytesPerSecond) * 1000;
    // Silence and damage while the answer is awaited are not the sender's errors: a sender
    // that does not know the question says nothing, and the offer goes on without proof.
    m_countHeaderErrors = false;
    m_silenceLimit = 1;
    std::optional<std::uint32_t> answer;
    for (int ask = 1; st.statusCode >= 0;) {
        const std::uint32_t start = platform::GetTickCount();
        bool again = false;
        while (!again && !answer && st.statusCode >= 0 && !platform::Expired(start, waitMs)) {
            const int type = ReadFrameHeader(OnHeaderError::Return);
            if (type == kZcrc) {
                answer = static_cast<std::uint32_t>(PositionFromHeader(m_receivedHeader));
            } else if (type == kZfile) {
                // The sender offers again: it did not understand the question.
                ReadDataSubpacket();
                break;
            } else {
                again = type < 0 && m_headerForm != kNoHeaderForm; // damaged: ask once more
            }
        }
        if (!again || ++ask > kCrcAsks)
            break;
        DiscardInput();
        AskFileCrc(length);
    }
    m_countHeaderErrors = true;
    m_silenceLimit = kPadSilenceLimit;
    return answer;
}

int Zmodem::SendPosition(int type) {
    if (CheckAbort())
        return m_status->statusCode;
    unsigned char header[4];
    PositionToHeader(m_status->position, header);
    if (type == kZrpos) {
        // What comes from here on answers this ask, or is stale data ahead of the answer.
        m_askedAt = platform::GetTickCount();
        m_heardInput = false;
    }
    return SendHexHeader(type, header);
}

int Zmodem::ReceiveDataFrame() {
    TransferStatus& st = *m_status;
    Trace("NEW BYTE COUNT: %lx", static_cast<long>(st.position));
    // A file filed by an earlier call has no local copy: only its end is asked for.
    const int seek = m_fileOpen ? m_engine->Seek(m_writeBase + st.position, 0) : 0;
    if (seek != 0) {
        Trace("ReadFileData: seek failed");
        Fail(kFileWriteError);
        FinishFile();
        return st.statusCode;
    }
    int r;
    do {
        if (CheckAbort())
            return st.statusCode;
        r = ReadDataSubpacket();
        if (st.statusCode < 0)
            return st.statusCode;
        if (r < 0)
            return r;
        ++st.blocks;
        st.retries = 0;
        const int length = st.blockLength;
        const int written = length > 0 && m_fileOpen ? m_engine->Write(m_data.get(), length) : 0;
        if (length > 0 && written < length) {
            // What the buffer held never reached the disk: the figures count what did.
            const std::int64_t stored = m_engine->StoredSize();
            if (stored >= 0)
                st.position = stored - m_writeBase;
            Trace("ReadFileData: write failed");
            Fail(kFileWriteError);
            FinishFile();
            return st.statusCode;
        }
        Trace("ReadFileData: read @%ld", static_cast<long>(st.position));
        st.position += length;
        if (r == kZcrcq || r == kZcrcw) {
            Trace("Sending a ZACK");
            SendPosition(kZack);
            if (st.statusCode < 0)
                return st.statusCode;
        }
    } while (r == kZcrcg || r == kZcrcq);
    return r;
}

void Zmodem::ReadFileData() {
    TransferStatus& st = *m_status;
    Trace("ReadFileData: reading name");
    SendPosition(kZrpos);
    if (st.statusCode < 0) {
        Trace("ReadFileData: Error sending ZRPOS");
        return;
    }
    if (CheckAbort())
        return;
    DataPhase phase;
    phase.resyncStart = platform::GetTickCount();
    phase.frameStart = st.position;
    while (!CheckAbort()) {
        const std::uint32_t readStart = platform::GetTickCount();
        const int type = ReadDataPhaseHeader(phase);
        if (st.statusCode < 0) {
            Trace("ReadFileData: Fatal error on header");
            return;
        }
        DataStep step = DataStep::Next;
        if (type == kZdata)
            step = OnDataHeader(phase);
        else if (type == kZeof)
            step = OnEndOfFileHeader(phase);
        else if (type < 0 && m_headerForm == kNoHeaderForm && !m_garbageOverflow)
            step = OnSilence(phase, platform::TicksSince(readStart));
        else
            step = OnOtherFrame(phase, type);
        if (step == DataStep::Done || step == DataStep::Failed)
            return;
        if (step != DataStep::Next && !AskAgain(phase, step))
            return;
    }
}

int Zmodem::ReadDataPhaseHeader(DataPhase& phase) {
    m_countHeaderErrors = !phase.resyncing;
    m_silenceLimit = phase.resyncing || phase.answered ? 1 : kPadSilenceLimit;
    m_quietAfterInputMs = phase.resyncing ? kResyncQuietMs : 0;
    phase.answered = false;
    const int type = ReadFrameHeader(OnHeaderError::Return);
    m_countHeaderErrors = true;
    m_silenceLimit = kPadSilenceLimit;
    m_quietAfterInputMs = 0;
    return type;
}

Zmodem::DataStep Zmodem::OnDataHeader(DataPhase& phase) {
    TransferStatus& st = *m_status;
    if (PositionFromHeader(m_receivedHeader) != st.position) {
        Trace("ReadFileData: Mismatch in rx_pos");
        return DataStep::AskCounted;
    }
    if (phase.resyncing && !phase.askedForSilence)
        m_answerDueMs = static_cast<int>(
            std::min<std::uint32_t>(kPadTimeoutMs, 2 * platform::TicksSince(m_askedAt)));
    phase.resyncing = false;
    phase.staleEnds = 0;
    phase.quietMs = 0;
    phase.frameStart = st.position;
    const int end = ReceiveDataFrame();
    if (st.statusCode < 0)
        return DataStep::Failed;
    // A frame closed by ZCRCW has been answered with ZACK, and the sender waits for it: a
    // second of silence means the answer was lost, and the position is sent again.
    phase.answered = end == kZcrcw;
    return end < 0 ? DataStep::AskCounted : DataStep::Next;
}

Zmodem::DataStep Zmodem::OnEndOfFileHeader(DataPhase& phase) {
    TransferStatus& st = *m_status;
    if (PositionFromHeader(m_receivedHeader) == st.position) {
        Trace("ReadFileData: frame_type=%d", kZeof);
        return DataStep::Done;
    }
    Trace("ZEOF at wrong position");
    // One ZEOF may have been sent before the sender saw the ZRPOS; a later one means the
    // ZRPOS was lost.
    const bool ask = !phase.resyncing || ++phase.staleEnds > 1;
    if (!phase.resyncing) {
        // Outside a resynchronisation a subpacket went missing whole somewhere in the frame,
        // and what followed it was written too early: the frame is asked for again from
        // where it began, and rewritten in place.
        Trace("ReadFileData: data lost in the frame from %ld", static_cast<long>(phase.frameStart));
        st.position = phase.frameStart;
    }
    return ask ? DataStep::AskCounted : DataStep::Next;
}

Zmodem::DataStep Zmodem::OnSilence(DataPhase& phase, std::uint32_t silentMs) {
    // Ask again at once, but a sender that stays silent is counted once for every ten
    // seconds of it, so that a vanished sender ends the run. A header read that found
    // nothing spent all of its time without progress.
    phase.quietMs += static_cast<int>(silentMs);
    if (phase.quietMs < kPadSilenceLimit * kPadTimeoutMs)
        return DataStep::AskForSilence;
    phase.quietMs = 0;
    return DataStep::AskForSilenceCounted;
}

Zmodem::DataStep Zmodem::OnOtherFrame(DataPhase& phase, int type) {
    if (type >= 0)
        Trace("ReadFileData: frame_type=%d", type);
    // Stale data is waited out for a while, not for ever.
    if (phase.resyncing && !platform::Expired(phase.resyncStart, kResyncLimitMs))
        return DataStep::Next;
    // The offer again means the sender never saw the answer to it; other frames are let go
    // by. A damaged header has been counted where it was read.
    if (type >= 0)
        return type == kZfile ? DataStep::AskCounted : DataStep::Next;
    return m_headerForm == kNoHeaderForm ? DataStep::AskCounted : DataStep::Ask;
}

bool Zmodem::AskAgain(DataPhase& phase, DataStep step) {
    const bool counted = step == DataStep::AskCounted || step == DataStep::AskForSilenceCounted;
    if (counted && CountError()) {
        Fail(kTooManyErrors);
        return false;
    }
    DiscardInput();
    SendPosition(kZrpos);
    // A ZRPOS sent while another is unanswered may be answered by the earlier one.
    phase.askedForSilence = step == DataStep::AskForSilence ||
                            step == DataStep::AskForSilenceCounted || phase.resyncing;
    phase.resyncing = true;
    phase.staleEnds = 0;
    phase.resyncStart = platform::GetTickCount();
    Trace("Sending a new file offset!!!");
    return true;
}

} // namespace protocol
