// The ZMODEM frame codec: encoding for the wire and the checks of what arrived.
#include "protocol/ZmodemCodec.h"

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

int Escape(const unsigned char* data, int length, unsigned char* out) {
    int n = 0;
    for (int i = 0; i < length; ++i) {
        const unsigned char b = data[i];
        if (kEscaped[b]) {
            out[n++] = kZdle;
            out[n++] = static_cast<unsigned char>(b ^ 0x40);
        } else {
            out[n++] = b;
        }
    }
    return n;
}

int EncodeHexHeader(const Header& header, unsigned char* out) {
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
    return n;
}

int EncodeBinaryHeader(const Header& header, Check check, unsigned char* out) {
    unsigned char bytes[9];
    const int count = HeaderBytes(header, check, bytes);
    out[0] = kZpad;
    out[1] = kZdle;
    out[2] = static_cast<unsigned char>(check == Check::Crc32 ? kZbin32 : kZbin);
    return 3 + Escape(bytes, count, out + 3);
}

int EncodeSubpacket(const unsigned char* data, int length, int endCode, Check check,
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
    n += Escape(crc, CrcBytes(check), out + n);
    if (endCode == kZcrcw)
        out[n++] = kXon;
    return n;
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
