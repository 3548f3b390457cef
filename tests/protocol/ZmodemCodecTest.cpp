// The frame codec byte for byte: what goes on the wire, and which arrivals are taken.
#include "protocol/ZmodemCodec.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace protocol::zmodem;

namespace {

std::string Hex(const Header& header) {
    unsigned char out[kMaxHexHeaderBytes];
    return {reinterpret_cast<char*>(out),
            static_cast<std::size_t>(FrameEncoder{}.HexHeader(header, out))};
}

std::string Binary(const Header& header, Check check) {
    unsigned char out[kMaxBinaryHeaderBytes];
    const int n = FrameEncoder{}.BinaryHeader(header, check, out);
    return {reinterpret_cast<char*>(out), static_cast<std::size_t>(n)};
}

std::string Subpacket(const std::string& data, int endCode, Check check) {
    std::vector<unsigned char> out(2 * data.size() + 11);
    const int n =
        FrameEncoder{}.Subpacket(reinterpret_cast<const unsigned char*>(data.data()),
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
    // Header bytes that must not travel raw are escaped as data is; a CR only after an '@'.
    EXPECT_EQ(Binary(Header::AtPosition(kZrpos, 0x0D1811), Check::Crc16).substr(0, 10),
              std::string("*\x18"
                          "A\x09\x18Q\x18X\r\x00",
                          10));
    EXPECT_EQ(Binary(Header::AtPosition(kZrpos, 0x0D40), Check::Crc16).substr(0, 9),
              std::string("*\x18"
                          "A\x09@\x18M\x00\x00",
                          9));
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
                EXPECT_TRUE(c == kZdle || !kEscaped[c] || (c & 0x7F) == kCr)
                    << int(c) << " travels raw";
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

namespace {

using Result = SubpacketDecoder::Result;

struct Decoded {
    Result result;
    std::string data;
    int endCode;
    std::size_t taken;
};

// Feeds `wire` to a fresh decoder in pieces that start at each of `cuts`.
Decoded Decode(const std::string& wire, std::vector<std::size_t> cuts, Check check = Check::Crc32,
               int capacity = 8192) {
    std::vector<unsigned char> buffer(static_cast<std::size_t>(capacity));
    SubpacketDecoder decoder;
    decoder.Start(check, buffer.data(), capacity);
    cuts.push_back(wire.size());
    std::size_t at = 0;
    Result result = Result::NeedMore;
    for (std::size_t cut : cuts) {
        while (at < cut && result == Result::NeedMore) {
            int taken = 0;
            result = decoder.Feed(reinterpret_cast<const unsigned char*>(wire.data()) + at,
                                  static_cast<int>(cut - at), taken);
            at += static_cast<std::size_t>(taken);
        }
    }
    const auto* data = reinterpret_cast<const char*>(buffer.data());
    return {result, std::string(data, static_cast<std::size_t>(decoder.Length())),
            decoder.EndCode(), at};
}

} // namespace

TEST(ZmodemCodec, ASubpacketDecodesWhereverItsBytesAreCut) {
    std::string data;
    for (int i = 0; i < 600; ++i)
        data += static_cast<char>(i * 7 % 256);
    data += "@\r@\x8d";
    for (Check check : {Check::Crc16, Check::Crc32}) {
        for (int endCode : {kZcrce, kZcrcg, kZcrcq, kZcrcw}) {
            std::string wire = Subpacket(data, endCode, check);
            wire.insert(100, "\x11\x93"); // raw flow control belongs to no frame
            wire += "**next";
            for (std::size_t cut = 0; cut <= wire.size();
                 cut += (cut < 40 || cut > wire.size() - 40) ? 1 : 13) {
                const Decoded decoded = Decode(wire, {cut}, check);
                ASSERT_EQ(decoded.result, Result::Complete) << cut;
                EXPECT_EQ(decoded.data, data);
                EXPECT_EQ(decoded.endCode, endCode);
                EXPECT_EQ(wire.substr(decoded.taken), endCode == kZcrcw ? "\x11**next" : "**next")
                    << "what follows the subpacket is left for the next frame";
            }
            std::vector<std::size_t> everyByte(wire.size());
            for (std::size_t i = 0; i < wire.size(); ++i)
                everyByte[i] = i;
            EXPECT_EQ(Decode(wire, everyByte, check).data, data);
        }
    }
}

TEST(ZmodemCodec, ASubpacketFailsOnDamageLengthAndCancel) {
    const std::string good = Subpacket("abc", kZcrcg, Check::Crc32);
    std::string damaged = good;
    damaged[1] ^= 0x01;
    EXPECT_EQ(Decode(damaged, {}).result, Result::BadCrc);
    EXPECT_EQ(Decode(good, {}, Check::Crc16).result, Result::BadCrc) << "a CRC-32 is no CRC-16";
    EXPECT_EQ(Decode("ab\x18hx\x18i", {}).result, Result::BadCrc) << "an end code inside the CRC";
    EXPECT_EQ(Decode(good, {}, Check::Crc32, 2).result, Result::TooLong);
    EXPECT_EQ(Decode(Subpacket("ab", kZcrcg, Check::Crc32), {}, Check::Crc32, 2).result,
              Result::Complete)
        << "a full buffer is not too long";
    EXPECT_EQ(Decode("ab\x18\x18\x18\x18\x18", {3}).result, Result::Cancelled);
    const Decoded notYet = Decode("ab\x18\x18\x18\x18M", {});
    EXPECT_EQ(notYet.result, Result::NeedMore) << "four CANs are noise";
    EXPECT_EQ(notYet.data, "ab\r");
    EXPECT_EQ(Decode(std::string(SubpacketDecoder::kFlowControlRunLimit, '\x13'), {}).result,
              Result::FlowControlRun);
}
