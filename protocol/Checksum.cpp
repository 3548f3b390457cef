// Block updates of the checks; one table lookup per byte for the CRCs.
#include "protocol/Checksum.h"

namespace protocol {

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
    for (int i = 0; i < length; ++i)
        crc = UpdateByte(crc, data[i]);
    return crc;
}

} // namespace protocol
