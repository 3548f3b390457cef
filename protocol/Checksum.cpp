// Block updates of the checks: one table lookup per byte for CRC-16, eight bytes per step
// for CRC-32 (the per-byte path of every subpacket, sent and received).
#include "protocol/Checksum.h"

#include <array>
#include <cstring>

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
    std::uint32_t crc = seed;
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
        crc = UpdateByte(crc, data[i]);
    return crc;
}

} // namespace protocol
