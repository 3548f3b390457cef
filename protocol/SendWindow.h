// How much a sender leaves unacknowledged on a line that shows errors: it streams while the
// line is clean; once the receiver asks for data again it keeps a window of data not yet
// acknowledged, sized from what the acknowledgements show of the line. No I/O and no clock:
// the time comes in with each event.
#pragma once

#include <array>
#include <cstdint>

namespace protocol {

class SendWindow {
  public:
    static constexpr int kFullSubpacket = 1024;
    static constexpr int kSmallestSubpacket = 256;
    // The window the first error brings, and the narrowest any later error leaves.
    static constexpr int kFirstWindow = 4096;
    static constexpr int kSmallestWindow = 1024;
    // A window this wide streams: the line holds no more than that anyway.
    static constexpr int kStreamingWindow = 65536;
    // A line whose round trip carries this much streams through errors.
    static constexpr int kLongLineBytes = kStreamingWindow / 2;
    // Clean bytes, in windows, after which the window and the subpackets double.
    static constexpr int kCleanWindowsToWiden = 8;
    // While the first window after streaming is probed, each doubling must raise the delivery
    // rate by this factor (in quarters) to be kept: a line with a long round trip needs a wide
    // window, found in a few round trips; on a short one the first doubling buys nothing.
    static constexpr int kProbeGainQuarters = 5;

    bool Streaming() const { return m_streaming; }
    int Window() const { return m_window; }
    int Subpacket() const { return m_subpacket; }

    // A subpacket that asks for an acknowledgement went out, ending at `end`.
    void Sent(std::int64_t end, std::uint32_t now);
    // The receiver confirmed `step` more bytes, up to `end`.
    void Acknowledged(std::int64_t end, std::int64_t step, std::uint32_t now);
    // The receiver asked for data again. On a line found to carry kLongLineBytes in a round
    // trip, the sender streams on.
    void Error();

    // What the line carries in one round trip, as far as the acknowledgements have shown it
    // (0 before they have).
    std::int64_t BytesPerRoundTrip() const;

    // Whether the window is still being widened each time a window's worth was delivered.
    bool Probing() const { return m_probing; }

  private:
    // Whether the window just doubled delivered enough faster to double it again.
    void Probe(std::int64_t rate);
    void Widen();
    // Whether the last window's acknowledgements took no longer than about one round trip.
    bool WindowBound() const;
    void TimeRoundTrip(std::int64_t end, std::uint32_t now);
    // The delivery rate once a window's worth more was acknowledged, else 0.
    std::int64_t TimeDelivery(std::int64_t step, std::uint32_t now);
    int NarrowestWindow() const;

    bool m_streaming{true};
    int m_window{kFirstWindow};
    int m_subpacket{kFullSubpacket};
    std::int64_t m_clean{0}; // acknowledged since the last error or widening

    bool m_probing{false};
    bool m_longLine{false};      // streams on through errors
    std::int64_t m_probeRate{0}; // bytes a second the window before delivered (0: none yet)

    struct Pending {
        std::int64_t end{-1};
        std::uint32_t sentAt{0};
    };
    std::array<Pending, 64> m_pending{};
    std::size_t m_nextPending{0};
    std::uint32_t m_shortestRoundTrip{0}; // ms; 0 before one was timed
    bool m_deliveryTiming{false};
    std::uint32_t m_deliverySince{0};
    std::int64_t m_deliveredBytes{0};
    std::uint32_t m_lastSpan{0};      // ms the last window's worth took to be acknowledged
    std::int64_t m_bytesPerSecond{0}; // the line's rate, as the last whole window showed it
};

} // namespace protocol
