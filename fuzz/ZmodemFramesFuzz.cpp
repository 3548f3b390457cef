// Feeds arbitrary bytes to the ZMODEM frame codec directly, and to the frame reader with the
// receiver and the sender state machines in simulated time, in pieces at any times.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "protocol/ZmodemFrameReader.h"
#include "protocol/ZmodemReceiver.h"
#include "protocol/ZmodemSender.h"

namespace {

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

// One step of a state machine over the input at `at`: time passes as that byte says, and the
// machine is woken if it asked, or fed the next piece. A wake-up it asks for lies ahead.
template <class Machine>
void Step(Machine& machine, protocol::zmodem::FrameReader& reader, const std::uint8_t* data,
          int count, int& at, protocol::zmodem::TimeMs& now) {
    using namespace protocol::zmodem;
    now += data[at] % 4 == 0 ? data[at] * 20 : 0;
    if (const std::optional<TimeMs> wake = machine.WakeAt(); wake && *wake <= now) {
        machine.OnFrame(reader.Tick(now), now);
        machine.OnTime(now, data[at] % 3);
        if (const std::optional<TimeMs> next = machine.WakeAt();
            next && *next <= now && !machine.Finished())
            std::abort();
        return;
    }
    const int piece = std::min(count - at, 1 + data[at] % 97);
    const long talk = reader.TalkCount();
    int taken = 0;
    const FrameEvent event = reader.Feed(data + at, piece, taken, now);
    at += taken;
    if (reader.TalkCount() != talk)
        machine.OnHeard(now, reader.TalkCount() - talk,
                        event.kind == FrameEvent::Kind::None && !reader.InFrame());
    machine.OnFrame(event, now);
}

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
        Step(rx, reader, data, count, at, now);
        if (status.position < 0 || status.errors < 0)
            std::abort();
    }
}

// A sender's files side over one file of `size` bytes of zeros.
class ZeroFile : public protocol::SenderFiles {
  public:
    explicit ZeroFile(protocol::TransferStatus& status) : m_status{status} {}
    protocol::SenderOffer Next(unsigned char* info, int capacity) override {
        if (m_offered || capacity < 16)
            return protocol::SenderOffer{};
        m_offered = true;
        m_status.fileSize = kSize;
        std::memcpy(info,
                    "f\0"
                    "5000 0 0",
                    10);
        return protocol::SenderOffer{protocol::SenderOffer::Kind::File, 10, 0};
    }
    int Read(std::int64_t position, unsigned char* data, int length) override {
        // The machine never asks for bytes outside the file it offered.
        if (position < 0 || length <= 0 || position + length > kSize)
            std::abort();
        std::memset(data, 0, static_cast<std::size_t>(length));
        return length;
    }
    std::uint32_t Crc(std::int64_t length) override {
        if (length < 0 || length > kSize)
            std::abort();
        return 0;
    }
    void Close() override {}

  private:
    static constexpr std::int64_t kSize = 5000;
    protocol::TransferStatus& m_status;
    bool m_offered{false};
};

// The sender state machine takes any answers, in pieces at any times: it stays inside its
// file, every wake-up it asks for lies ahead, and no subpacket it makes is longer than one.
void CheckSenderMachine(const std::uint8_t* data, std::size_t size, int mode) {
    using namespace protocol::zmodem;
    protocol::TransferStatus status;
    ZeroFile files{status};
    protocol::SenderOptions options;
    options.windowed = (mode & 1) != 0;
    options.adaptive = (mode & 2) != 0;
    protocol::ZmodemSender tx{status, files, options};
    FrameReader reader{8192};
    TimeMs now = 0;
    tx.Start(now);
    const int count = static_cast<int>(size);
    for (int at = 0, writes = 0; at < count && !tx.Finished();) {
        for (const protocol::ZmodemSender::Action& action : tx.TakeActions())
            if (action.length < 0 || action.length > protocol::ZmodemSender::kSubpacketSize)
                std::abort();
        if (tx.WantsToWrite() && writes++ < 64) {
            tx.OnWritable(now);
            continue;
        }
        writes = 0;
        Step(tx, reader, data, count, at, now);
        if (status.position < 0 || status.position > 5000 || status.errors < 0)
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
    CheckSenderMachine(data + 1, size - 1, data[0]);
    return 0;
}
