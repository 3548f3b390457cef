// The receiving side's driver: moves bytes between the link and the receiver state machine,
// polls for the stop and reports progress, and is the machine's files side: it judges each
// offer by its name, size and date and the local folder, and stores and stamps the data.
#include "protocol/Zmodem.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "protocol/ZmodemDriver.h"
#include "protocol/ZmodemFrameReader.h"
#include "protocol/ZmodemReceiver.h"

namespace protocol {

using namespace comm;
using namespace zmodem;

namespace {
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

// The files side of the receiver: offers are judged by the arrival policy, copies proven by
// their CRC, data stored through the file engine.
class Zmodem::ReceiveFiles : public ReceiverFiles {
  public:
    explicit ReceiveFiles(Zmodem& z) : m_z{z} {}

    OfferStep Offer(const Header& header, const unsigned char* info, int length) override {
        const int kept = std::min(length, kDataBufferCapacity);
        std::memcpy(m_z.m_data.get(), info, static_cast<std::size_t>(kept));
        m_z.m_status->blockLength = kept;
        m_z.TakeHeader(header);
        m_z.m_alreadyFiled = false;
        m_z.TakeOffer();
        m_z.LookUpLocalFile();
        m_rounds = 0;
        return Next();
    }

    OfferStep Proved(std::optional<std::uint32_t> theirs) override {
        const bool filed = m_question.subject == VerifySubject::Filed;
        std::uint32_t ours = filed ? m_z.m_filedMatch->crc : 0;
        const bool readable =
            filed || m_z.m_engine->PrefixCrc(m_z.m_offerName, m_question.position, ours);
        const Proof proof = !theirs           ? Proof::NoAnswer
                            : !readable       ? Proof::Different
                            : *theirs == ours ? Proof::Same
                                              : Proof::Different;
        m_z.Trace("ZCRC: %ld bytes of %s %s", static_cast<long>(m_question.position),
                  m_z.m_offerName.c_str(),
                  proof == Proof::Same       ? "match"
                  : proof == Proof::NoAnswer ? "unanswered"
                                             : "differ");
        (filed ? m_z.m_proofs.filed : m_z.m_proofs.copy) = proof;
        return Next();
    }

    int Seek(std::int64_t position) override {
        // A file filed by an earlier call has no local copy: only its end is asked for.
        if (!m_z.m_fileOpen || m_z.m_engine->Seek(m_z.m_writeBase + position, 0) == 0)
            return 0;
        return kFileWriteError;
    }

    int Store(const unsigned char* data, int length) override {
        if (!m_z.m_fileOpen || m_z.m_engine->Write(data, length) >= length)
            return 0;
        // What the buffer held never reached the disk: the figures count what did.
        const std::int64_t stored = m_z.m_engine->StoredSize();
        if (stored >= 0)
            m_z.m_status->position = stored - m_z.m_writeBase;
        return kFileWriteError;
    }

    int EndFile() override {
        m_z.m_alreadyFiled = false;
        return m_z.CloseReceivedFile() ? 0 : m_z.m_status->statusCode;
    }

  private:
    // At most one question about a filed file and one about a local copy, then the file is
    // opened where the decision says.
    OfferStep Next() {
        const ArrivalDecision decision = m_z.PendingDecision();
        if (decision.action == ArrivalAction::Verify && m_rounds < kProofRounds) {
            ++m_rounds;
            m_question = decision;
            return OfferStep{OfferStep::Kind::Verify, decision.position, 0};
        }
        return Open();
    }

    OfferStep Open() {
        TransferStatus& st = *m_z.m_status;
        st.fileName = m_z.m_offerName;
        // A file counts as received only once its ZEOF arrived at the right position.
        if (!m_z.OpenTransferFile()) {
            if (st.statusCode != kFileOpenError)
                return OfferStep{OfferStep::Kind::Fail, 0, st.statusCode};
            // One file that cannot be stored here (a folder of that name, no permission)
            // is refused on its own; the rest of the run goes on.
            m_z.Trace("Cannot store %s: skipped", st.fileName.c_str());
            st.statusCode = kShouldSendZskip;
            ++st.filesFailed;
        }
        if (st.statusCode == kShouldSendZskip) {
            st.statusCode = 0;
            return OfferStep{OfferStep::Kind::Skip, 0, 0};
        }
        if (m_z.m_alreadyFiled) {
            // Nothing is stored: the sender is asked for the file's end, so that it counts
            // the file as sent, and the window shows no file of its own for it.
            m_z.Trace("%s was received before: not filed again", m_z.m_offerName.c_str());
        }
        return OfferStep{OfferStep::Kind::Receive, st.position, 0};
    }

    static constexpr int kProofRounds = 2;
    Zmodem& m_z;
    ArrivalDecision m_question;
    int m_rounds{0};
};

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
    if (!PrepareTransfer())
        return;
    m_names.reset(new (std::nothrow) char[kNameBufferSize]());
    if (!m_names) {
        FinishFile();
        Fail(kTransferNoMemory);
        return;
    }
    ReceiveFiles files{*this};
    ReceiverOptions options;
    options.retryLimit = m_retryLimit;
    options.silenceCounts = m_silenceCounts;
    options.offerSilenceLimit = m_offerSilenceLimit;
    options.firstFrameLimitMs = m_firstFrameLimitMs;
    ZmodemReceiver machine{st, files, options};
    FrameReader reader{kDataBufferCapacity};
    const std::uint32_t start = platform::GetTickCount();
    machine.Start(0);
    while (CarryOutActions(machine.TakeActions(), reader) && !machine.Finished()) {
        // The driver reports progress once a round; the stop is asked for on its own, once
        // what has arrived is read.
        st.Progress(st.statusCode);
        const TimeMs now = static_cast<TimeMs>(platform::TicksSince(start));
        const bool fed = FeedInput(*this, machine, reader, now);
        if (!InputBuffered() && StopRequested())
            break;
        if (!fed)
            WaitForFrames(*this, machine, reader, now, kDriverPollMs);
    }
    if (machine.Finished())
        Fail(machine.Result());
    FinishFile();
    m_names.reset();
    // The last file's count is reported even when the end came without a wait (a ZFIN
    // already waiting): progress is otherwise reported only where the transfer waits.
    st.Progress(st.statusCode);
}

bool Zmodem::CarryOutActions(const std::vector<ZmodemReceiver::Action>& actions,
                             FrameReader& reader) {
    for (const ZmodemReceiver::Action& action : actions) {
        if (action.kind == ZmodemReceiver::Action::Kind::DiscardInput) {
            DiscardInput();
            reader.Reset();
            continue;
        }
        unsigned char line[kMaxHexHeaderBytes];
        WriteBufferTimed(line, m_encoder.HexHeader(action.header, line));
        if (m_status->statusCode < 0)
            return false;
    }
    return true;
}

void Zmodem::TakeHeader(const Header& header) {
    for (int i = 0; i < 4; ++i)
        m_receivedHeader[i] = header.data[static_cast<std::size_t>(i)];
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

} // namespace protocol
