// Block checks of the transfer protocols: the plain byte sum, CRC-16/XMODEM and the reflected
// CRC-32 of ISO 3309. The CRC tables are generated from the polynomials at compile time.
#pragma once

#include <array>
#include <cstdint>

namespace protocol {

namespace detail {
// Most significant bit first, as CRC-16/XMODEM runs.
constexpr std::array<std::uint16_t, 256> MakeCrc16Table(std::uint16_t polynomial) {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ polynomial : crc << 1);
        table[i] = crc;
    }
    return table;
}

// Least significant bit first (reflected), as the CRC-32 of ISO 3309 runs.
constexpr std::array<std::uint32_t, 256> MakeCrc32Table(std::uint32_t polynomial) {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ polynomial : crc >> 1;
        table[i] = crc;
    }
    return table;
}
} // namespace detail

class Checksum {
  public:
    virtual ~Checksum() = default;
    // The sum of the bytes taken as signed characters, added to `seed`.
    virtual std::uint32_t Update(const unsigned char* data, int length, std::uint32_t seed) const;
    virtual int Width() const { return 8; }
};

class Crc16 : public Checksum {
  public:
    static constexpr std::uint16_t kPolynomial = 0x1021;

    std::uint32_t Update(const unsigned char* data, int length, std::uint32_t seed) const override;
    int Width() const override { return 16; }

    static constexpr std::uint16_t UpdateByte(std::uint16_t crc, unsigned char byte) {
        return static_cast<std::uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ byte) & 0xFF]);
    }

  private:
    static constexpr std::array<std::uint16_t, 256> kTable = detail::MakeCrc16Table(kPolynomial);
};

class Crc32 : public Checksum {
  public:
    static constexpr std::uint32_t kPolynomial = 0xEDB88320;
    static constexpr std::uint32_t kSeed = 0xFFFFFFFF;
    // What a receiver holds after running data, end code and the sent (complemented) CRC
    // through the update.
    static constexpr std::uint32_t kResidue = 0xDEBB20E3;

    std::uint32_t Update(const unsigned char* data, int length, std::uint32_t seed) const override;
    int Width() const override { return 32; }

    static constexpr std::uint32_t UpdateByte(std::uint32_t crc, unsigned char byte) {
        return kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    }

  private:
    static constexpr std::array<std::uint32_t, 256> kTable = detail::MakeCrc32Table(kPolynomial);
};

} // namespace protocol
