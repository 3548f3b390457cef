// The ZMODEM frame codec: encoding for the wire and the checks of what arrived.
#include "protocol/ZmodemCodec.h"

#include <algorithm>

#include "protocol/ByteRuns.h"
#include "protocol/Checksum.h"

namespace protocol::zmodem {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
const Crc16 kCrc16;
const Crc32 kCrc32;

int HexValue(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Raw XON and XOFF, with or without the parity bit: a sender escapes them in data, so raw
// ones were put on the line by a modem or terminal and are no part of a frame.
constexpr std::array<bool, 256> kFlowControl = [] {
    std::array<bool, 256> table{};
    for (int b : {kXon, kXoff, kXon | 0x80, kXoff | 0x80})
        table[b] = true;
    return table;
}();

constexpr bool IsEndCode(unsigned char c) {
    return c == kZcrce || c == kZcrcg || c == kZcrcq || c == kZcrcw;
}

// Whether ZDLE and `c` stand for a data byte.
constexpr bool EscapesData(unsigned char c) {
    return !IsEndCode(c) && c != kCan && !kFlowControl[c];
}

// What ZDLE and `c` stand for in data.
constexpr unsigned char Unescaped(unsigned char c) {
    return c == kZrub0 ? 0x7F : c == kZrub1 ? 0xFF : static_cast<unsigned char>(c ^ 0x40);
}

// Type and data bytes followed by their check: 7 bytes with a CRC-16, 9 with a CRC-32.
int HeaderBytes(const Header& header, Check check, unsigned char bytes[9]) {
    bytes[0] = static_cast<unsigned char>(header.type);
    for (int i = 0; i < 4; ++i)
        bytes[1 + i] = header.data[static_cast<std::size_t>(i)];
    if (check == Check::Crc32) {
        const std::uint32_t crc = ~kCrc32.Update(bytes, 5, Crc32::kSeed);
        for (int i = 0; i < 4; ++i)
            bytes[5 + i] = static_cast<unsigned char>(crc >> (8 * i));
        return 9;
    }
    const auto crc = static_cast<std::uint16_t>(kCrc16.Update(bytes, 5, 0));
    bytes[5] = static_cast<unsigned char>(crc >> 8);
    bytes[6] = static_cast<unsigned char>(crc);
    return 7;
}

Header HeaderFrom(const unsigned char bytes[5]) {
    Header header;
    header.type = bytes[0];
    for (int i = 0; i < 4; ++i)
        header.data[static_cast<std::size_t>(i)] = bytes[1 + i];
    return header;
}

} // namespace

Header Header::AtPosition(int type, std::uint32_t position) {
    Header header;
    header.type = type;
    for (int i = 0; i < 4; ++i)
        header.data[static_cast<std::size_t>(i)] = static_cast<unsigned char>(position >> (8 * i));
    return header;
}

std::uint32_t Header::Position() const {
    return data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

bool IsHexDigit(int c) {
    return HexValue(c & 0x7F) >= 0;
}

int FrameEncoder::Escape(const unsigned char* data, int length, unsigned char* out) {
    // Every byte takes at least one on the wire, so a run copied ahead stays within `out`.
    // Whether a carriage return follows "@" is read off the data: an escaped byte never
    // stands for "@" on the wire.
    int n = 0;
    for (int i = 0; i < length; ++i) {
        const int run = CopyRun<EscapedBytes>(data + i, length - i, out + n);
        n += run;
        i += run;
        if (i == length)
            break;
        const unsigned char before = i > 0 ? data[i - 1] : m_last;
        unsigned char b = data[i];
        if ((b & 0x7F) != kCr || (before & 0x7F) == '@') {
            out[n++] = kZdle;
            b ^= 0x40;
        }
        out[n++] = b;
    }
    if (n > 0)
        m_last = out[n - 1];
    return n;
}

int FrameEncoder::HexHeader(const Header& header, unsigned char* out) {
    unsigned char bytes[9];
    HeaderBytes(header, Check::Crc16, bytes);
    int n = 0;
    out[n++] = kZpad;
    out[n++] = kZpad;
    out[n++] = kZdle;
    out[n++] = kZhex;
    for (int i = 0; i < 7; ++i) {
        out[n++] = static_cast<unsigned char>(kHexDigits[bytes[i] >> 4]);
        out[n++] = static_cast<unsigned char>(kHexDigits[bytes[i] & 0x0F]);
    }
    out[n++] = kCr;
    out[n++] = kLf;
    // The receiver may have sent XOFF; a ZACK or ZFIN needs no more from this side.
    if (header.type != kZack && header.type != kZfin)
        out[n++] = kXon;
    m_last = out[n - 1];
    return n;
}

int FrameEncoder::BinaryHeader(const Header& header, Check check, unsigned char* out) {
    unsigned char bytes[9];
    const int count = HeaderBytes(header, check, bytes);
    out[0] = kZpad;
    out[1] = kZdle;
    out[2] = static_cast<unsigned char>(check == Check::Crc32 ? kZbin32 : kZbin);
    m_last = out[2];
    return 3 + Escape(bytes, count, out + 3);
}

int FrameEncoder::Subpacket(const unsigned char* data, int length, int endCode, Check check,
                            unsigned char* out) {
    const auto end = static_cast<unsigned char>(endCode);
    unsigned char crc[4];
    if (check == Check::Crc32) {
        const std::uint32_t value =
            ~Crc32::UpdateByte(kCrc32.Update(data, length, Crc32::kSeed), end);
        for (int i = 0; i < 4; ++i)
            crc[i] = static_cast<unsigned char>(value >> (8 * i));
    } else {
        const std::uint16_t value =
            Crc16::UpdateByte(static_cast<std::uint16_t>(kCrc16.Update(data, length, 0)), end);
        crc[0] = static_cast<unsigned char>(value >> 8);
        crc[1] = static_cast<unsigned char>(value);
    }
    int n = Escape(data, length, out);
    out[n++] = kZdle;
    out[n++] = end;
    m_last = end;
    n += Escape(crc, CrcBytes(check), out + n);
    if (endCode == kZcrcw) {
        out[n++] = kXon;
        m_last = kXon;
    }
    return n;
}

void SubpacketDecoder::Start(Check check, unsigned char* buffer, int capacity) {
    *this = SubpacketDecoder{};
    m_check = check;
    m_buffer = buffer;
    m_capacity = capacity;
}

SubpacketDecoder::Result SubpacketDecoder::Feed(const unsigned char* bytes, int count, int& taken) {
    for (taken = 0; taken < count;) {
        if (m_state == State::Data) {
            const int run = TakePlainRun(bytes + taken, count - taken);
            if (run > 0) {
                taken += run;
                continue;
            }
        }
        const unsigned char c = bytes[taken++];
        if (kFlowControl[c]) {
            if (++m_flowRun >= kFlowControlRunLimit)
                return Result::FlowControlRun;
            continue;
        }
        m_flowRun = 0;
        Result result = Result::NeedMore;
        switch (m_state) {
        case State::Data:
            if (c == kZdle) {
                m_state = State::Escaped;
                m_cans = 1;
            } else {
                return Result::TooLong; // a plain byte with the buffer full
            }
            break;
        case State::Escaped:
            result = TakeEscaped(c);
            break;
        case State::Crc:
            if (c == kZdle) {
                m_state = State::CrcEscaped;
                m_cans = 1;
            } else {
                result = TakeCrcByte(c);
            }
            break;
        case State::CrcEscaped:
            if (c == kCan) {
                if (++m_cans >= kCancelCount)
                    return Result::Cancelled;
                break;
            }
            if (IsEndCode(c))
                return Result::BadCrc;
            m_state = State::Crc;
            result = TakeCrcByte(Unescaped(c));
            break;
        }
        if (result != Result::NeedMore)
            return result;
    }
    return Result::NeedMore;
}

int SubpacketDecoder::TakePlainRun(const unsigned char* bytes, int count) {
    // Runs of plain bytes are copied at once, up to a ZDLE, a flow-control byte or a full
    // buffer; a ZDLE that escapes a data byte is undone here and the run goes on. Anything
    // else after a ZDLE (an end code, a CAN, flow control, nothing yet) is left to Feed.
    int taken = 0;
    for (;;) {
        const int run = CopyRun<PlainRunStops>(
            bytes + taken, std::min(count - taken, m_capacity - m_length), m_buffer + m_length);
        taken += run;
        m_length += run;
        if (taken + 1 >= count || m_length >= m_capacity || bytes[taken] != kZdle ||
            !EscapesData(bytes[taken + 1]))
            break;
        m_buffer[m_length++] = Unescaped(bytes[taken + 1]);
        taken += 2;
    }
    if (taken > 0)
        m_flowRun = 0;
    return taken;
}

SubpacketDecoder::Result SubpacketDecoder::TakeEscaped(unsigned char c) {
    if (c == kCan)
        return ++m_cans >= kCancelCount ? Result::Cancelled : Result::NeedMore;
    if (IsEndCode(c)) {
        m_endCode = c;
        m_state = State::Crc;
        return Result::NeedMore;
    }
    if (m_length >= m_capacity)
        return Result::TooLong;
    m_buffer[m_length++] = Unescaped(c);
    m_state = State::Data;
    return Result::NeedMore;
}

SubpacketDecoder::Result SubpacketDecoder::TakeCrcByte(unsigned char c) {
    m_crc[m_crcLength++] = c;
    if (m_crcLength < CrcBytes(m_check))
        return Result::NeedMore;
    return SubpacketCrcMatches(m_buffer, m_length, m_endCode, m_check, m_crc) ? Result::Complete
                                                                              : Result::BadCrc;
}

void HeaderDecoder::Start() {
    *this = HeaderDecoder{};
}

void HeaderDecoder::Abandon() {
    m_state = State::Hunt;
    m_cans = 0;
}

HeaderDecoder::Result HeaderDecoder::LineQuiet() {
    if (m_state == State::LineEnd) {
        m_state = State::Hunt;
        return Result::Header;
    }
    if (m_state == State::Hunt)
        m_cans = 0;
    return Result::NeedMore;
}

HeaderDecoder::Result HeaderDecoder::Feed(const unsigned char* bytes, int count, int& taken) {
    for (taken = 0; taken < count;) {
        const unsigned char c = bytes[taken++];
        // The line end of a hex header is read as it stands: an XON there is one of its bytes.
        if (m_state != State::LineEnd && kFlowControl[c]) {
            if (m_state != State::Hunt && ++m_flowRun >= kFlowControlRunLimit) {
                m_state = State::Hunt;
                return Result::Damaged;
            }
            continue;
        }
        m_flowRun = 0;
        ++m_talk;
        const Result result = Take(c);
        // The XON that often follows the line end belongs to no frame.
        if (result == Result::Header && m_lineEndSeen) {
            while (taken < count && kFlowControl[bytes[taken]])
                ++taken;
        }
        if (result != Result::NeedMore)
            return result;
    }
    return Result::NeedMore;
}

HeaderDecoder::Result HeaderDecoder::Take(unsigned char c) {
    switch (m_state) {
    case State::Hunt:
        return Hunt(c);
    case State::Pads:
        // A hex header's second pad is normal, an endless run of them is garbage.
        if ((c & 0x7F) == kZpad)
            return ++m_count > 1 ? CountGarbage() : Result::NeedMore;
        if ((c & 0x7F) == kZdle) {
            m_state = State::Form;
            return Result::NeedMore;
        }
        m_state = State::Hunt;
        return CountGarbage();
    case State::Form:
        return TakeForm(c & 0x7F);
    case State::HexDigits:
        return TakeHexDigit(c & 0x7F);
    case State::LineEnd:
        return TakeLineEnd(c & 0x7F);
    case State::Binary:
    case State::BinaryEscaped:
        return TakeBinary(c);
    }
    return Result::NeedMore;
}

HeaderDecoder::Result HeaderDecoder::Hunt(unsigned char c) {
    if (c == kCan)
        return ++m_cans >= kCancelCount ? Result::Cancelled : Result::NeedMore;
    m_cans = 0;
    if (c == kZpad) {
        m_state = State::Pads;
        m_count = 0;
        m_form = 0;
        m_crcFailed = false;
        return Result::NeedMore;
    }
    return CountGarbage();
}

HeaderDecoder::Result HeaderDecoder::CountGarbage() {
    return ++m_garbage >= kGarbageLimit ? Result::Garbage : Result::NeedMore;
}

HeaderDecoder::Result HeaderDecoder::TakeForm(int c) {
    m_form = c;
    m_count = 0;
    m_lineEndSeen = false;
    if (c == kZhex) {
        m_state = State::HexDigits;
    } else if (c == kZbin || c == kZbin32) {
        m_state = State::Binary;
    } else {
        m_state = State::Hunt;
        return Result::Damaged;
    }
    return Result::NeedMore;
}

HeaderDecoder::Result HeaderDecoder::TakeHexDigit(int c) {
    // A damaged header ends at its first wrong digit: what follows may be the next header.
    if (!IsHexDigit(c)) {
        m_state = State::Hunt;
        return Result::Damaged;
    }
    m_bytes[m_count++] = static_cast<unsigned char>(c);
    if (m_count < kHexDigitCount)
        return Result::NeedMore;
    const Result result = Finish(DecodeHexDigits(m_bytes));
    if (result != Result::Header)
        return result;
    // The header is good; its line end follows at once from a well-behaved sender.
    m_state = State::LineEnd;
    m_count = 0;
    return Result::NeedMore;
}

HeaderDecoder::Result HeaderDecoder::TakeLineEnd(int c) {
    if (c == kLf) {
        m_lineEndSeen = true;
        m_state = State::Hunt;
        return Result::Header;
    }
    if (c != kCr && c != kXon) {
        m_state = State::Hunt;
        return Result::Damaged;
    }
    if (++m_count < kLineEndLookahead)
        return Result::NeedMore;
    m_state = State::Hunt;
    return Result::Header;
}

HeaderDecoder::Result HeaderDecoder::TakeBinary(unsigned char c) {
    if (m_state == State::Binary && c == kZdle) {
        m_state = State::BinaryEscaped;
        m_cans = 1;
        return Result::NeedMore;
    }
    if (m_state == State::BinaryEscaped) {
        if (c == kCan)
            return ++m_cans >= kCancelCount ? Result::Cancelled : Result::NeedMore;
        if (IsEndCode(c)) {
            m_state = State::Hunt;
            return Result::Damaged;
        }
        c = Unescaped(c);
        m_state = State::Binary;
    }
    m_bytes[m_count++] = c;
    const Check check = m_form == kZbin32 ? Check::Crc32 : Check::Crc16;
    if (m_count < 5 + CrcBytes(check))
        return Result::NeedMore;
    return Finish(DecodeBinaryHeader(m_bytes, check));
}

HeaderDecoder::Result HeaderDecoder::Finish(const std::optional<Header>& header) {
    m_state = State::Hunt;
    m_cans = 0;
    m_crcFailed = !header;
    if (!header || header->type > kLastFrameType)
        return Result::Damaged;
    m_header = *header;
    return Result::Header;
}

std::optional<Header> DecodeHexDigits(const unsigned char digits[kHexDigitCount]) {
    unsigned char bytes[7];
    for (int i = 0; i < 7; ++i) {
        const int high = HexValue(digits[2 * i] & 0x7F);
        const int low = HexValue(digits[2 * i + 1] & 0x7F);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    if (kCrc16.Update(bytes, 7, 0) != 0)
        return std::nullopt;
    return HeaderFrom(bytes);
}

std::optional<Header> DecodeBinaryHeader(const unsigned char* bytes, Check check) {
    const bool good = check == Check::Crc32
                          ? kCrc32.Update(bytes, 9, Crc32::kSeed) == Crc32::kResidue
                          : kCrc16.Update(bytes, 7, 0) == 0;
    if (!good)
        return std::nullopt;
    return HeaderFrom(bytes);
}

bool SubpacketCrcMatches(const unsigned char* data, int length, int endCode, Check check,
                         const unsigned char* crc) {
    const auto end = static_cast<unsigned char>(endCode);
    if (check == Check::Crc32) {
        std::uint32_t value = Crc32::UpdateByte(kCrc32.Update(data, length, Crc32::kSeed), end);
        return kCrc32.Update(crc, 4, value) == Crc32::kResidue;
    }
    const std::uint16_t value =
        Crc16::UpdateByte(static_cast<std::uint16_t>(kCrc16.Update(data, length, 0)), end);
    return value == (crc[0] << 8 | crc[1]);
}

} // namespace protocol::zmodem
