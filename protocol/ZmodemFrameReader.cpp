// Headers and the subpackets after them, read from bytes as they come.
#include "protocol/ZmodemFrameReader.h"

namespace protocol::zmodem {

namespace {
constexpr int kZcommand = 18;
} // namespace

bool CarriesData(int type) {
    return type == kZsinit || type == kZfile || type == kZdata || type == kZcommand;
}

FrameReader::FrameReader(int capacity)
    : m_buffer{std::make_unique<unsigned char[]>(static_cast<std::size_t>(capacity))},
      m_capacity{capacity} {
    StartHunt();
}

void FrameReader::StartHunt() {
    // The garbage limit counts from the last frame; the talk goes on being counted.
    m_talkBase += m_headers.TalkCount();
    m_headers.Start();
    m_inSubpacket = false;
}

void FrameReader::Reset() {
    StartHunt();
    m_byteSeen = false;
}

FrameEvent FrameReader::Feed(const unsigned char* bytes, int count, int& taken, TimeMs now) {
    taken = 0;
    if (count <= 0)
        return {};
    if (!InFrame() && m_byteSeen && now - m_lastByte >= kCancelRunBreakMs)
        (void)m_headers.LineQuiet();
    m_lastByte = now;
    m_byteSeen = true;
    if (m_inSubpacket) {
        const SubpacketDecoder::Result result = m_subpacket.Feed(bytes, count, taken);
        m_subpacketTalk += taken;
        return SubpacketEvent(result);
    }
    return HeaderEvent(m_headers.Feed(bytes, count, taken));
}

std::optional<TimeMs> FrameReader::Deadline() const {
    if (!m_byteSeen || !InFrame())
        return std::nullopt;
    return m_lastByte + (m_headers.AwaitingLineEnd() ? kLineEndWaitMs : kFrameByteTimeoutMs);
}

FrameEvent FrameReader::Tick(TimeMs now) {
    const std::optional<TimeMs> deadline = Deadline();
    if (!deadline || now < *deadline)
        return {};
    if (m_inSubpacket) {
        StartHunt();
        FrameEvent event;
        event.kind = FrameEvent::Kind::BadSubpacket;
        return event;
    }
    if (m_headers.AwaitingLineEnd())
        return HeaderEvent(m_headers.LineQuiet());
    FrameEvent event;
    event.kind = FrameEvent::Kind::CutOff;
    event.form = m_headers.Form();
    StartHunt();
    return event;
}

FrameEvent FrameReader::HeaderEvent(HeaderDecoder::Result result) {
    FrameEvent event;
    event.form = m_headers.Form();
    switch (result) {
    case HeaderDecoder::Result::NeedMore:
        return event;
    case HeaderDecoder::Result::Header:
        event.kind = FrameEvent::Kind::Header;
        event.header = m_headers.Decoded();
        event.lineEndSeen = m_headers.LineEndSeen();
        StartHunt();
        if (CarriesData(event.header.type)) {
            m_check = event.form == kZbin32 ? Check::Crc32 : Check::Crc16;
            m_subpacket.Start(m_check, m_buffer.get(), m_capacity);
            m_inSubpacket = true;
        }
        return event;
    case HeaderDecoder::Result::Damaged:
        event.kind = FrameEvent::Kind::Damaged;
        event.crcFailed = m_headers.CrcFailed();
        break;
    case HeaderDecoder::Result::Garbage:
        event.kind = FrameEvent::Kind::Garbage;
        break;
    case HeaderDecoder::Result::Cancelled:
        event.kind = FrameEvent::Kind::Cancelled;
        break;
    }
    StartHunt();
    return event;
}

FrameEvent FrameReader::SubpacketEvent(SubpacketDecoder::Result result) {
    FrameEvent event;
    switch (result) {
    case SubpacketDecoder::Result::NeedMore:
        return event;
    case SubpacketDecoder::Result::Complete:
        event.kind = FrameEvent::Kind::Subpacket;
        event.endCode = m_subpacket.EndCode();
        event.data = m_buffer.get();
        event.length = m_subpacket.Length();
        // Data goes on after ZCRCG and ZCRCQ; a header follows the others.
        if (event.endCode == kZcrcg || event.endCode == kZcrcq)
            m_subpacket.Start(m_check, m_buffer.get(), m_capacity);
        else
            StartHunt();
        return event;
    case SubpacketDecoder::Result::TooLong:
        event.kind = FrameEvent::Kind::LongSubpacket;
        break;
    case SubpacketDecoder::Result::Cancelled:
        event.kind = FrameEvent::Kind::Cancelled;
        break;
    case SubpacketDecoder::Result::BadCrc:
    case SubpacketDecoder::Result::FlowControlRun:
        event.kind = FrameEvent::Kind::BadSubpacket;
        break;
    }
    StartHunt();
    return event;
}

} // namespace protocol::zmodem
