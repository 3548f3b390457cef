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
// CANs in a row that cancel the session, wherever they come.
inline constexpr int kCancelCount = 5;
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
    // Copies the plain bytes at the start of `bytes` into the buffer; how many.
    int TakePlainRun(const unsigned char* bytes, int count);
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

// Finds and reads one frame header in bytes as they come, in pieces of any size: the hunt
// for ZPAD, ZDLE and the form, then the fourteen hex digits and their line end, or the
// escaped bytes of a binary header. Raw XON and XOFF are dropped, the parity bit of the
// pads, the form and hex digits ignored; five CANs in a row cancel. Time is the caller's:
// it tells the decoder when the line went quiet.
class HeaderDecoder {
  public:
    enum class Result {
        NeedMore,  // every byte given was taken; no header yet
        Header,    // Decoded() holds the header, Form() its form
        Damaged,   // a header began but did not check: the hunt goes on after it
        Garbage,   // kGarbageLimit bytes came without a header since Start
        Cancelled, // five CANs
    };
    static constexpr int kGarbageLimit = 2048;
    // Bytes after a hex header's digits in which its line feed may come (CR and XON before it).
    static constexpr int kLineEndLookahead = 5;
    // The longest run of flow control inside a header before the header counts as damaged.
    static constexpr int kFlowControlRunLimit = 4096;

    // Starts the search with no garbage counted.
    void Start();
    // Takes bytes up to the end of a header or a failure; `taken` says how many. After a
    // Header or Damaged result the next Feed hunts for the next header.
    [[nodiscard]] Result Feed(const unsigned char* bytes, int count, int& taken);
    // The line fell quiet: a run of CANs is broken off, and a hex header still waiting for
    // its line end is taken without it (Header); otherwise NeedMore.
    [[nodiscard]] Result LineQuiet();
    // Gives up the header begun (its next byte never came) and hunts again.
    void Abandon();

    // Past the first ZPAD: the rest of the header is due at once.
    bool InHeader() const { return m_state != State::Hunt; }
    bool AwaitingLineEnd() const { return m_state == State::LineEnd; }
    const Header& Decoded() const { return m_header; }
    // kZhex, kZbin or kZbin32; the character that stood there for an unknown form; 0 before.
    int Form() const { return m_form; }
    // Whether the hex header just decoded ended with its line feed.
    bool LineEndSeen() const { return m_lineEndSeen; }
    // Whether the last damaged header was whole but its CRC did not match.
    bool CrcFailed() const { return m_crcFailed; }
    int GarbageCount() const { return m_garbage; }
    // Bytes other than flow control taken since Start: whether the other side is talking.
    long TalkCount() const { return m_talk; }

  private:
    enum class State { Hunt, Pads, Form, HexDigits, LineEnd, Binary, BinaryEscaped };
    Result Take(unsigned char c);
    Result Hunt(unsigned char c);
    Result TakeForm(int c);
    Result TakeHexDigit(int c);
    Result TakeLineEnd(int c);
    Result TakeBinary(unsigned char c);
    Result CountGarbage();
    // Ends the header begun: the decoded header when it checks and its type is one ZMODEM
    // has, Damaged otherwise.
    Result Finish(const std::optional<Header>& header);

    State m_state{State::Hunt};
    int m_form{0};
    Header m_header;
    bool m_lineEndSeen{false};
    bool m_crcFailed{false};
    int m_garbage{0};
    long m_talk{0};
    int m_cans{0};
    int m_flowRun{0};
    unsigned char m_bytes[kHexDigitCount]{};
    int m_count{0};
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
