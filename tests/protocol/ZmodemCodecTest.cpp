// The frame codec byte for byte: what goes on the wire, and which arrivals are taken.
#include "protocol/ZmodemCodec.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace protocol::zmodem;

namespace {

std::string Hex(const Header& header) {
    unsigned char out[kMaxHexHeaderBytes];
    return {reinterpret_cast<char*>(out), static_cast<std::size_t>(EncodeHexHeader(header, out))};
}

std::string Binary(const Header& header, Check check) {
    unsigned char out[kMaxBinaryHeaderBytes];
    const int n = EncodeBinaryHeader(header, check, out);
    return {reinterpret_cast<char*>(out), static_cast<std::size_t>(n)};
}

std::string Subpacket(const std::string& data, int endCode, Check check) {
    std::vector<unsigned char> out(2 * data.size() + 11);
    const int n = EncodeSubpacket(reinterpret_cast<const unsigned char*>(data.data()),
                                  static_cast<int>(data.size()), endCode, check, out.data());
    return {reinterpret_cast<char*>(out.data()), static_cast<std::size_t>(n)};
}

// What a receiver makes of escaped bytes.
std::string Unescape(const std::string& wire) {
    std::string plain;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(wire[i]);
        if (c == kZdle)
            c = static_cast<unsigned char>(wire.at(++i)) ^ 0x40;
        plain += static_cast<char>(c);
    }
    return plain;
}

Header Zrinit() {
    Header header;
    header.type = kZrinit;
    header.data[kZf0] = kCanFullDuplex | kCanOverlapIo | kCanFcs32;
    return header;
}

} // namespace

TEST(ZmodemCodec, HeadersGoOnTheWireByteForByte) {
    EXPECT_EQ(Hex(Header{}), "**\x18"
                             "B00000000000000\r\n\x11");
    EXPECT_EQ(Hex(Zrinit()), "**\x18"
                             "B0100000023be50\r\n\x11");
    EXPECT_EQ(Hex(Header::AtPosition(kZfin, 0)), "**\x18"
                                                 "B0800000000022d\r\n")
        << "ZFIN and ZACK carry no XON";
    EXPECT_EQ(Binary(Header::AtPosition(kZdata, 1024), Check::Crc32),
              std::string("*\x18"
                          "C\x0a\x00\x04\x00\x00\x60\x47\x9b\x8b",
                          12));
    // A header byte that must not travel raw is escaped, in the CRC as in the data.
    const std::string escaped = Binary(Header::AtPosition(kZrpos, 0x0D1811), Check::Crc16);
    EXPECT_EQ(escaped.substr(0, 10), std::string("*\x18"
                                                 "A\x09\x18\x51\x18\x58\x18\x4d",
                                                 10));
    EXPECT_EQ(Header::AtPosition(kZrpos, 0x89ABCDEF).Position(), 0x89ABCDEFu);
}

TEST(ZmodemCodec, DecodingTakesOnlyIntactHeaders) {
    for (const Header& header : {Header{}, Zrinit(), Header::AtPosition(kZeof, 0xFFFFFFFF)}) {
        const std::string hex = Hex(header);
        unsigned char digits[kHexDigitCount];
        for (int i = 0; i < kHexDigitCount; ++i)
            digits[i] = static_cast<unsigned char>(hex[4 + static_cast<std::size_t>(i)] | 0x80);
        EXPECT_EQ(DecodeHexDigits(digits), header) << "parity bits are ignored";
        digits[3] ^= 0x01; // '0' becomes '1': the CRC no longer holds
        EXPECT_FALSE(DecodeHexDigits(digits));
        digits[3] = 'A'; // capitals are no hex digits here
        EXPECT_FALSE(IsHexDigit('A'));
        EXPECT_FALSE(DecodeHexDigits(digits));
        for (Check check : {Check::Crc16, Check::Crc32}) {
            std::string bytes = Unescape(Binary(header, check).substr(3));
            auto* raw = reinterpret_cast<unsigned char*>(bytes.data());
            EXPECT_EQ(DecodeBinaryHeader(raw, check), header);
            raw[2] ^= 0x40;
            EXPECT_FALSE(DecodeBinaryHeader(raw, check));
        }
    }
}

TEST(ZmodemCodec, SubpacketsEscapeWhatMustNotTravelRawAndCarryTheirCrc) {
    EXPECT_EQ(Subpacket("hello", kZcrcw, Check::Crc32), "hello\x18k\xee\x61\x8f\x0c\x11");
    std::string every;
    for (int b = 0; b < 256; ++b)
        every += static_cast<char>(b);
    for (Check check : {Check::Crc16, Check::Crc32}) {
        for (int endCode : {kZcrce, kZcrcg, kZcrcq, kZcrcw}) {
            const std::string wire = Subpacket(every, endCode, check);
            const std::size_t end = wire.rfind(std::string{'\x18', static_cast<char>(endCode)});
            ASSERT_NE(end, std::string::npos);
            const std::string body = wire.substr(0, end);
            for (unsigned char c : body)
                EXPECT_TRUE(c == kZdle || !kEscaped[c]) << int(c) << " travels raw";
            EXPECT_EQ(Unescape(body), every);
            std::string crc =
                Unescape(wire.substr(end + 2, wire.size() - end - 2 - (endCode == kZcrcw ? 1 : 0)));
            ASSERT_EQ(crc.size(), static_cast<std::size_t>(CrcBytes(check)));
            auto* data = reinterpret_cast<const unsigned char*>(every.data());
            auto* received = reinterpret_cast<const unsigned char*>(crc.data());
            EXPECT_TRUE(SubpacketCrcMatches(data, 256, endCode, check, received));
            EXPECT_FALSE(SubpacketCrcMatches(data, 255, endCode, check, received));
            const int otherEnd = endCode == kZcrce ? kZcrcg : kZcrce;
            EXPECT_FALSE(SubpacketCrcMatches(data, 256, otherEnd, check, received))
                << "the end code is covered by the CRC";
        }
    }
}
