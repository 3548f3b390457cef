// The ZMODEM frame codec: headers in the three forms and data subpackets made into bytes for the
// wire, and the checks of what arrived. No I/O and no clock: bytes and frames in, bytes and
// typed results out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace protocol::zmodem {
inline constexpr int kZpad = '*';
inline constexpr int kZdle = 0x18;
inline constexpr int kCan = 0x18;
inline constexpr int kZbin = 'A';
inline constexpr int kZhex = 'B';
inline constexpr int kZbin32 = 'C';
inline constexpr int kZcrce = 'h';
inline constexpr int kZcrcg = 'i';
inline constexpr int kZcrcq = 'j';
inline constexpr int kZcrcw = 'k';
inline constexpr int kZrub0 = 'l';
inline constexpr int kZrub1 = 'm';
inline constexpr int kXon = 0x11;
inline constexpr int kXoff = 0x13;
inline constexpr int kCr = 0x0D;
inline constexpr int kLf = 0x0A;

// Frame types.
inline constexpr int kZrqinit = 0;
inline constexpr int kZrinit = 1;
inline constexpr int kZsinit = 2;
inline constexpr int kZack = 3;
inline constexpr int kZfile = 4;
inline constexpr int kZskip = 5;
inline constexpr int kZnak = 6;
inline constexpr int kZabort = 7;
inline constexpr int kZfin = 8;
inline constexpr int kZrpos = 9;
inline constexpr int kZdata = 10;
inline constexpr int kZeof = 11;
inline constexpr int kZferr = 12;
inline constexpr int kZcrc = 13;
inline constexpr int kZcan = 16;
inline constexpr int kLastFrameType = 19;

// Receiver capabilities (ZF0 of its ZRINIT).
inline constexpr int kCanFullDuplex = 0x01;
inline constexpr int kCanOverlapIo = 0x02;
inline constexpr int kCanBreak = 0x04;
inline constexpr int kCanFcs32 = 0x20;

// Where the flag bytes sit in a header's four data bytes.
inline constexpr int kZf0 = 3;
inline constexpr int kZf1 = 2;
inline constexpr int kZf2 = 1;
inline constexpr int kZf3 = 0;

// Whether a byte goes on the wire as ZDLE followed by the byte XOR 0x40 (a carriage return
// only after an '@', see FrameEncoder).
inline constexpr std::array<bool, 256> kEscaped = [] {
    std::array<bool, 256> table{};
    for (int b : {0x0D, 0x10, 0x11, 0x13, 0x18, 0x8D, 0x90, 0x91, 0x93})
        table[b] = true;
    return table;
}();

// A header's frame type and its four data bytes, in wire order (ZP0..ZP3, also ZF3..ZF0).
struct Header {
    int type{0};
    std::array<unsigned char, 4> data{};

    static Header AtPosition(int type, std::uint32_t position);
    std::uint32_t Position() const;
    bool operator==(const Header&) const = default;
};

enum class Check { Crc16, Crc32 };

// The digits of a hex header that follow "**" ZDLE 'B': type, four data bytes and the CRC-16,
// each as two lowercase hex digits.
inline constexpr int kHexDigitCount = 14;
// The largest encoded hex header: pads, ZDLE, form, digits, CR LF and XON.
inline constexpr int kMaxHexHeaderBytes = 4 + kHexDigitCount + 3;
// The largest encoded binary header: ZPAD ZDLE form and nine bytes, every one escaped.
inline constexpr int kMaxBinaryHeaderBytes = 3 + 2 * 9;

// Frames made into bytes for the wire. It remembers the last byte it wrote for the one rule
// that looks back: a carriage return right after an '@' is escaped, so that no "@ CR" reaches
// a network that takes it as a command; any other carriage return travels raw.
class FrameEncoder {
  public:
    // The whole hex header; ZACK and ZFIN end without the XON that others carry. Returns the
    // number of bytes written to `out` (kMaxHexHeaderBytes at most).
    int HexHeader(const Header& header, unsigned char* out);
    // The whole binary header with a CRC-16 ('A') or CRC-32 ('C'); returns the bytes written.
    int BinaryHeader(const Header& header, Check check, unsigned char* out);
    // `length` data bytes, ZDLE and `endCode`, the CRC over both, and an XON after ZCRCW;
    // `out` holds 2 * length + 11 bytes. Returns the bytes written.
    int Subpacket(const unsigned char* data, int length, int endCode, Check check,
                  unsigned char* out);
    // Data bytes with each that must not travel raw written as ZDLE and the byte XOR 0x40.
    int Escape(const unsigned char* data, int length, unsigned char* out);

  private:
    unsigned char m_last{kLf};
};

// Reads one data subpacket from bytes as they come, in pieces of any size: ZDLE escapes undone,
// raw XON and XOFF dropped, the end code and the CRC after it checked. Five CANs in a row
// (the ZDLE counts as the first) cancel.
class SubpacketDecoder {
  public:
    enum class Result {
        NeedMore,       // every byte given was taken; the subpacket goes on
        Complete,       // the subpacket is in the buffer, EndCode() and Length() say how it ended
        BadCrc,         // the CRC does not match, or an end code stood where the CRC belongs
        TooLong,        // more data than the buffer holds
        Cancelled,      // five CANs
        FlowControlRun, // an endless run of XON and XOFF: the sender is not talking
    };
    // The longest run of raw XON/XOFF taken as flow control and not as a silent line.
    static constexpr int kFlowControlRunLimit = 4096;

    // Starts a subpacket to be read into `buffer`, which holds `capacity` bytes.
    void Start(Check check, unsigned char* buffer, int capacity);
    // Takes bytes up to the end of the subpacket or a failure; `taken` says how many.
    [[nodiscard]] Result Feed(const unsigned char* bytes, int count, int& taken);

    int Length() const { return m_length; }
    int EndCode() const { return m_endCode; }

  private:
    enum class State { Data, Escaped, Crc, CrcEscaped };
    Result TakeEscaped(unsigned char c);
    Result TakeCrcByte(unsigned char c);

    Check m_check{Check::Crc32};
    unsigned char* m_buffer{nullptr};
    int m_capacity{0};
    int m_length{0};
    int m_endCode{0};
    State m_state{State::Data};
    int m_cans{0};
    int m_flowRun{0};
    unsigned char m_crc[4]{};
    int m_crcLength{0};
};

// Whether `c` (parity bit ignored) may stand in a hex header's digits: 0-9 and a-f.
bool IsHexDigit(int c);
// The header the fourteen digits carry (parity bits ignored), or nullopt when a digit is not
// lowercase hex or the CRC-16 is wrong. The type is the caller's to judge (see kLastFrameType).
std::optional<Header> DecodeHexDigits(const unsigned char digits[kHexDigitCount]);
// The header that the unescaped type, data and CRC bytes carry (7 with a CRC-16, 9 with a
// CRC-32), or nullopt when the CRC is wrong.
std::optional<Header> DecodeBinaryHeader(const unsigned char* bytes, Check check);
// Whether the unescaped CRC bytes that followed a subpacket match its data and end code.
bool SubpacketCrcMatches(const unsigned char* data, int length, int endCode, Check check,
                         const unsigned char* crc);
inline constexpr int CrcBytes(Check check) {
    return check == Check::Crc32 ? 4 : 2;
}

} // namespace protocol::zmodem
