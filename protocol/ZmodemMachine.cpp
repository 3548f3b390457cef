#include "protocol/ZmodemMachine.h"

#include <cstdarg>

#include "comm/StatusCodes.h"

namespace protocol::zmodem {

void MachineCore::Sort(const FrameEvent& event) {
    switch (event.kind) {
    case FrameEvent::Kind::None:
        return;
    case FrameEvent::Kind::Header:
        if (event.form != kZhex)
            m_status.checkType = event.form == kZbin32 ? kCheckCrc32 : kCheckCrc16;
        return OnHeader(event);
    case FrameEvent::Kind::Cancelled:
        Trace("GetPad: Remote end sent 5-CAN");
        return Fail(comm::kRemoteCancelled);
    case FrameEvent::Kind::Damaged:
        return OnMiss(Miss::Damaged);
    case FrameEvent::Kind::CutOff:
        return OnMiss(Miss::CutOff);
    case FrameEvent::Kind::Garbage:
        Trace("GetPad: Exceeded garbage count");
        return OnMiss(Miss::Garbage);
    case FrameEvent::Kind::Subpacket:
    case FrameEvent::Kind::BadSubpacket:
    case FrameEvent::Kind::LongSubpacket:
        return OnSubpacket(event);
    }
}

bool MachineCore::CountError() {
    ++m_status.errors;
    ++m_status.retries;
    return m_status.retries >= m_retryLimit;
}

void MachineCore::Trace(const char* format, ...) {
    if (!m_status.WantsTraceLines())
        return;
    va_list args;
    va_start(args, format);
    TraceLineV(m_status, format, args);
    va_end(args);
}

} // namespace protocol::zmodem
