// The ZMODEM frame layer: headers in the three forms, ZDLE escaping, data subpackets and
// their CRCs. Every length taken from the wire is bounded before it is used.
#include "protocol/Zmodem.h"

#include <cctype>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"

namespace protocol {

using namespace comm;
using namespace zmodem;

namespace {
constexpr int kGarbageTraceEvery = 512;
constexpr int kGarbagePollEvery = 256;
// A peer that sends nothing but flow-control characters still has to be answered.
constexpr int kFlowCharLimit = 4096;

// Raw XON and XOFF, with or without the parity bit: a sender escapes them in data, so raw
// ones were put on the line by a modem or terminal and are no part of a frame.
constexpr std::array<bool, 256> kFlowControl = [] {
    std::array<bool, 256> table{};
    for (int b : {kXon, kXoff, kXon | 0x80, kXoff | 0x80})
        table[b] = true;
    return table;
}();

} // namespace

Zmodem::Zmodem(comm::GFSerial* serial, TransferStatus* status) : FileTransfer(serial, status) {
    m_status->protocol = kProtocolZmodem;
    m_status->checkType = kCheckCrc32;
}

Zmodem::~Zmodem() = default;

bool Zmodem::CountError() {
    ++m_status->errors;
    ++m_status->retries;
    return m_status->retries >= m_retryLimit;
}

std::int64_t Zmodem::PositionFromHeader(const unsigned char header[4]) {
    std::uint32_t p =
        header[0] | header[1] << 8 | header[2] << 16 | static_cast<std::uint32_t>(header[3]) << 24;
    return p;
}

void Zmodem::PositionToHeader(std::int64_t position, unsigned char header[4]) {
    std::uint32_t p = static_cast<std::uint32_t>(position);
    for (int i = 0; i < 4; ++i)
        header[i] = static_cast<unsigned char>(p >> (8 * i));
}

int Zmodem::ReadHeaderChar() {
    int flowChars = 0;
    for (;;) {
        if (!InputWaiting() && CheckAbort())
            return m_status->statusCode;
        int c = ReadTimed(kHeaderCharTimeoutMs);
        if (c < 0)
            return c;
        c &= 0x7F;
        if ((c == kXon || c == kXoff) && ++flowChars < kFlowCharLimit)
            continue;
        return c;
    }
}

int Zmodem::GetPad() {
    m_canCount = 0;
    m_garbageOverflow = false;
    int silences = 0;
    long queued = -1; // asked only when a second passes in silence
    // The start of a stretch in which only flow-control characters came; the clock is read
    // for those characters alone, never for ordinary input.
    bool quietKnown = false;
    std::uint32_t quietSince = 0;
    auto quick = [this]() { return m_heardInput && m_quietAfterInputMs > 0; };
    // One more second without a header; true when that makes the wait give up.
    auto silence = [&]() {
        // A short silence ends the wait only once the answer could be here.
        if (quick() && !platform::Expired(m_askedAt, m_answerDueMs))
            return false;
        // Output still on its way explains the silence: the answer cannot come before the
        // data it answers has gone out.
        const long now = OutputQueued();
        const bool draining = now > 0 && (queued < 0 || now < queued);
        queued = now;
        if (!draining && ++silences >= m_silenceLimit) {
            Trace("GetPad: timeout on ZPAD");
            return true;
        }
        return false;
    };
    auto unit = [&]() { return quick() ? m_quietAfterInputMs : kPadTimeoutMs; };
    while (InputWaiting() || !CheckAbort()) {
        int c = ReadTimed(unit());
        if (c == kTimedOut) {
            quietKnown = false;
            if (silence() || CheckAbort())
                return 0;
            continue;
        }
        if (c < 0) {
            Fail(c);
            return 0;
        }
        if (kFlowControl[c]) {
            // Flow control is not talk: it neither ends a silence nor counts as garbage.
            if (!quietKnown) {
                quietKnown = true;
                quietSince = platform::GetTickCount();
            } else if (platform::Expired(quietSince, unit())) {
                quietSince = platform::GetTickCount();
                if (silence() || CheckAbort())
                    return 0;
            }
            continue;
        }
        quietKnown = false;
        m_heardInput = true;
        if (c == kCan) {
            bool cancelled = ++m_canCount >= kCancelCount;
            if (!cancelled) {
                if (CheckAbort())
                    return 0;
                int next = ReadTimed(kCanFollowTimeoutMs);
                if (next == kCan) {
                    cancelled = ++m_canCount >= kCancelCount;
                } else {
                    m_canCount = 0;
                    ++m_garbageCount;
                }
            }
            if (cancelled) {
                Fail(kRemoteCancelled);
                Trace("GetPad: Remote end sent 5-CAN");
                FinishFile();
                return 0;
            }
        } else if (c == kZpad) {
            return 1;
        } else {
            m_canCount = 0;
            ++m_garbageCount;
            if (m_garbageCount % kGarbageTraceEvery == 0)
                Trace("GetPad: incoming garbage");
            if (m_garbageCount % kGarbagePollEvery == 0 && CheckAbort())
                return 0;
        }
        silences = 0;
        if (m_garbageCount >= kGarbageLimit) {
            Trace("GetPad: Exceeded garbage count");
            m_garbageOverflow = true;
            return 0;
        }
    }
    return 0;
}

int Zmodem::GetHeaderType() {
    for (;;) {
        int c = ReadHeaderChar();
        if (c < 0) {
            Trace("GetHeaderType: error char %d", c);
            return c;
        }
        if (c == kZpad) {
            // Extra pads are normal, an endless run of them is garbage.
            if (++m_garbageCount < kGarbageLimit)
                continue;
            return 0;
        }
        if (c == kZdle) {
            c = ReadHeaderChar();
            if (c < 0)
                Trace("GetHeaderType: error char %d", c);
            return c;
        }
        ++m_garbageCount;
        return 0;
    }
}

int Zmodem::ReadFrameHeader(OnHeaderError onError) {
    return ReadHeaderLoop(onError, true);
}

int Zmodem::ReadHeaderLoop(OnHeaderError onError, bool silenceCounts) {
    m_garbageCount = 0;
    for (;;) {
        int form;
        if (GetPad()) {
            form = GetHeaderType();
        } else {
            form = kNoHeaderForm;
            if (m_status->statusCode < 0)
                break;
        }
        m_headerForm = form;
        int result;
        switch (form) {
        case 0:
            if (m_garbageCount < kGarbageLimit)
                continue;
            Trace("GetPad: Exceeded garbage count");
            result = kGeneralTransferError;
            break;
        case kZbin:
            m_status->checkType = kCheckCrc16;
            result = ReadBinaryHeaderData(form);
            break;
        case kZhex:
            result = ReadHexFrameHeaderData();
            break;
        case kZbin32:
            m_status->checkType = kCheckCrc32;
            result = ReadBinaryHeaderData(form);
            break;
        default:
            if (form > 0 && form < 128 && std::isprint(form))
                Trace("ReadFrameHeader: Header Type %c", form);
            else
                Trace("ReadFrameHeader: Header Type <%d>", form);
            result = kGeneralTransferError;
            break;
        }
        if (result >= 0)
            return result;
        if (form == kNoHeaderForm && !silenceCounts) {
            Trace("ReadFrameHeader: Frame type %d", kTimedOut);
            if (onError == OnHeaderError::Return)
                return kTimedOut;
            continue;
        }
        Trace("ReadFrameHeader: Frame type %d", result);
        if (m_status->statusCode < 0)
            break;
        // While the caller waits out stale data, a damaged header is its to judge.
        if (!m_countHeaderErrors)
            return result;
        if (CountError()) {
            Fail(kTooManyErrors);
            break;
        }
        if (onError == OnHeaderError::Return)
            return result;
    }
    return m_status->statusCode;
}

int Zmodem::ReadHexFrameHeaderData() {
    m_hexTerminated = 0;
    unsigned char digits[kHexDigitCount];
    for (unsigned char& digit : digits) {
        const int c = ReadHeaderChar();
        if (c < 0)
            return c;
        // A damaged header ends at its first wrong digit: what follows may be the next header.
        if (!IsHexDigit(c))
            return kGeneralTransferError;
        digit = static_cast<unsigned char>(c);
    }
    const std::optional<Header> header = DecodeHexDigits(digits);
    if (!header) {
        Trace("ReadHexFrameHeaderData: bad CRC-16");
        return kGeneralTransferError;
    }
    // The line end follows at once from a well-behaved sender; wait only as long as needed.
    std::uint32_t start = platform::GetTickCount();
    for (int i = 0; i < kHexLineEndLookahead; ++i) {
        long left = kHexLineEndWaitMs - static_cast<long>(platform::TicksSince(start));
        int c = ReadTimed(left > 0 ? left : 0);
        if (c < 0)
            break;
        c &= 0x7F;
        if (c == kLf) {
            m_hexTerminated = 1;
            // The XON that often follows the line end belongs to no frame: left in place it
            // would be read as the first byte of the next subpacket.
            SkipBuffered(kFlowControl.data());
            break;
        }
        if (c != kCr && c != kXon)
            return kGeneralTransferError;
    }
    return TakeHeader(*header);
}

int Zmodem::TakeHeader(const Header& header) {
    if (header.type > kLastFrameType)
        return kGeneralTransferError;
    for (int i = 0; i < 4; ++i)
        m_receivedHeader[i] = header.data[static_cast<std::size_t>(i)];
    return header.type;
}

int Zmodem::ReadBinaryHeaderData(int form) {
    const Check check = form == kZbin32 ? Check::Crc32 : Check::Crc16;
    unsigned char bytes[9];
    int read = ReadPlainBytes(bytes, 5 + CrcBytes(check));
    if (read < 0)
        return read;
    const std::optional<Header> header = DecodeBinaryHeader(bytes, check);
    if (!header) {
        Trace(check == Check::Crc32 ? "ReadBinaryHeaderData: bad CRC-32"
                                    : "ReadBinaryHeaderData: bad CRC-16");
        return kGeneralTransferError;
    }
    return TakeHeader(*header);
}

int Zmodem::ReadByte() {
    m_canCount = 0;
    int c;
    int flowChars = 0;
    for (;;) {
        if (!InputWaiting() && CheckAbort())
            return m_status->statusCode;
        c = ReadTimed(kHeaderCharTimeoutMs);
        if (c < 0 || !kFlowControl[c])
            break;
        if (++flowChars >= kFlowCharLimit)
            return kTimedOut;
    }
    if (c != kZdle)
        return c;
    m_canCount = 1;
    for (;;) {
        if (!InputWaiting() && CheckAbort())
            return m_status->statusCode;
        c = ReadTimed(kHeaderCharTimeoutMs);
        if (c < 0)
            return c;
        if (kFlowControl[c]) {
            if (++flowChars >= kFlowCharLimit)
                return kTimedOut;
            continue;
        }
        if (c == kCan) {
            if (++m_canCount >= kCancelCount) {
                Fail(kRemoteCancelled);
                Trace("ReadByte: Remote end sent 5-CAN");
                return m_status->statusCode;
            }
            continue;
        }
        switch (c) {
        case kZcrce:
        case kZcrcg:
        case kZcrcq:
        case kZcrcw:
            return kEndCodeFlag + c;
        case kZrub0:
            return 0x7F;
        case kZrub1:
            return 0xFF;
        default:
            return c ^ 0x40;
        }
    }
}

// A fixed number of bytes that must not contain a subpacket end code.
int Zmodem::ReadPlainBytes(unsigned char* out, int count) {
    for (int i = 0; i < count; ++i) {
        int c = ReadByte();
        if (c < 0)
            return c;
        if (c >= kEndCodeFlag)
            return kGeneralTransferError;
        out[i] = static_cast<unsigned char>(c);
    }
    return 0;
}

int Zmodem::ReadDataSubpacket() {
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

int Zmodem::SubpacketEnded(SubpacketDecoder::Result result) {
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

int Zmodem::SendHexHeader(int type, const unsigned char header[4]) {
    unsigned char line[kMaxHexHeaderBytes];
    return WriteBufferTimed(line, m_encoder.HexHeader(MakeHeader(type, header), line));
}

int Zmodem::SendBinaryHeader(int type, const unsigned char header[4]) {
    unsigned char line[kMaxBinaryHeaderBytes];
    return WriteBufferTimed(line,
                            m_encoder.BinaryHeader(MakeHeader(type, header), SendCheck(), line));
}

int Zmodem::SendDataSubpacket(int length, int endCode) {
    if (!m_data || !m_output)
        return Fail(kTransferNoMemory);
    if (length < 0 || length > kDataBufferSize)
        return Fail(kBufferFull);
    const Check check = SendCheck();
    m_status->checkType = check == Check::Crc32 ? kCheckCrc32 : kCheckCrc16;
    const int n = m_encoder.Subpacket(m_data.get(), length, endCode, check, m_output.get());
    m_lastEndCode = endCode;
    return WriteBufferTimed(m_output.get(), n);
}

Check Zmodem::SendCheck() const {
    return (m_receiverFlags & kCanFcs32) != 0 ? Check::Crc32 : Check::Crc16;
}

Header Zmodem::MakeHeader(int type, const unsigned char data[4]) {
    Header header;
    header.type = type;
    for (int i = 0; i < 4; ++i)
        header.data[static_cast<std::size_t>(i)] = data[i];
    return header;
}

} // namespace protocol
