// Feeds arbitrary bytes to the ZMODEM frame codec directly, then to the frame layer through a
// scripted link: headers are read as a receiver would, and every data header is followed by
// its subpackets.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "comm/GFSerial.h"
#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "protocol/Zmodem.h"
#include "tests/support/StubLink.h"

namespace {

// Serves the fuzz input in bursts of varying size; once it is used up, Idle reports a
// failure so that every wait ends at once instead of running into its time-out.
class ScriptedLink : public testsupport::StubLink {
  public:
    ScriptedLink(const std::uint8_t* data, std::size_t size)
        : StubLink(0), m_data{data}, m_size{size} {}

    int Idle() override { return m_position < m_size ? 0 : comm::kGeneralError; }
    int GetQueueStatus(comm::QueueStatus& status) override {
        status.receiveCount = static_cast<long>(m_size - m_position);
        return 0;
    }
    int SetHandshake(int, int) override { return 0; }
    int GetHandshake(int& i, int& o) override {
        i = o = 0;
        return 0;
    }
    int SetLineParams(long, char, int, int) override { return 0; }
    int GetLineParams(long& b, char& p, int& d, int& s) override {
        b = 9600, p = 'N', d = 8, s = 1;
        return 0;
    }
    int GetLineStates(unsigned char states[4]) override {
        std::memset(states, 0, 4);
        return 0;
    }
    int WriteChar(int) override { return 0; }
    int WriteBuffer(const unsigned char*, int length) override { return length; }
    int ReadChar() override { return m_position < m_size ? m_data[m_position++] : comm::kTimedOut; }
    int ReadBuffer(unsigned char* buffer, int length) override {
        // Burst sizes follow the data so that buffer refills land everywhere.
        std::size_t burst = m_position < m_size ? 1 + m_data[m_position] % 61 : 0;
        std::size_t n = std::min({burst, m_size - m_position, static_cast<std::size_t>(length)});
        std::memcpy(buffer, m_data + m_position, n);
        m_position += n;
        return static_cast<int>(n);
    }
    int Purge(int direction, int) override {
        if (direction == 0)
            m_position = m_size;
        return 0;
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position{0};
};

// The codec alone: a header it takes encodes back to the same bytes, and any data encodes to
// a subpacket that escapes what must not travel raw and carries a CRC that checks.
void CheckCodec(const std::uint8_t* data, std::size_t size, int mode) {
    using namespace protocol::zmodem;
    if (size >= kHexDigitCount) {
        if (const auto header = DecodeHexDigits(data)) {
            unsigned char out[kMaxHexHeaderBytes];
            FrameEncoder{}.HexHeader(*header, out);
            for (int i = 0; i < kHexDigitCount; ++i)
                if (out[4 + i] != (data[i] & 0x7F))
                    std::abort();
        }
    }
    const Check check = mode & 0x20 ? Check::Crc32 : Check::Crc16;
    if (size >= 9) {
        if (const auto header = DecodeBinaryHeader(data, check)) {
            unsigned char out[kMaxBinaryHeaderBytes];
            const int n = FrameEncoder{}.BinaryHeader(*header, check, out);
            unsigned char plain[9];
            int length = 0;
            for (int i = 3; i < n; ++i)
                plain[length++] = out[i] == kZdle ? out[++i] ^ 0x40 : out[i];
            if (length != 5 + CrcBytes(check) || std::memcmp(plain, data, length) != 0)
                std::abort();
        }
    }
    const int length = static_cast<int>(std::min<std::size_t>(size, 1024));
    static unsigned char wire[2 * 1024 + 11];
    const int endCode = kZcrce + (mode >> 2 & 3);
    const int n = FrameEncoder{}.Subpacket(data, length, endCode, check, wire);
    int at = 0;
    unsigned char last = kLf;
    for (int i = 0; i < length; ++i, ++at) {
        const unsigned char c = wire[at] == kZdle ? wire[++at] ^ 0x40 : wire[at];
        const bool mustEscape = kEscaped[c] && ((c & 0x7F) != kCr || (last & 0x7F) == '@');
        if (c != data[i] || (wire[at] != c) != mustEscape)
            std::abort();
        last = wire[at];
    }
    unsigned char crc[4];
    if (wire[at++] != kZdle || wire[at++] != endCode)
        std::abort();
    for (int i = 0; i < CrcBytes(check); ++i, ++at)
        crc[i] = wire[at] == kZdle ? wire[++at] ^ 0x40 : wire[at];
    if (!SubpacketCrcMatches(data, length, endCode, check, crc) || at + (endCode == kZcrcw) != n)
        std::abort();
}

// The subpacket decoder ends the same way with the same data however the bytes are cut.
void CheckSubpacketSplits(const std::uint8_t* data, std::size_t size, int mode) {
    using protocol::zmodem::SubpacketDecoder;
    const auto check =
        mode & 0x20 ? protocol::zmodem::Check::Crc32 : protocol::zmodem::Check::Crc16;
    static unsigned char whole[8192], pieces[8192];
    const int capacity = 1 + (mode & 0x40 ? 8191 : 63);
    SubpacketDecoder one, cut;
    one.Start(check, whole, capacity);
    cut.Start(check, pieces, capacity);
    const int count = static_cast<int>(size);
    int takenWhole = 0;
    const SubpacketDecoder::Result first = one.Feed(data, count, takenWhole);
    SubpacketDecoder::Result second = SubpacketDecoder::Result::NeedMore;
    int at = 0;
    while (at < count && second == SubpacketDecoder::Result::NeedMore) {
        const int piece = std::min(count - at, 1 + data[at] % 7);
        int taken = 0;
        second = cut.Feed(data + at, piece, taken);
        at += taken;
    }
    if (first != second || takenWhole != at || one.Length() != cut.Length() ||
        one.Length() > capacity || std::memcmp(whole, pieces, one.Length()) != 0)
        std::abort();
}

// The header decoder reads the same headers, with the same results, however the bytes are cut;
// a header it takes has a type ZMODEM knows.
void CheckHeaderSplits(const std::uint8_t* data, std::size_t size) {
    using protocol::zmodem::HeaderDecoder;
    HeaderDecoder one, cut;
    one.Start();
    cut.Start();
    const int count = static_cast<int>(size);
    int atWhole = 0, atCut = 0;
    while (atWhole < count) {
        int taken = 0;
        const HeaderDecoder::Result first = one.Feed(data + atWhole, count - atWhole, taken);
        atWhole += taken;
        HeaderDecoder::Result second = HeaderDecoder::Result::NeedMore;
        while (atCut < count && second == HeaderDecoder::Result::NeedMore) {
            const int piece = std::min(count - atCut, 1 + data[atCut] % 5);
            second = cut.Feed(data + atCut, piece, taken);
            atCut += taken;
        }
        if (first != second || (first == HeaderDecoder::Result::Header &&
                                (!(one.Decoded() == cut.Decoded()) ||
                                 one.Decoded().type > protocol::zmodem::kLastFrameType)))
            std::abort();
        if (first == HeaderDecoder::Result::NeedMore)
            break;
        if (first != HeaderDecoder::Result::Header && first != HeaderDecoder::Result::Damaged)
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    CheckCodec(data + 1, size - 1, data[0]);
    CheckSubpacketSplits(data + 1, size - 1, data[0]);
    CheckHeaderSplits(data + 1, size - 1);
    // The settling waits after a cancel run in accelerated time, so an input costs no
    // real seconds.
    static const bool accelerated = (platform::SetTimeAcceleration(100000.0), true);
    (void)accelerated;
    const int mode = data[0];
    ScriptedLink link(data + 1, size - 1);
    comm::GFSerial serial(&link);
    protocol::Zmodem zmodem(&serial);
    zmodem.SetReceiverCapabilities(mode & 0x20, 0);
    const auto onError =
        (mode & 1) ? protocol::OnHeaderError::Return : protocol::OnHeaderError::Retry;
    for (int round = 0; round < 64 && zmodem.Status().statusCode >= 0; ++round) {
        int type = zmodem.ReadFrameHeader(onError);
        if (type < 0) {
            if (!zmodem.InputWaiting())
                break;
            continue;
        }
        if (type != protocol::zmodem::kZdata && type != protocol::zmodem::kZfile &&
            type != protocol::zmodem::kZsinit && !(mode & 2))
            continue;
        for (;;) {
            int end = zmodem.ReadDataSubpacket();
            if (zmodem.Status().blockLength < 0 ||
                zmodem.Status().blockLength > protocol::FileTransfer::kDataBufferSize)
                std::abort();
            if (end < 0 || end == protocol::zmodem::kZcrce || end == protocol::zmodem::kZcrcw)
                break;
        }
    }
    return 0;
}
