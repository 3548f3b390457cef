// Reads ZMODEM frames from bytes as they come: headers, and after a header that carries data
// the subpackets that follow it, with the time-outs inside a frame. No I/O and no clock: the
// caller passes the time in with the bytes, and asks for a tick when Deadline() has passed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "protocol/ZmodemCodec.h"

namespace protocol::zmodem {

// Milliseconds on a clock of the caller's choosing; only differences matter.
using TimeMs = std::int64_t;

// How long the next byte of a frame begun may take, and a hex header's line end.
inline constexpr TimeMs kFrameByteTimeoutMs = 2500;
inline constexpr TimeMs kLineEndWaitMs = 55;
// A pause this long between frames breaks off a run of CANs.
inline constexpr TimeMs kCancelRunBreakMs = 1000;

struct FrameEvent {
    enum class Kind {
        None,          // nothing yet: every byte given was taken
        Header,        // `header` in `form` (kZhex, kZbin, kZbin32)
        Damaged,       // a header began but did not check
        CutOff,        // a header began and its next byte never came
        Subpacket,     // `data`, `length` and `endCode` hold a subpacket that checks
        BadSubpacket,  // a subpacket's CRC failed, or it stopped coming
        LongSubpacket, // a subpacket longer than the buffer
        Garbage,       // too much came without a header
        Cancelled,     // five CANs in a row
    };
    Kind kind{Kind::None};
    Header header;
    int form{0};
    bool lineEndSeen{false};
    bool crcFailed{false};
    int endCode{0};
    const unsigned char* data{nullptr};
    int length{0};
};

class FrameReader {
  public:
    // Subpackets of up to `capacity` bytes are read whole.
    explicit FrameReader(int capacity);

    // Takes bytes up to the next event; `taken` says how many.
    [[nodiscard]] FrameEvent Feed(const unsigned char* bytes, int count, int& taken, TimeMs now);
    // When a frame begun times out; nothing while the reader waits between frames.
    std::optional<TimeMs> Deadline() const;
    // The deadline passed without the byte it waited for.
    [[nodiscard]] FrameEvent Tick(TimeMs now);
    // The input was thrown away: the next bytes are searched for a header.
    void Reset();

    // Bytes other than flow control taken so far: whether the other side is talking.
    long TalkCount() const { return m_talkBase + m_headers.TalkCount() + m_subpacketTalk; }
    // Inside a header or a subpacket: the rest is due at once.
    bool InFrame() const { return m_inSubpacket || m_headers.InHeader(); }
    // Whether a buffer of bytes ended inside a header (a header of frames outside the hunt).
    bool InHeader() const { return m_headers.InHeader(); }

  private:
    FrameEvent HeaderEvent(HeaderDecoder::Result result);
    FrameEvent SubpacketEvent(SubpacketDecoder::Result result);
    void StartHunt();

    std::unique_ptr<unsigned char[]> m_buffer;
    int m_capacity;
    HeaderDecoder m_headers;
    SubpacketDecoder m_subpacket;
    bool m_inSubpacket{false};
    Check m_check{Check::Crc32};
    long m_talkBase{0};
    long m_subpacketTalk{0};
    TimeMs m_lastByte{0};
    bool m_byteSeen{false};
};

// Whether a header of this type is followed by a data subpacket.
bool CarriesData(int type);

// Output still on its way explains a silence: the answer cannot come before what it answers
// has gone out. `before` is what was queued at the last look (-1: none yet).
inline bool StillDraining(long queued, long before) {
    return queued > 0 && (before < 0 || queued < before);
}

} // namespace protocol::zmodem
