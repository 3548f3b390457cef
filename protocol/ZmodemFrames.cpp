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
constexpr char kHexDigits[] = "0123456789abcdef";
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
// Where a run of plain subpacket bytes ends: at a ZDLE or a flow-control character.
constexpr std::array<bool, 256> kPlainRunStops = [] {
    std::array<bool, 256> table = kFlowControl;
    table[kZdle] = true;
    return table;
}();

int HexValue(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
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

int Zmodem::ReadFrameHeader(int returnOnError) {
    return ReadHeaderLoop(returnOnError, true);
}

int Zmodem::ReadHeaderLoop(int returnOnError, bool silenceCounts) {
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
            if (returnOnError)
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
        if (returnOnError)
            return result;
    }
    return m_status->statusCode;
}

int Zmodem::ReadHexFrameHeaderData() {
    m_hexTerminated = 0;
    unsigned char bytes[7];
    for (unsigned char& byte : bytes) {
        int high = ReadHeaderChar();
        if (high < 0)
            return high;
        int low = ReadHeaderChar();
        if (low < 0)
            return low;
        int h = HexValue(high), l = HexValue(low);
        if (h < 0 || l < 0)
            return kGeneralTransferError;
        byte = static_cast<unsigned char>(h << 4 | l);
    }
    if (m_crc16.Update(bytes, 7, 0) != 0) {
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
    if (bytes[0] > kLastFrameType)
        return kGeneralTransferError;
    for (int i = 0; i < 4; ++i)
        m_receivedHeader[i] = bytes[1 + i];
    return bytes[0];
}

int Zmodem::ReadBinaryHeaderData(int form) {
    const bool crc32 = form == kZbin32;
    unsigned char bytes[9];
    int read = ReadPlainBytes(bytes, crc32 ? 9 : 7);
    if (read < 0)
        return read;
    if (crc32) {
        if (m_crc32.Update(bytes, 9, Crc32::kSeed) != Crc32::kResidue) {
            Trace("ReadBinaryHeaderData: bad CRC-32");
            return kGeneralTransferError;
        }
    } else if (m_crc16.Update(bytes, 7, 0) != 0) {
        Trace("ReadBinaryHeaderData: bad CRC-16");
        return kGeneralTransferError;
    }
    if (bytes[0] > kLastFrameType)
        return kGeneralTransferError;
    for (int i = 0; i < 4; ++i)
        m_receivedHeader[i] = bytes[1 + i];
    return bytes[0];
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

int Zmodem::ReadCrc(int endCode, int length) {
    unsigned char* data = m_data.get();
    const unsigned char end = static_cast<unsigned char>(endCode);
    const bool crc32 = m_headerForm == kZbin32;
    unsigned char received[4];
    int read = ReadPlainBytes(received, crc32 ? 4 : 2);
    if (read < 0)
        return read;
    if (crc32) {
        std::uint32_t crc = m_crc32.Update(data, length, Crc32::kSeed);
        crc = Crc32::UpdateByte(crc, end);
        crc = m_crc32.Update(received, 4, crc);
        if (crc != Crc32::kResidue) {
            Trace("ReadCrc32: bad CRC-32");
            return kGeneralTransferError;
        }
        Trace("ReadCrc32:  good CRC-32");
        return 0;
    }
    std::uint16_t crc = static_cast<std::uint16_t>(m_crc16.Update(data, length, 0));
    crc = Crc16::UpdateByte(crc, end);
    if (crc != (received[0] << 8 | received[1]))
        return kGeneralTransferError;
    return 0;
}

int Zmodem::ReadDataSubpacket() {
    m_status->blockLength = 0;
    if (!m_data)
        return kTransferNoMemory;
    unsigned char* data = m_data.get();
    int length = 0;
    for (;;) {
        // Runs of plain bytes are moved at once; ReadByte handles a ZDLE and what follows
        // it, and drops raw flow-control characters.
        length += TakeBufferedUntilAny(kPlainRunStops.data(), data + length,
                                       kDataBufferCapacity - length);
        int c = ReadByte();
        if (c < 0)
            return c;
        if (c >= kEndCodeFlag) {
            int endCode = c - kEndCodeFlag;
            int check = ReadCrc(endCode, length);
            if (check < 0)
                return check;
            m_status->blockLength = length;
            return endCode;
        }
        if (length >= kDataBufferCapacity)
            return kBufferFull;
        data[length++] = static_cast<unsigned char>(c);
    }
}

int Zmodem::Escape(const unsigned char* data, int length, unsigned char* out) {
    int n = 0;
    for (int i = 0; i < length; ++i) {
        unsigned char b = data[i];
        if (kEscaped[b]) {
            out[n++] = kZdle;
            out[n++] = static_cast<unsigned char>(b ^ 0x40);
        } else {
            out[n++] = b;
        }
    }
    return n;
}

int Zmodem::SendHexHeader(int type, const unsigned char header[4]) {
    unsigned char bytes[7];
    bytes[0] = static_cast<unsigned char>(type);
    for (int i = 0; i < 4; ++i)
        bytes[1 + i] = header[i];
    std::uint16_t crc = static_cast<std::uint16_t>(m_crc16.Update(bytes, 5, 0));
    bytes[5] = static_cast<unsigned char>(crc >> 8);
    bytes[6] = static_cast<unsigned char>(crc);
    unsigned char line[4 + 14 + 3];
    int n = 0;
    line[n++] = kZpad;
    line[n++] = kZpad;
    line[n++] = kZdle;
    line[n++] = kZhex;
    for (unsigned char b : bytes) {
        line[n++] = kHexDigits[b >> 4];
        line[n++] = kHexDigits[b & 0x0F];
    }
    line[n++] = kCr;
    line[n++] = kLf;
    // The receiver may have sent XOFF; a ZACK or ZFIN needs no more from this side.
    if (type != kZack && type != kZfin)
        line[n++] = kXon;
    return WriteBufferTimed(line, n);
}

int Zmodem::SendBinaryHeader(int type, const unsigned char header[4]) {
    const bool crc32 = (m_receiverFlags & kCanFcs32) != 0;
    unsigned char bytes[9];
    bytes[0] = static_cast<unsigned char>(type);
    for (int i = 0; i < 4; ++i)
        bytes[1 + i] = header[i];
    int count = 5;
    if (crc32) {
        std::uint32_t crc = ~m_crc32.Update(bytes, 5, Crc32::kSeed);
        for (int i = 0; i < 4; ++i)
            bytes[count++] = static_cast<unsigned char>(crc >> (8 * i));
    } else {
        std::uint16_t crc = static_cast<std::uint16_t>(m_crc16.Update(bytes, 5, 0));
        bytes[count++] = static_cast<unsigned char>(crc >> 8);
        bytes[count++] = static_cast<unsigned char>(crc);
    }
    unsigned char line[3 + 2 * 9];
    int n = 0;
    line[n++] = kZpad;
    line[n++] = kZdle;
    line[n++] = static_cast<unsigned char>(crc32 ? kZbin32 : kZbin);
    n += Escape(bytes, count, line + n);
    return WriteBufferTimed(line, n);
}

int Zmodem::SendDataSubpacket(int length, int endCode) {
    if (!m_data || !m_output)
        return Fail(kTransferNoMemory);
    if (length < 0 || length > kDataBufferSize)
        return Fail(kBufferFull);
    const bool crc32 = (m_receiverFlags & kCanFcs32) != 0;
    m_status->checkType = crc32 ? kCheckCrc32 : kCheckCrc16;
    const unsigned char* data = m_data.get();
    const unsigned char end = static_cast<unsigned char>(endCode);
    unsigned char check[4];
    int checkLength;
    if (crc32) {
        std::uint32_t crc = m_crc32.Update(data, length, Crc32::kSeed);
        crc = ~Crc32::UpdateByte(crc, end);
        for (int i = 0; i < 4; ++i)
            check[i] = static_cast<unsigned char>(crc >> (8 * i));
        checkLength = 4;
    } else {
        std::uint16_t crc = static_cast<std::uint16_t>(m_crc16.Update(data, length, 0));
        crc = Crc16::UpdateByte(crc, end);
        check[0] = static_cast<unsigned char>(crc >> 8);
        check[1] = static_cast<unsigned char>(crc);
        checkLength = 2;
    }
    unsigned char* out = m_output.get();
    int n = Escape(data, length, out);
    out[n++] = kZdle;
    out[n++] = end;
    n += Escape(check, checkLength, out + n);
    if (endCode == kZcrcw)
        out[n++] = kXon;
    m_lastEndCode = endCode;
    return WriteBufferTimed(out, n);
}

} // namespace protocol
