// The frame codec byte for byte: what goes on the wire, and which arrivals are taken.
#include "protocol/ZmodemCodec.h"

#include <algorithm>
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

// The escaping copies runs that need no escape at once: data dense and sparse in bytes to
// escape, at every length and alignment around the runs it copies, comes out as the rule
// byte by byte makes it (a carriage return escaped only after "@", with or without parity).
TEST(ZmodemCodec, EscapingMatchesTheByteRuleAtEveryLengthAndAlignment) {
    const auto byRule = [](const unsigned char* data, int length, unsigned char last) {
        std::string wire;
        for (int i = 0; i < length; ++i) {
            const unsigned char b = data[i];
            const bool cr = (b & 0x7F) == kCr;
            if (kEscaped[b] && (!cr || (last & 0x7F) == '@')) {
                wire += static_cast<char>(kZdle);
                last = static_cast<unsigned char>(b ^ 0x40);
            } else {
                last = b;
            }
            wire += static_cast<char>(last);
        }
        return wire;
    };
    const std::string awkward[] = {"\r",   "\x8d", "@\r",  "\xc0\x8d", "@\x8d", "\x10", "\x11",
                                   "\x13", "\x18", "\x98", "\x90",     "\x91",  "\x93", "\x12"};
    std::uint32_t state = 7;
    for (int density : {0, 3, 50}) {
        std::vector<unsigned char> data;
        while (data.size() < 96) {
            state = state * 1103515245 + 12345;
            const unsigned pick = state >> 16;
            if (static_cast<int>(pick % 100) < density)
                data.insert(data.end(), awkward[pick % 14].begin(), awkward[pick % 14].end());
            else
                data.push_back(static_cast<unsigned char>(pick >> 8));
        }
        data.resize(96);
        for (int offset = 0; offset < 16; ++offset) {
            for (int length = 0; offset + length <= 96; ++length) {
                const unsigned char* p = data.data() + offset;
                FrameEncoder encoder; // begins after a line feed
                std::vector<unsigned char> out(2 * static_cast<std::size_t>(length) + 1, 0xEE);
                const int n = encoder.Escape(p, length, out.data());
                ASSERT_EQ(
                    std::string(reinterpret_cast<char*>(out.data()), static_cast<std::size_t>(n)),
                    byRule(p, length, kLf))
                    << density << " " << offset << " " << length;
                EXPECT_EQ(out[static_cast<std::size_t>(n)], 0xEE) << "nothing written past the end";
            }
        }
        // Runs cut across calls keep the "@" before a carriage return.
        FrameEncoder encoder;
        std::string wire;
        std::vector<unsigned char> out(200);
        for (int at = 0; at < 96; at += 17) {
            const int length = std::min(17, 96 - at);
            const int n = encoder.Escape(data.data() + at, length, out.data());
            wire.append(reinterpret_cast<char*>(out.data()), static_cast<std::size_t>(n));
        }
        EXPECT_EQ(wire, byRule(data.data(), 96, kLf)) << density;
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

namespace {

using HeaderResult = HeaderDecoder::Result;

struct HeaderRead {
    HeaderResult result{HeaderResult::NeedMore};
    std::size_t taken{0};
};

// Feeds `wire` to the decoder in pieces cut at `cuts`, until it has a result.
HeaderRead ReadHeader(HeaderDecoder& decoder, const std::string& wire,
                      const std::vector<std::size_t>& cuts = {}) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(wire.data());
    HeaderRead read;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size() && read.result == HeaderResult::NeedMore; ++i) {
        const std::size_t to = i < cuts.size() ? std::min(cuts[i], wire.size()) : wire.size();
        if (to < from)
            continue;
        int taken = 0;
        read.result = decoder.Feed(bytes + from, static_cast<int>(to - from), taken);
        from += static_cast<std::size_t>(taken);
    }
    read.taken = from;
    return read;
}

HeaderRead ReadHeader(const std::string& wire, const std::vector<std::size_t>& cuts = {}) {
    HeaderDecoder decoder;
    return ReadHeader(decoder, wire, cuts);
}

const Header kAwkward = [] {
    Header header = Header::AtPosition(kZrpos, 0);
    header.data = {0x0D, 0x18, 0x91, 0xFF};
    return header;
}();

} // namespace

TEST(ZmodemCodec, AHeaderDecodesWhereverItsBytesAreCut) {
    const std::string before = "line noise\x11\x13*x";
    for (int form : {kZhex, kZbin, kZbin32}) {
        const std::string header = form == kZhex   ? Hex(kAwkward)
                                   : form == kZbin ? Binary(kAwkward, Check::Crc16)
                                                   : Binary(kAwkward, Check::Crc32);
        const std::string wire = before + header + "*next";
        for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
            HeaderDecoder decoder;
            const HeaderRead read = ReadHeader(decoder, wire, {cut});
            ASSERT_EQ(read.result, HeaderResult::Header) << form << " cut at " << cut;
            EXPECT_EQ(decoder.Decoded(), kAwkward);
            EXPECT_EQ(decoder.Form(), form);
            // The XON after a hex header's line end is taken with it when it has come.
            const bool xonLeft = form == kZhex && cut == before.size() + header.size() - 1;
            EXPECT_EQ(wire.substr(read.taken), xonLeft ? "\x11*next" : "*next") << cut;
            EXPECT_EQ(decoder.LineEndSeen(), form == kZhex);
        }
        std::vector<std::size_t> everyByte(wire.size());
        for (std::size_t i = 0; i < wire.size(); ++i)
            everyByte[i] = i;
        EXPECT_EQ(ReadHeader(wire, everyByte).result, HeaderResult::Header);
    }
}

TEST(ZmodemCodec, AHeaderWithParityBitsAndFlowControlInsideIsTaken) {
    std::string wire = Hex(kAwkward);
    for (std::size_t i = 1; i < 18; ++i)
        wire[i] = static_cast<char>(wire[i] | 0x80);
    wire.insert(9, "\x11\x93");
    HeaderDecoder decoder;
    ASSERT_EQ(ReadHeader(decoder, wire).result, HeaderResult::Header);
    EXPECT_EQ(decoder.Decoded(), kAwkward);
    std::string binary = Binary(kAwkward, Check::Crc32);
    binary.insert(6, "\x13\x91\x11");
    EXPECT_EQ(ReadHeader(binary).result, HeaderResult::Header);
}

TEST(ZmodemCodec, DamagedHeadersEndAtTheFault) {
    std::string upper = Hex(kAwkward);
    upper[8] = 'D';
    std::string badCrc = Hex(kAwkward);
    badCrc[17] = badCrc[17] == '0' ? '1' : '0';
    std::string binaryBad = Binary(kAwkward, Check::Crc32);
    binaryBad[4] ^= 0x01;
    std::string endCodeInside = Binary(kAwkward, Check::Crc16);
    endCodeInside.replace(4, 1, "\x18k");
    const std::string unknownType = Hex(Header::AtPosition(kLastFrameType + 1, 0));
    std::string junkBeforeLineFeed = Hex(kAwkward);
    junkBeforeLineFeed[18] = 'x';
    const std::string flowRun = "**\x18"
                                "B0" +
                                std::string(HeaderDecoder::kFlowControlRunLimit, '\x11');
    struct Case {
        std::string wire;
        const char* what;
    } cases[] = {
        {upper, "an upper-case digit"},
        {badCrc, "a hex CRC-16 that does not match"},
        {binaryBad, "a binary CRC-32 that does not match"},
        {endCodeInside, "an end code inside a binary header"},
        {unknownType, "a type no ZMODEM frame has"},
        {"*\x18Z0000", "an unknown form"},
        {junkBeforeLineFeed, "a byte other than CR or XON before the line feed"},
        {flowRun, "a header that never goes on past flow control"},
    };
    for (const Case& c : cases) {
        HeaderDecoder decoder;
        const HeaderRead read = ReadHeader(decoder, c.wire + Hex(Header{}));
        EXPECT_EQ(read.result, HeaderResult::Damaged) << c.what;
        EXPECT_LE(read.taken, c.wire.size()) << c.what << ": the fault ends the header";
        const HeaderRead next = ReadHeader(decoder, (c.wire + Hex(Header{})).substr(read.taken));
        EXPECT_EQ(next.result, HeaderResult::Header) << c.what << ": the next header is found";
        EXPECT_EQ(decoder.Decoded(), Header{}) << c.what;
    }
}

TEST(ZmodemCodec, AHexHeaderWhoseLineEndNeverComesIsTakenWhenTheLineFallsQuiet) {
    const std::string digitsOnly = Hex(kAwkward).substr(0, 18);
    HeaderDecoder decoder;
    EXPECT_EQ(ReadHeader(decoder, digitsOnly + "\r").result, HeaderResult::NeedMore);
    EXPECT_TRUE(decoder.AwaitingLineEnd());
    EXPECT_EQ(decoder.LineQuiet(), HeaderResult::Header);
    EXPECT_FALSE(decoder.LineEndSeen());
    EXPECT_EQ(decoder.Decoded(), kAwkward);
    EXPECT_EQ(ReadHeader(digitsOnly + "\r\x11\r\r\r").result, HeaderResult::Header)
        << "five bytes of CR and XON end the wait for the line feed";
    EXPECT_EQ(decoder.LineQuiet(), HeaderResult::NeedMore) << "nothing is pending any more";
}

TEST(ZmodemCodec, CancelsAndGarbageEndTheHunt) {
    EXPECT_EQ(ReadHeader("ab\x18\x18\x18\x18\x18", {4}).result, HeaderResult::Cancelled);
    HeaderDecoder broken;
    EXPECT_EQ(ReadHeader(broken, "\x18\x18\x18\x18").result, HeaderResult::NeedMore);
    EXPECT_EQ(broken.LineQuiet(), HeaderResult::NeedMore);
    EXPECT_EQ(ReadHeader(broken, "\x18\x18").result, HeaderResult::NeedMore)
        << "CANs with a silence between them are noise";
    EXPECT_EQ(ReadHeader("\x18\x18\x18\x18M\x18").result, HeaderResult::NeedMore);
    std::string escapedCans = Binary(kAwkward, Check::Crc32).substr(0, 5);
    escapedCans += "\x18\x18\x18\x18\x18";
    EXPECT_EQ(ReadHeader(escapedCans).result, HeaderResult::Cancelled)
        << "a cancel inside a binary header";

    const std::string garbage(HeaderDecoder::kGarbageLimit - 1, 'g');
    HeaderDecoder decoder;
    EXPECT_EQ(ReadHeader(decoder, garbage + Hex(kAwkward)).result, HeaderResult::Header);
    EXPECT_EQ(decoder.GarbageCount(), HeaderDecoder::kGarbageLimit - 1);
    EXPECT_EQ(ReadHeader(decoder, "g").result, HeaderResult::Garbage)
        << "garbage counts until the search starts again";
    decoder.Start();
    EXPECT_EQ(ReadHeader(decoder, garbage + "**").result, HeaderResult::NeedMore);
    EXPECT_EQ(ReadHeader(decoder, "*").result, HeaderResult::Garbage)
        << "an endless run of pads is garbage too";
    EXPECT_EQ(ReadHeader(std::string(10000, '\x11')).result, HeaderResult::NeedMore)
        << "flow control between frames is not garbage";
}
