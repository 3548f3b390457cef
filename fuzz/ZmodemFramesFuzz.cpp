// Feeds arbitrary bytes to the ZMODEM frame codec directly, to the frame reader and receiver
// state machine in simulated time, then to the frame layer through a scripted link: headers
// are read as a receiver would, and every data header is followed by its subpackets.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "comm/GFSerial.h"
#include "comm/StatusCodes.h"
#include "platform/Clock.h"
#include "protocol/Zmodem.h"
#include "protocol/ZmodemFrameReader.h"
#include "protocol/ZmodemReceiver.h"
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

// A files side that checks what the receiver hands it: data only at the position it asked
// for, in pieces no longer than a subpacket, and offers of every kind answered.
class CheckingFiles : public protocol::ReceiverFiles {
  public:
    explicit CheckingFiles(int mode) : m_mode{mode} {}
    protocol::OfferStep Offer(const protocol::zmodem::Header&, const unsigned char*,
                              int length) override {
        if (length < 0 || length > 8192)
            std::abort();
        return Step();
    }
    protocol::OfferStep Proved(std::optional<std::uint32_t>) override { return Step(); }
    int Seek(std::int64_t position) override {
        if (position < 0)
            std::abort();
        return 0;
    }
    int Store(const unsigned char*, int length) override {
        if (length <= 0 || length > 8192)
            std::abort();
        return 0;
    }
    int EndFile() override { return 0; }

  private:
    protocol::OfferStep Step() {
        using Kind = protocol::OfferStep::Kind;
        const Kind kinds[] = {Kind::Receive, Kind::Verify, Kind::Skip, Kind::Receive};
        return protocol::OfferStep{kinds[(m_mode >> 3 & 3) ^ (m_steps++ & 1)], m_steps * 100, 0};
    }
    int m_mode;
    int m_steps{0};
};

// The receiver state machine takes any input, in pieces at any times, without a failure
// of its own: every wake-up it asks for lies ahead, and its actions are headers it can send.
void CheckReceiverMachine(const std::uint8_t* data, std::size_t size, int mode) {
    using namespace protocol::zmodem;
    protocol::TransferStatus status;
    CheckingFiles files{mode};
    protocol::ReceiverOptions options;
    options.silenceCounts = (mode & 1) != 0;
    protocol::ZmodemReceiver rx{status, files, options};
    FrameReader reader{8192};
    TimeMs now = 0;
    rx.Start(now);
    const int count = static_cast<int>(size);
    for (int at = 0; at < count && !rx.Finished();) {
        (void)rx.TakeActions();
        now += data[at] % 4 == 0 ? data[at] * 20 : 0;
        if (const std::optional<TimeMs> wake = rx.WakeAt(); wake && *wake <= now) {
            rx.OnFrame(reader.Tick(now), now);
            rx.OnTime(now, 0);
            if (const std::optional<TimeMs> next = rx.WakeAt();
                next && *next <= now && !rx.Finished())
                std::abort();
            continue;
        }
        const int piece = std::min(count - at, 1 + data[at] % 97);
        const long talk = reader.TalkCount();
        int taken = 0;
        const FrameEvent event = reader.Feed(data + at, piece, taken, now);
        at += taken;
        if (reader.TalkCount() != talk)
            rx.OnHeard(now, reader.TalkCount() - talk,
                       event.kind == FrameEvent::Kind::None && !reader.InFrame());
        rx.OnFrame(event, now);
        if (status.position < 0 || status.errors < 0)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    CheckCodec(data + 1, size - 1, data[0]);
    CheckSubpacketSplits(data + 1, size - 1, data[0]);
    CheckHeaderSplits(data + 1, size - 1);
    CheckReceiverMachine(data + 1, size - 1, data[0]);
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
