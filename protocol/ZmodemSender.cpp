// The ZMODEM sender: opens the conversation, offers each listed file, streams its data
// from the offset the receiver asks for while watching for the receiver's interruptions,
// and ends the conversation.
#include "protocol/Zmodem.h"

#include <algorithm>
#include <cstdio>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"

namespace protocol {

using namespace comm;
using namespace zmodem;

namespace {
constexpr int kResumeRequest = 3; // ZCRESUM in ZF0 of ZFILE
constexpr int kBackChannelTraceEvery = 16;
constexpr int kBackChannelGarbageStep = 2;
const unsigned char kZeroHeader[4]{};
} // namespace

int Zmodem::Send(const char* fileList) {
    m_status->ResetStatus(kDirectionSend);
    if (!PrepareTransfer())
        return m_status->statusCode;
    int list = m_engine->BeginList(fileList, 0);
    if (list != 0)
        return list;
    DiscardInput();
    RunSender();
    return m_status->statusCode;
}

void Zmodem::RunSender() {
    TransferStatus& st = *m_status;
    st.fileName = "<none>";
    st.fileDate = kNoDate;
    st.direction = kDirectionSend;
    if (OpenLink()) {
        while (PrepareNextFile()) {
            if (SendFile() == 1)
                SendFileData();
            if (st.statusCode < 0)
                break;
            if (m_fileOpen) {
                m_engine->Close();
                m_fileOpen = false;
            }
        }
        if (st.statusCode >= 0)
            CloseLink();
    }
    FinishFile();
    if (st.statusCode == 0 && st.filesDone == 0)
        st.statusCode = kNoFilesSent;
    // The final figures are reported even when the end came without a wait.
    st.Progress(st.statusCode);
}

int Zmodem::OpenLink() {
    if (SendHexHeader(kZrqinit, kZeroHeader) < 0) {
        Trace("OpenLink: Error sending ZRQINIT");
        return 0;
    }
    for (;;) {
        int type = ReadFrameHeader(OnHeaderError::Return);
        if (type == kZrinit)
            break;
        if (m_status->statusCode < 0)
            return 0;
        if (type < 0) {
            // Damage and silence were counted by the read. A receiver that missed the
            // request (a person whose terminal program was not ready yet) hears it again.
            if (m_headerForm == kNoHeaderForm && SendHexHeader(kZrqinit, kZeroHeader) < 0)
                return 0;
            continue;
        }
        Trace("OpenLink: got %d instead of ZRINIT", type);
        if (CountError())
            Fail(kTooManyRetries);
        if (m_status->statusCode < 0)
            return 0;
    }
    Trace("OpenLink: Got ZRINIT");
    const unsigned char* header = m_receivedHeader;
    m_receiverBufferSize = header[0] + 256 * header[1];
    m_receiverFlags = header[kZf0];
    m_receiverHears = (m_receiverFlags & kCanFullDuplex) != 0;
    if (!m_receiverHears)
        m_windowed = false;
    return 1;
}

int Zmodem::PrepareNextFile() {
    TransferStatus& st = *m_status;
    for (;;) {
        m_engine->ResetSize();
        if (m_engine->NextFile() != 1)
            return 0;
        m_engine->LoadDate();
        m_localDate = m_engine->DateAsSeconds();
        m_engine->Size();
        if (!OpenTransferFile()) {
            if (st.statusCode != kFileOpenError)
                return 0;
            // One file that cannot be read is reported failed; the rest still go.
            Trace("SendFile: cannot read %s: skipped", st.fileName.c_str());
            st.statusCode = 0;
            ++st.filesFailed;
            st.Progress(st.statusCode); // the job logs it as failed
            continue;
        }
        m_fileOffset = -1;
        st.fileDate = m_localDate;
        Trace("SendFile: sending filename & size");
        const char* name = st.fileName.c_str();
        if (m_stripPaths) {
            name = StripPath(name);
            Trace("Stripped filename: %s", name);
        }
        char* info = reinterpret_cast<char*>(m_data.get());
        int length = std::snprintf(info, kDataBufferSize, "%s%c%ld %lo 0", name, 0,
                                   static_cast<long>(st.fileSize),
                                   static_cast<unsigned long>(m_localDate > 0 ? m_localDate : 0));
        if (length < 0 || length >= kDataBufferSize) {
            // A name that does not fit one subpacket would reach the receiver cut short.
            Trace("SendFile: file name too long: %s", name);
            m_engine->Close();
            m_fileOpen = false;
            ++st.filesFailed;
            st.Progress(st.statusCode);
            continue;
        }
        st.blockLength = length;
        return 1;
    }
}

int Zmodem::SendFile() {
    TransferStatus& st = *m_status;
    m_restart = false;
    m_restartPosition = -1;
    m_restartEmpty = false;
    m_dataSent = false;
    m_crcAnswers = 0;
    const int infoLength = st.blockLength;
    unsigned char flags[4]{};
    if (m_requestResume || m_management) {
        flags[kZf0] = static_cast<unsigned char>(m_requestResume ? kResumeRequest : 0);
        flags[kZf1] = static_cast<unsigned char>(m_management);
    }
    bool offer = true;
    for (;;) {
        if (offer && SendOffer(flags, infoLength) < 0)
            return st.statusCode;
        offer = false;
        int type = ReadFrameHeader(OnHeaderError::Retry);
        bool count = true;
        switch (type) {
        case kZskip:
            Trace("SendFile: received a ZSKIP frame");
            ++st.filesSkipped;
            return 0;
        case kZrpos:
            if (!PositionWithinFile())
                return st.statusCode;
            st.position = PositionFromHeader(m_receivedHeader);
            return 1;
        case kZcrc:
            // A receiver that keeps asking is counted, so it cannot hold the sender for ever.
            count = ++m_crcAnswers > kCrcAnswersPerOffer;
            if (!count)
                AnswerFileCrc();
            break;
        case kZrinit:
            // A ZRINIT that crossed the offer (one answering the ZRQINIT, or a repeated ZEOF)
            // is followed at once by the answer to the offer. Only a receiver that then stays
            // quiet is still waiting for an offer that did not reach it whole.
            if (WaitForInput(kReofferWaitMs)) {
                count = false;
                break;
            }
            [[fallthrough]];
        case kZnak:
            Trace("SendFile: offer again after frame type %d", type);
            offer = true;
            break;
        default:
            Trace("SendFile: read frame type %d", type);
            break;
        }
        if (count && st.statusCode >= 0 && CountError())
            Fail(kTooManyErrors);
        if (st.statusCode < 0)
            return st.statusCode;
    }
}

int Zmodem::SendOffer(const unsigned char flags[4], int infoLength) {
    if (m_receiverFlags & kCanFcs32)
        Trace("Sending with CRC-32");
    SendBinaryHeader(kZfile, flags);
    if (m_status->statusCode >= 0)
        SendDataSubpacket(infoLength, kZcrcw);
    return m_status->statusCode;
}

void Zmodem::SendFileData() {
    TransferStatus& st = *m_status;
    int quietRestarts = 0; // restarts sent again because their confirmation did not come
    for (;;) {
        if (st.position >= st.fileSize) {
            if (!EndFileData())
                return; // confirmed, or failed
            continue;   // the receiver asked for data again
        }
        const int response = SendDataFrame();
        m_dataSent = true;
        if (st.statusCode < 0)
            return;
        // A frame closed by ZCRCE at the end of the file asks for no answer: the ZEOF does.
        if (response == 0 && st.position >= st.fileSize && m_lastEndCode == kZcrce)
            continue;
        if (!ObeyAnswer(response, quietRestarts))
            return;
    }
}

bool Zmodem::EndFileData() {
    TransferStatus& st = *m_status;
    // Nothing (more) to send: a receiver still gets one data frame before the ZEOF, an empty
    // one when the file is empty or already complete there.
    if (!m_dataSent) {
        unsigned char position[4];
        PositionToHeader(st.position, position);
        SendBinaryHeader(kZdata, position);
        if (st.statusCode >= 0)
            SendDataSubpacket(0, kZcrce);
        m_dataSent = true;
        if (st.statusCode < 0)
            return false;
    }
    return EndFile() == 0;
}

bool Zmodem::ObeyAnswer(int response, int& quietRestarts) {
    TransferStatus& st = *m_status;
    for (;;) {
        if (response == 0)
            response = AwaitAnswer(quietRestarts);
        // A damaged header (counted where it was read) was the receiver asking for
        // something, and silence leaves both sides waiting: the data goes on from here, and
        // a receiver that wants another position asks for it again at once.
        if (response < 0) {
            if (st.statusCode < 0)
                return false;
            Trace("SendFile: frame type %d, the data goes on", response);
            return true;
        }
        quietRestarts = 0;
        switch (response) {
        case kZrinit:
        case kZskip:
        case kZabort:
        case kZferr:
        case kZcan:
            Fail(kRemoteCancelled);
            return false;
        case kZack:
            Trace("SendFile: received an ACK frame");
            st.retries = 0;
            m_restart = false;
            return true;
        case kZrpos:
            Restart();
            return st.statusCode >= 0;
        default:
            Trace("SendFile: frame type %d", response);
            if (st.statusCode < 0)
                return false;
            response = 0;
            break;
        }
    }
}

int Zmodem::AwaitAnswer(int& quietRestarts) {
    TransferStatus& st = *m_status;
    // A restart waits a moment for its confirmation (once its own bytes are out), then the
    // same frame goes out again; that silence counts one error per ten seconds.
    m_silenceLimit = m_restart ? kRestartSilenceLimit : kPadSilenceLimit;
    const int response = m_restart ? ReadHeaderLoop(OnHeaderError::Return, false)
                                   : ReadFrameHeader(OnHeaderError::Return);
    m_silenceLimit = kPadSilenceLimit;
    if (response == kTimedOut && m_restart && st.statusCode >= 0) {
        st.position = m_restartPosition;
        if (++quietRestarts % (kPadSilenceLimit / kRestartSilenceLimit) == 0 && CountError())
            Fail(kTooManyRetries);
    }
    return response;
}

bool Zmodem::PositionWithinFile() {
    TransferStatus& st = *m_status;
    const std::int64_t asked = PositionFromHeader(m_receivedHeader);
    if (asked <= st.fileSize)
        return true;
    // A receiver that asks for data beyond the end does not hold what it thinks: the file
    // would count as sent with nothing moved.
    Trace("SendFile: ZRPOS %ld beyond the end of %s", static_cast<long>(asked),
          st.fileName.c_str());
    Fail(kTransferError);
    return false;
}

void Zmodem::AnswerFileCrc() {
    TransferStatus& st = *m_status;
    // Up to the asked length (the whole file for 0 or more than it has).
    std::int64_t length = PositionFromHeader(m_receivedHeader);
    if (length == 0 || length > st.fileSize)
        length = st.fileSize;
    const Crc32 crc32;
    std::uint32_t crc = Crc32::kSeed;
    unsigned char chunk[kOutputBufferSize];
    m_engine->Seek(0, 0);
    for (std::int64_t left = length; left > 0;) {
        const int got = m_engine->Read(chunk, static_cast<int>(std::min<std::int64_t>(
                                                  left, static_cast<std::int64_t>(sizeof chunk))));
        if (got <= 0)
            break;
        crc = crc32.Update(chunk, got, crc);
        left -= got;
    }
    m_fileOffset = -1; // the next read seeks to where the data starts
    unsigned char header[4];
    PositionToHeader(static_cast<std::uint32_t>(~crc), header);
    Trace("SendFile: CRC of %ld bytes asked", static_cast<long>(length));
    SendBinaryHeader(kZcrc, header);
}

void Zmodem::Restart() {
    TransferStatus& st = *m_status;
    if (!PositionWithinFile())
        return;
    st.position = PositionFromHeader(m_receivedHeader);
    m_engine->Seek(st.position, 0);
    m_fileOffset = st.position;
    m_restartEmpty = st.position == m_restartPosition;
    m_restartPosition = st.position;
    Trace("SendFileData: ZRPOS location %ld", static_cast<long>(st.position));
    m_restart = true;
    NarrowWindow();
    m_serial->PurgeOutput();
}

int Zmodem::EndFile() {
    TransferStatus& st = *m_status;
    unsigned char position[4];
    PositionToHeader(st.position, position);
    // The file's last figures: the stream does not report its final subpacket.
    st.Progress(st.statusCode);
    bool send = true;
    for (;;) {
        if (send) {
            SendBinaryHeader(kZeof, position);
            if (st.statusCode < 0)
                return -1;
        }
        send = true;
        // The file counts as sent only when the receiver confirms it with ZRINIT: a ZEOF
        // that was lost or damaged must never let the next offer run into this file.
        const int type = ReadFrameHeader(OnHeaderError::Return);
        if (st.statusCode < 0)
            return -1;
        switch (type) {
        case kZrinit:
            ++st.filesDone;
            st.retries = 0;
            return 1;
        case kZrpos:
            if (PositionFromHeader(m_receivedHeader) < st.fileSize) {
                Restart();
                return 0;
            }
            Trace("EndFile: ZRPOS at the end, ZEOF again");
            break;
        case kZskip:
            Trace("SendFile: received a ZSKIP frame");
            ++st.filesSkipped;
            return 1;
        case kZabort:
        case kZferr:
        case kZcan:
            Fail(kRemoteCancelled);
            return -1;
        default:
            // A damaged header or silence has been counted where it was read.
            Trace("EndFile: frame type %d, ZEOF again", type);
            if (type < 0)
                continue;
            break;
        }
        if (CountError()) {
            Fail(kTooManyErrors);
            return -1;
        }
    }
}

int Zmodem::FillSubpacket() {
    TransferStatus& st = *m_status;
    if (m_restart && m_restartEmpty) {
        st.blockLength = 0;
        return 1;
    }
    int length = Adapting() ? m_sendWindow.Subpacket() : kDataBufferSize;
    if (m_receiverBufferSize > 0)
        length = std::min(length, m_receiverBufferSize - m_windowBytes);
    m_subpacketLength = length;
    // Never more than the size announced in the offer, even if the file has grown since.
    length = static_cast<int>(std::min<std::int64_t>(length, st.fileSize - st.position));
    if (length <= 0) {
        st.blockLength = 0;
        return 1;
    }
    // Reading goes on where the last subpacket ended; only a jump needs a seek (and the
    // seek costs the stream its buffer).
    if (m_fileOffset != st.position)
        m_engine->Seek(st.position, 0);
    int count = m_engine->Read(m_data.get(), length);
    m_fileOffset = count > 0 ? st.position + count : -1;
    st.blockLength = count > 0 ? count : 0;
    if (count <= 0) {
        Fail(kFileReadError);
        FinishFile();
        return 1;
    }
    st.position += count;
    m_windowBytes += count;
    if ((m_receiverBufferSize == 0 && (m_receiverFlags & kCanOverlapIo)) ||
        (m_receiverBufferSize != 0 && m_windowBytes < m_receiverBufferSize))
        return st.position >= st.fileSize;
    return 1;
}

int Zmodem::BackChannel() {
    if (!InputWaiting())
        return 0;
    for (int flowChars = 0;;) {
        int c = ReadTimed(kBackChannelTimeoutMs);
        if (c < 0)
            return 0;
        int low = c & 0x7F;
        if (low == kXon || low == kXoff) {
            // A peer that keeps sending flow control must neither hold the sender here nor
            // keep a stop from being seen.
            if (++flowChars >= kBackChannelFlowLimit || (!InputWaiting() && CheckAbort()))
                return 0;
            continue;
        }
        if (c == kCan || c == kZpad)
            return 1;
        if (m_garbageCount > kBackChannelGarbageLimit) {
            Trace("BackChannel: exceeded garbage count");
            SendDataSubpacket(0, kZcrce);
            return 2;
        }
        if (m_garbageCount % kBackChannelTraceEvery == 0)
            Trace("BackChannel: garbage detected");
        m_garbageCount += kBackChannelGarbageStep;
    }
}

bool Zmodem::WaitForInput(long ms) {
    std::uint32_t start = platform::GetTickCount();
    while (!InputWaiting()) {
        if (platform::Expired(start, ms))
            return false;
        if (m_serial->Idle() < 0 || CheckAbort())
            return false;
    }
    return true;
}

int Zmodem::SendDataFrame() {
    TransferStatus& st = *m_status;
    const std::int64_t size = st.fileSize;
    if (!StartDataFrame())
        return 0;
    std::int64_t acknowledged = st.position;
    bool frameEnded = false;
    for (;;) {
        if (CheckAbort())
            return 0;
        bool awaitAck = false;
        const std::int64_t at = st.position;
        const bool listen = !m_windowed || at - acknowledged >= m_windowSize ||
                            (frameEnded && at >= size && acknowledged < at);
        if (listen) {
            if (const std::optional<int> heard = ListenInFrame(acknowledged, awaitAck))
                return *heard;
        }
        bool sent = false;
        const bool room = !m_windowed || st.position - acknowledged < m_windowSize;
        if (room && st.position < size && !awaitAck) {
            if (SendNextSubpacket(frameEnded))
                return 0;
            sent = true;
        } else if (AwaitWindowRoom() < 0) {
            return st.statusCode;
        }
        if (st.statusCode < 0)
            return 0;
        if (sent && st.position < size)
            ++st.blocks;
        if (frameEnded && (st.position < size || m_restart))
            return 0;
    }
}

bool Zmodem::StartDataFrame() {
    TransferStatus& st = *m_status;
    m_garbageCount = 0;
    switch (BackChannel()) {
    case 1:
        Trace("BackChannel: backtalk ZCAN/ZPAD");
        SendDataSubpacket(0, kZcrce);
        return false;
    case 2:
        return false;
    default:
        break;
    }
    unsigned char position[4];
    PositionToHeader(st.position, position);
    SendBinaryHeader(kZdata, position);
    m_windowBytes = 0;
    return st.statusCode >= 0;
}

std::optional<int> Zmodem::ListenInFrame(std::int64_t& acknowledged, bool& awaitAck) {
    TransferStatus& st = *m_status;
    const std::int64_t size = st.fileSize;
    for (;;) {
        const int talk = BackChannel();
        if (talk == 2)
            return 0;
        if (talk == 1) {
            if (!m_windowed) {
                if (st.position < size) {
                    Trace("BackChannel: backtalk ZCAN/ZPAD");
                    SendDataSubpacket(0, kZcrce);
                }
                return 0;
            }
            const int type = ReadFrameHeader(OnHeaderError::Retry);
            if (type != kZack)
                return type;
            TakeAcknowledgement(acknowledged);
            if (st.position >= size && acknowledged >= st.position)
                return kZack;
            st.retries = 0;
            continue;
        }
        // The stop was checked before this step.
        if (m_windowed && st.position >= size) {
            if (acknowledged >= st.position || st.position - st.blockLength == acknowledged)
                return 0;
            awaitAck = true;
        }
        return std::nullopt;
    }
}

bool Zmodem::SendNextSubpacket(bool& frameEnded) {
    TransferStatus& st = *m_status;
    Trace("SendDataFrame: sending @%ld", static_cast<long>(st.position));
    const int ends = FillSubpacket();
    // After a ZRPOS the first subpacket (with its data) closes the frame with ZCRCW: the
    // stream goes on only once the receiver has confirmed that it is in step.
    frameEnded = m_restart ? true : ends != 0;
    // A streamed file ends with ZCRCE: its ZEOF, not a ZACK, is what gets answered.
    const bool streamEnd = !m_windowed && !m_restart && st.position >= st.fileSize;
    int endCode = frameEnded ? kZcrcw : (m_windowed ? kZcrcq : kZcrcg);
    if (streamEnd)
        endCode = kZcrce;
    if (st.statusCode >= 0)
        SendDataSubpacket(st.blockLength, endCode);
    if (Adapting() && endCode != kZcrcg)
        m_sendWindow.Sent(st.position, platform::GetTickCount());
    return streamEnd && st.statusCode >= 0;
}

void Zmodem::TakeAcknowledgement(std::int64_t& acknowledged) {
    // Positions travel as 32 bits: the distance from what was acknowledged is taken modulo
    // 2^32, and one outside what was sent since (a stale ZACK) is passed over.
    const std::uint32_t heard = static_cast<std::uint32_t>(PositionFromHeader(m_receivedHeader));
    const std::int64_t step =
        static_cast<std::uint32_t>(heard - static_cast<std::uint32_t>(acknowledged));
    if (step == 0 || step > m_status->position - acknowledged)
        return;
    acknowledged += step;
    if (!Adapting())
        return;
    m_sendWindow.Acknowledged(acknowledged, step, platform::GetTickCount());
    ApplySendWindow();
    if (!m_windowed)
        Trace("SendDataFrame: streaming again");
}

void Zmodem::NarrowWindow() {
    if (!m_adaptiveWindow || !m_receiverHears)
        return;
    m_sendWindow.Error();
    ApplySendWindow();
}

void Zmodem::ApplySendWindow() {
    m_windowed = !m_sendWindow.Streaming();
    m_windowSize = m_sendWindow.Window();
}

int Zmodem::AwaitWindowRoom() {
    TransferStatus& st = *m_status;
    const long queued = OutputQueued();
    if (!WaitForInput(kAckWaitMs) && st.statusCode >= 0) {
        // Nothing to send and nothing heard: the receiver owes an acknowledgement, unless
        // what it is to acknowledge is still on its way out.
        const long left = OutputQueued();
        const bool draining = left > 0 && left < queued;
        if (!draining && CountError())
            return Fail(kTooManyRetries);
    }
    return 0;
}

int Zmodem::CloseLink() {
    TransferStatus& st = *m_status;
    st.retries = 0;
    bool answered = false;
    for (int attempt = 0; attempt < kFinishAttempts && !answered; ++attempt) {
        SendHexHeader(kZfin, kZeroHeader);
        if (st.statusCode < 0) {
            Trace("Error sending ZFIN frame");
            break;
        }
        int type = ReadFrameHeader(OnHeaderError::Return);
        // A ZRINIT may still answer the last ZEOF, with the ZFIN following; if nothing follows,
        // the receiver is waiting for an offer and never saw the ZFIN.
        if ((type == kZrinit || type == kZferr) && WaitForInput(kReofferWaitMs))
            type = ReadFrameHeader(OnHeaderError::Return);
        answered = type == kZfin;
        if (answered)
            break;
        Trace("CloseLink: got %d instead of ZFIN", type);
        // Every file was confirmed by the receiver: only the user's Stop makes the end of
        // the conversation a failure, not a line that broke or went quiet during it.
        if (st.statusCode < 0) {
            if (st.statusCode != kUserCancelled)
                st.statusCode = 0;
            break;
        }
    }
    // Every file was confirmed by the receiver; an unanswered ZFIN loses nothing.
    if (!answered && st.statusCode >= 0)
        Trace("CloseLink: the receiver did not answer ZFIN");
    if (st.statusCode < 0) {
        // After a failure the "OO" is a courtesy that must not wait on a line that is stuck.
        m_serial->WriteChar('O');
        m_serial->WriteChar('O');
    } else {
        WriteCharTimed('O');
        WriteCharTimed('O');
    }
    return st.statusCode;
}

} // namespace protocol
