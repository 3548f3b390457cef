// The sender's window on a line with errors.
#include "protocol/SendWindow.h"

#include <algorithm>

namespace protocol {

void SendWindow::Sent(std::int64_t end, std::uint32_t now) {
    m_pending[m_nextPending] = Pending{end, now};
    m_nextPending = (m_nextPending + 1) % m_pending.size();
}

void SendWindow::Acknowledged(std::int64_t end, std::int64_t step, std::uint32_t now) {
    TimeRoundTrip(end, now);
    if (m_streaming)
        return;
    const std::int64_t rate = TimeDelivery(step, now);
    if (rate > 0 && BytesPerRoundTrip() >= kLongLineBytes) {
        // Each error costs the round trip whatever the window, and a window as wide as the
        // round trip saves little more than the line's buffer: the call streams on.
        m_longLine = true;
        m_streaming = true;
        m_probing = false;
        return;
    }
    if (m_probing) {
        if (rate > 0)
            Probe(rate);
        return;
    }
    if (rate > 0 && WindowBound()) {
        // The whole window came back within about one round trip: the line stood idle for
        // the rest of it, and a wider window costs nothing.
        m_clean = 0;
        Widen();
        return;
    }
    m_clean += step;
    if (m_clean < static_cast<std::int64_t>(kCleanWindowsToWiden) * m_window)
        return;
    m_clean = 0;
    Widen();
}

bool SendWindow::WindowBound() const {
    return m_shortestRoundTrip > 0 && 2 * m_lastSpan <= 3 * m_shortestRoundTrip;
}

void SendWindow::Error() {
    m_clean = 0;
    m_deliveryTiming = false;
    if (m_streaming && m_longLine)
        return;
    if (m_streaming) {
        m_streaming = false;
        m_window = std::max(kFirstWindow, NarrowestWindow());
        m_subpacket = kFullSubpacket;
        m_probing = true;
        m_probeRate = 0;
        return;
    }
    m_probing = false;
    m_subpacket = std::max(kSmallestSubpacket, m_subpacket / 2);
    m_window = std::max(NarrowestWindow(), m_window / 2);
}

std::int64_t SendWindow::BytesPerRoundTrip() const {
    return m_bytesPerSecond * m_shortestRoundTrip / 1000;
}

void SendWindow::Probe(std::int64_t rate) {
    if (m_probeRate > 0 && rate * 4 < m_probeRate * kProbeGainQuarters) {
        // The wider window delivered no faster: the line was already full.
        m_probing = false;
        m_clean = 0;
        m_window = std::max(NarrowestWindow(), m_window / 2);
        return;
    }
    m_probeRate = rate;
    Widen();
}

void SendWindow::Widen() {
    m_window *= 2;
    m_subpacket = std::min(kFullSubpacket, 2 * m_subpacket);
    m_deliveryTiming = false;
    if (m_window >= kStreamingWindow) {
        // A probe that never stopped paying found a long round trip as well.
        m_longLine = m_probing;
        m_streaming = true;
        m_probing = false;
    }
}

int SendWindow::NarrowestWindow() const {
    // Never so narrow that the line would stand idle waiting for acknowledgements.
    const std::int64_t roundTrip = std::min<std::int64_t>(BytesPerRoundTrip(), kStreamingWindow);
    return std::max({kSmallestWindow, 2 * m_subpacket, static_cast<int>(roundTrip)});
}

void SendWindow::TimeRoundTrip(std::int64_t end, std::uint32_t now) {
    for (Pending& pending : m_pending) {
        if (pending.end != end)
            continue;
        const std::uint32_t roundTrip = std::max<std::uint32_t>(1, now - pending.sentAt);
        if (m_shortestRoundTrip == 0 || roundTrip < m_shortestRoundTrip)
            m_shortestRoundTrip = roundTrip;
        pending.end = -1;
        return;
    }
}

std::int64_t SendWindow::TimeDelivery(std::int64_t step, std::uint32_t now) {
    // Timed from one acknowledgement over the next window's worth. While the window limits
    // the line, that span is one round trip (the first subpacket's) plus the time the rest of
    // the window takes on the line: the line's own rate is what remains once the round trip
    // is taken off, whatever the delay.
    if (!m_deliveryTiming) {
        m_deliveryTiming = true;
        m_deliverySince = now;
        m_deliveredBytes = 0;
        return 0;
    }
    m_deliveredBytes += step;
    if (m_deliveredBytes < m_window)
        return 0;
    const std::uint32_t span = std::max<std::uint32_t>(1, now - m_deliverySince);
    m_lastSpan = span;
    const std::int64_t rate = m_deliveredBytes * 1000 / span;
    if (m_shortestRoundTrip > 0 && span > m_shortestRoundTrip + 1 &&
        m_deliveredBytes > m_subpacket) {
        m_bytesPerSecond = (m_deliveredBytes - m_subpacket) * 1000 / (span - m_shortestRoundTrip);
    } else {
        m_bytesPerSecond = std::max(m_bytesPerSecond, rate);
    }
    m_deliverySince = now;
    m_deliveredBytes = 0;
    return rate;
}

} // namespace protocol
