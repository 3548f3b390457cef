// Block updates of the checks: one table lookup per byte for CRC-16, eight bytes per step
// for CRC-32 (the per-byte path of every subpacket, sent and received), and where the
// processor multiplies without carries, CRC-32 folded sixteen bytes a step.
#include "protocol/Checksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SENDARI_CRC32_FOLDING 1
#include <immintrin.h>
#endif

namespace protocol {

namespace {
// Tables for eight bytes at a time: row k maps a byte to its contribution k bytes further on.
constexpr std::array<std::array<std::uint32_t, 256>, 8> MakeSlicedCrc32Tables() {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    t[0] = detail::MakeCrc32Table(Crc32::kPolynomial);
    for (int k = 1; k < 8; ++k)
        for (int i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}
constexpr auto kSliced = MakeSlicedCrc32Tables();

std::uint32_t LoadLittleEndian(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint32_t SlicedUpdate(const unsigned char* data, int length, std::uint32_t crc) {
    int i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint32_t low = LoadLittleEndian(data + i) ^ crc;
        std::uint32_t high = LoadLittleEndian(data + i + 4);
        crc = kSliced[7][low & 0xFF] ^ kSliced[6][(low >> 8) & 0xFF] ^
              kSliced[5][(low >> 16) & 0xFF] ^ kSliced[4][low >> 24] ^ kSliced[3][high & 0xFF] ^
              kSliced[2][(high >> 8) & 0xFF] ^ kSliced[1][(high >> 16) & 0xFF] ^
              kSliced[0][high >> 24];
    }
    for (; i < length; ++i)
        crc = Crc32::UpdateByte(crc, data[i]);
    return crc;
}

#if SENDARI_CRC32_FOLDING
// Folding. The CRC register seeded with `crc` over a message is the register seeded with 0
// over the message with `crc` added to its first four bytes, and it depends only on the
// message modulo the polynomial P. So a 16-byte block X followed by a block Y may be replaced
// by one block congruent to X * x^128 + Y: X's first eight bytes (H, the higher terms) times
// x^192 mod P, plus its last eight (L) times x^128 mod P, plus Y. What is left at the end is
// one block, run through the table.
//
// In the reflected order bit i of a block stands for x^(127 - i), and a carry-less product
// of two 64-bit halves lands one place short of that order; so each constant is
// x * (x^(n - 1) mod P), laid out with the term x^d at bit 64 - d.
constexpr std::uint32_t kForwardPolynomial = 0x04C11DB7; // P without x^32, x^31 first

// x^n mod P, with the term x^d at bit d.
constexpr std::uint32_t PowerOfX(int n) {
    std::uint32_t r = 1;
    for (int i = 0; i < n; ++i)
        r = (r & 0x80000000u) ? (r << 1) ^ kForwardPolynomial : r << 1;
    return r;
}

// Bit d to bit 63 - d.
constexpr std::uint64_t Reversed(std::uint64_t v) {
    std::uint64_t r = 0;
    for (int bit = 0; bit < 64; ++bit)
        r |= ((v >> bit) & 1) << (63 - bit);
    return r;
}

constexpr std::uint64_t kFoldHigh = Reversed(PowerOfX(191)); // for H: x^192 mod P
constexpr std::uint64_t kFoldLow = Reversed(PowerOfX(127));  // for L: x^128 mod P

// At least 32 bytes.
__attribute__((target("pclmul,sse2"))) std::uint32_t FoldedUpdate(const unsigned char* data,
                                                                  int length, std::uint32_t crc) {
    const __m128i constants =
        _mm_set_epi64x(static_cast<long long>(kFoldLow), static_cast<long long>(kFoldHigh));
    __m128i block = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)),
                                  _mm_cvtsi32_si128(static_cast<int>(crc)));
    int i = 16;
    for (; i + 16 <= length; i += 16) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i high = _mm_clmulepi64_si128(block, constants, 0x00);
        const __m128i low = _mm_clmulepi64_si128(block, constants, 0x11);
        block = _mm_xor_si128(next, _mm_xor_si128(high, low));
    }
    unsigned char last[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last), block);
    return SlicedUpdate(data + i, length - i, SlicedUpdate(last, 16, 0));
}

// Below this the table is as quick.
constexpr int kFoldingFrom = 64;

bool CanFold() {
    static const bool supported = __builtin_cpu_supports("pclmul");
    return supported;
}
#endif
} // namespace

std::uint32_t Checksum::Update(const unsigned char* data, int length, std::uint32_t seed) const {
    std::uint32_t sum = seed;
    for (int i = 0; i < length; ++i)
        sum += static_cast<std::uint32_t>(static_cast<int>(static_cast<signed char>(data[i])));
    return sum;
}

std::uint32_t Crc16::Update(const unsigned char* data, int length, std::uint32_t seed) const {
    std::uint16_t crc = static_cast<std::uint16_t>(seed);
    for (int i = 0; i < length; ++i)
        crc = UpdateByte(crc, data[i]);
    return crc;
}

std::uint32_t Crc32::Update(const unsigned char* data, int length, std::uint32_t seed) const {
#if SENDARI_CRC32_FOLDING
    if (length >= kFoldingFrom && CanFold())
        return FoldedUpdate(data, length, seed);
#endif
    return SlicedUpdate(data, length, seed);
}

} // namespace protocol
