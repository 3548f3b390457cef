// The block checks against published vectors, and the CRC-32 residue a receiver checks for.
#include "protocol/Checksum.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

using namespace protocol;

namespace {
const unsigned char* Bytes(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}
int Length(const char* text) {
    return static_cast<int>(std::strlen(text));
}
} // namespace

TEST(Checksum, PublishedVectors) {
    struct Case {
        const char* text;
        std::uint16_t crc16;
        std::uint32_t crc32;
    };
    const Case cases[] = {
        {"123456789", 0x31C3, 0xCBF43926},
        {"", 0x0000, 0x00000000},
        {"a", 0x7C87, 0xE8B7BE43},
        {"The quick brown fox jumps over the lazy dog", 0xF0C8, 0x414FA339},
    };
    Crc16 crc16;
    Crc32 crc32;
    for (const Case& c : cases) {
        EXPECT_EQ(crc16.Update(Bytes(c.text), Length(c.text), 0), c.crc16) << c.text;
        EXPECT_EQ(~crc32.Update(Bytes(c.text), Length(c.text), Crc32::kSeed), c.crc32) << c.text;
    }
    EXPECT_EQ(crc16.Width(), 16);
    EXPECT_EQ(crc32.Width(), 32);
}

TEST(Checksum, ByteSumTakesBytesAsSignedCharacters) {
    Checksum sum;
    const unsigned char data[] = {0x01, 0x02, 0xFF};
    EXPECT_EQ(sum.Update(data, 3, 0), 2u);
    EXPECT_EQ(sum.Width(), 8);
}

// Data followed by its own check runs to a fixed value: 0 for CRC-16 (high byte first),
// the residue for CRC-32 (complemented, lowest byte first).
TEST(Checksum, ReceiverResidues) {
    std::vector<unsigned char> data(300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 3);
    Crc16 crc16;
    std::uint16_t c16 = static_cast<std::uint16_t>(crc16.Update(data.data(), 300, 0));
    std::vector<unsigned char> with16 = data;
    with16.push_back(static_cast<unsigned char>(c16 >> 8));
    with16.push_back(static_cast<unsigned char>(c16));
    EXPECT_EQ(crc16.Update(with16.data(), 302, 0), 0u);

    Crc32 crc32;
    std::uint32_t c32 = ~crc32.Update(data.data(), 300, Crc32::kSeed);
    std::vector<unsigned char> with32 = data;
    for (int shift = 0; shift < 32; shift += 8)
        with32.push_back(static_cast<unsigned char>(c32 >> shift));
    EXPECT_EQ(crc32.Update(with32.data(), 304, Crc32::kSeed), Crc32::kResidue);
    with32[17] ^= 0x10;
    EXPECT_NE(crc32.Update(with32.data(), 304, Crc32::kSeed), Crc32::kResidue);
}

// Long blocks take a faster path than short ones: every length around where it starts and
// past several of its steps, at every alignment and with any seed, gives what the bit-by-bit
// definition gives, whole or in two pieces.
TEST(Checksum, Crc32OfEveryLengthAndAlignmentMatchesTheDefinition) {
    const auto bitwise = [](const unsigned char* data, int length, std::uint32_t crc) {
        for (int i = 0; i < length; ++i) {
            crc ^= data[i];
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (Crc32::kPolynomial & (0u - (crc & 1)));
        }
        return crc;
    };
    std::vector<unsigned char> data(1200);
    std::uint32_t state = 12345;
    for (auto& b : data) {
        state = state * 1103515245 + 12345;
        b = static_cast<unsigned char>(state >> 16);
    }
    Crc32 crc32;
    for (int offset = 0; offset < 16; ++offset) {
        for (int length = 0; length <= 1100; length += length < 200 ? 1 : 97) {
            const unsigned char* p = data.data() + offset;
            const std::uint32_t seed = state = state * 1103515245 + 12345;
            const std::uint32_t expected = bitwise(p, length, seed);
            ASSERT_EQ(crc32.Update(p, length, seed), expected) << offset << " " << length;
            const int half = length / 3;
            ASSERT_EQ(crc32.Update(p + half, length - half, crc32.Update(p, half, seed)), expected)
                << offset << " " << length << " in two";
        }
    }
}
