#include "tests/protocol/ScriptedPeer.h"

#include <cctype>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"

namespace prototest {

using namespace comm;
using namespace protocol;
using namespace protocol::zmodem;

namespace {
constexpr int kGarbageTraceEvery = 512;
constexpr int kGarbagePollEvery = 256;
} // namespace

ScriptedPeer::ScriptedPeer(comm::GFSerial* serial, TransferStatus* status)
    : FileTransfer(serial, status) {
    m_status->protocol = kProtocolZmodem;
    m_status->checkType = kCheckCrc32;
}

bool ScriptedPeer::CountError() {
    ++m_status->errors;
    ++m_status->retries;
    return m_status->retries >= m_retryLimit;
}

std::int64_t ScriptedPeer::PositionFromHeader(const unsigned char header[4]) {
    std::uint32_t p =
        header[0] | header[1] << 8 | header[2] << 16 | static_cast<std::uint32_t>(header[3]) << 24;
    return p;
}

void ScriptedPeer::PositionToHeader(std::int64_t position, unsigned char header[4]) {
    std::uint32_t p = static_cast<std::uint32_t>(position);
    for (int i = 0; i < 4; ++i)
        header[i] = static_cast<unsigned char>(p >> (8 * i));
}

int ScriptedPeer::ReadHeaderLoop(OnHeaderError onError, bool silenceCounts) {
    m_headers.Start();
    for (;;) {
        const HeaderWait wait = AwaitHeader();
        if (wait == HeaderWait::Header)
            return TakeHeader(m_headers.Decoded());
        if (m_status->statusCode < 0)
            break;
        if (m_headerForm == kNoHeaderForm) {
            Trace("ReadFrameHeader: Header Type <%d>", kNoHeaderForm);
            if (!silenceCounts) {
                Trace("ReadFrameHeader: Frame type %d", kTimedOut);
                if (onError == OnHeaderError::Return)
                    return kTimedOut;
                continue;
            }
        }
        const int result = wait == HeaderWait::CutOff ? kTimedOut : kGeneralTransferError;
        Trace("ReadFrameHeader: Frame type %d", result);
        if (CountError()) {
            Fail(kTooManyErrors);
            break;
        }
        if (onError == OnHeaderError::Return)
            return result;
    }
    return m_status->statusCode;
}

ScriptedPeer::HeaderWait ScriptedPeer::AwaitHeader() {
    m_headerForm = kNoHeaderForm;
    HeaderSilence silence;
    for (;;) {
        int available = 0;
        const unsigned char* bytes = Buffered(available);
        if (available == 0 && InputWaiting())
            bytes = Buffered(available);
        if (available == 0) {
            if (const std::optional<HeaderWait> ended = WaitForHeaderBytes(silence))
                return *ended;
            continue;
        }
        const long talk = m_headers.TalkCount();
        const int garbage = m_headers.GarbageCount();
        int taken = 0;
        const HeaderDecoder::Result result = m_headers.Feed(bytes, available, taken);
        Consume(taken);
        for (int k = garbage / kGarbageTraceEvery;
             k < m_headers.GarbageCount() / kGarbageTraceEvery; ++k)
            Trace("GetPad: incoming garbage");
        if (result != HeaderDecoder::Result::NeedMore)
            return HeaderEnded(result);
        if (m_headers.TalkCount() != talk) {
            silence.count = 0;
            silence.quietKnown = false;
        } else if (!m_headers.InHeader() && OnlyFlowControlCame(silence)) {
            return HeaderWait::Silent;
        }
        if (m_headers.GarbageCount() / kGarbagePollEvery != garbage / kGarbagePollEvery &&
            CheckAbort())
            return HeaderWait::Stopped;
    }
}

std::optional<ScriptedPeer::HeaderWait> ScriptedPeer::WaitForHeaderBytes(HeaderSilence& silence) {
    if (CheckAbort())
        return HeaderWait::Stopped;
    // Inside a header the rest is due at once; between frames the wait is the silence rule's.
    const long wait = m_headers.AwaitingLineEnd() ? kHexLineEndWaitMs
                      : m_headers.InHeader()      ? kHeaderCharTimeoutMs
                                                  : kPadTimeoutMs;
    const int got = AwaitInput(wait);
    if (got < 0) {
        Fail(got);
        return HeaderWait::Stopped;
    }
    if (got > 0)
        return std::nullopt;
    if (m_headers.AwaitingLineEnd())
        return HeaderEnded(m_headers.LineQuiet());
    if (m_headers.InHeader()) {
        m_headers.Abandon();
        m_headerForm = m_headers.Form();
        return HeaderWait::CutOff;
    }
    (void)m_headers.LineQuiet(); // a run of CANs broken by silence is no cancel
    silence.quietKnown = false;
    if (OneMoreSilence(silence) || CheckAbort())
        return HeaderWait::Silent;
    return std::nullopt;
}

bool ScriptedPeer::OnlyFlowControlCame(HeaderSilence& silence) {
    // Flow control is not talk: it neither ends a silence nor counts as garbage. The clock
    // is read for such input alone, never for ordinary input.
    if (!silence.quietKnown) {
        silence.quietKnown = true;
        silence.quietSince = platform::GetTickCount();
        return false;
    }
    if (!platform::Expired(silence.quietSince, kPadTimeoutMs))
        return false;
    silence.quietSince = platform::GetTickCount();
    return OneMoreSilence(silence) || CheckAbort();
}

bool ScriptedPeer::OneMoreSilence(HeaderSilence& silence) {
    // Output still on its way explains the silence: the answer cannot come before the data
    // it answers has gone out.
    const long now = OutputQueued();
    const bool draining = now > 0 && (silence.queued < 0 || now < silence.queued);
    silence.queued = now;
    if (!draining && ++silence.count >= kPadSilenceLimit) {
        Trace("GetPad: timeout on ZPAD");
        return true;
    }
    return false;
}

ScriptedPeer::HeaderWait ScriptedPeer::HeaderEnded(HeaderDecoder::Result result) {
    switch (result) {
    case HeaderDecoder::Result::Header:
        m_headerForm = m_headers.Form();
        m_hexTerminated = m_headers.LineEndSeen();
        if (m_headerForm != kZhex)
            m_status->checkType = m_headerForm == kZbin32 ? kCheckCrc32 : kCheckCrc16;
        return HeaderWait::Header;
    case HeaderDecoder::Result::Damaged:
        m_headerForm = m_headers.Form();
        TraceDamagedHeader();
        return HeaderWait::Damaged;
    case HeaderDecoder::Result::Garbage:
        Trace("GetPad: Exceeded garbage count");
        return HeaderWait::Garbage;
    case HeaderDecoder::Result::Cancelled:
        Fail(kRemoteCancelled);
        Trace("GetPad: Remote end sent 5-CAN");
        FinishFile();
        return HeaderWait::Stopped;
    case HeaderDecoder::Result::NeedMore:
        break;
    }
    return HeaderWait::Damaged;
}

void ScriptedPeer::TraceDamagedHeader() {
    const int form = m_headers.Form();
    if (form != kZhex && form != kZbin && form != kZbin32) {
        if (form > 0 && form < 128 && std::isprint(form))
            Trace("ReadFrameHeader: Header Type %c", form);
        else
            Trace("ReadFrameHeader: Header Type <%d>", form);
    } else if (m_headers.CrcFailed()) {
        Trace(form == kZhex     ? "ReadHexFrameHeaderData: bad CRC-16"
              : form == kZbin32 ? "ReadBinaryHeaderData: bad CRC-32"
                                : "ReadBinaryHeaderData: bad CRC-16");
    }
}

int ScriptedPeer::TakeHeader(const Header& header) {
    for (int i = 0; i < 4; ++i)
        m_receivedHeader[i] = header.data[static_cast<std::size_t>(i)];
    return header.type;
}

int ScriptedPeer::ReadDataSubpacket() {
    m_status->blockLength = 0;
    if (!m_data)
        return kTransferNoMemory;
    m_subpacket.Start(m_headerForm == kZbin32 ? Check::Crc32 : Check::Crc16, m_data.get(),
                      kDataBufferCapacity);
    for (;;) {
        // What is buffered goes to the decoder in one piece; a wait brings one byte and fills
        // the buffer with whatever came with it.
        int available = 0;
        const unsigned char* bytes = Buffered(available);
        if (available == 0 && InputWaiting())
            bytes = Buffered(available);
        unsigned char waited;
        if (available == 0) {
            if (CheckAbort())
                return m_status->statusCode;
            const int c = ReadTimed(kHeaderCharTimeoutMs);
            if (c < 0)
                return c;
            waited = static_cast<unsigned char>(c);
            bytes = &waited;
            available = 1;
        }
        int taken = 0;
        const SubpacketDecoder::Result result = m_subpacket.Feed(bytes, available, taken);
        if (bytes != &waited)
            Consume(taken);
        if (result != SubpacketDecoder::Result::NeedMore)
            return SubpacketEnded(result);
    }
}

int ScriptedPeer::SubpacketEnded(SubpacketDecoder::Result result) {
    const bool crc32 = m_headerForm == kZbin32;
    switch (result) {
    case SubpacketDecoder::Result::Complete:
        if (crc32)
            Trace("ReadCrc32:  good CRC-32");
        m_status->blockLength = m_subpacket.Length();
        return m_subpacket.EndCode();
    case SubpacketDecoder::Result::BadCrc:
        if (crc32)
            Trace("ReadCrc32: bad CRC-32");
        return kGeneralTransferError;
    case SubpacketDecoder::Result::TooLong:
        return kBufferFull;
    case SubpacketDecoder::Result::Cancelled:
        Fail(kRemoteCancelled);
        Trace("ReadByte: Remote end sent 5-CAN");
        return m_status->statusCode;
    case SubpacketDecoder::Result::FlowControlRun:
    case SubpacketDecoder::Result::NeedMore:
        break;
    }
    return kTimedOut;
}

int ScriptedPeer::SendHexHeader(int type, const unsigned char header[4]) {
    unsigned char line[kMaxHexHeaderBytes];
    return WriteBufferTimed(line, m_encoder.HexHeader(MakeHeader(type, header), line));
}

int ScriptedPeer::SendBinaryHeader(int type, const unsigned char header[4]) {
    unsigned char line[kMaxBinaryHeaderBytes];
    return WriteBufferTimed(line,
                            m_encoder.BinaryHeader(MakeHeader(type, header), SendCheck(), line));
}

int ScriptedPeer::SendDataSubpacket(int length, int endCode) {
    if (!m_data || !m_output)
        return Fail(kTransferNoMemory);
    if (length < 0 || length > kDataBufferSize)
        return Fail(kBufferFull);
    const Check check = SendCheck();
    m_status->checkType = check == Check::Crc32 ? kCheckCrc32 : kCheckCrc16;
    const int n = m_encoder.Subpacket(m_data.get(), length, endCode, check, m_output.get());
    return WriteBufferTimed(m_output.get(), n);
}

Check ScriptedPeer::SendCheck() const {
    return (m_receiverFlags & kCanFcs32) != 0 ? Check::Crc32 : Check::Crc16;
}

Header ScriptedPeer::MakeHeader(int type, const unsigned char data[4]) {
    Header header;
    header.type = type;
    for (int i = 0; i < 4; ++i)
        header.data[static_cast<std::size_t>(i)] = data[i];
    return header;
}

} // namespace prototest
