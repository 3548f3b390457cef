// GFSerial and its line companions. Every wait compares the tick count with its start and
// calls the link's Idle once per round; a negative Idle result ends the wait.
#include "comm/GFSerial.h"

#include <cstring>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"

namespace comm {

namespace {
constexpr long kDefaultBaud = 9600;
constexpr int kCR = 0x0D;
constexpr int kLF = 0x0A;
constexpr int kEndingCrLf = -3;
constexpr int kEndingLf = -2;
constexpr int kEndingNone = -1;
} // namespace

using platform::Expired;

// ---- LineStatus ----

LineStatus::LineStatus(ComLink* link) : m_link{link} {
    m_link->GetHandshake(m_savedInput, m_savedOutput);
    m_inputMode = m_savedInput;
    m_outputMode = m_savedOutput;
}

int LineStatus::Refresh() {
    return m_link->GetLineStates(m_states);
}

int LineStatus::SetHandshake(int inputMode, int outputMode) {
    m_inputMode = inputMode;
    m_outputMode = outputMode;
    return m_link->SetHandshake(inputMode, outputMode);
}

int LineStatus::Restore() {
    return SetHandshake(m_savedInput, m_savedOutput);
}

// ---- LineSettings ----

int LineSettings::Apply(long baud, char parity, int dataBits, int stopBits) {
    m_baud = baud;
    m_parity = parity;
    m_dataBits = dataBits;
    m_stopBits = stopBits;
    if (!m_link)
        return kGeneralError;
    return m_link->SetLineParams(baud, parity, dataBits, stopBits) == 0 ? kSuccess : kGeneralError;
}

int LineSettings::Attach(ComLink* link) {
    m_link = link;
    if (!m_link)
        return kGeneralError;
    m_link->GetLineParams(m_savedBaud, m_savedParity, m_savedDataBits, m_savedStopBits);
    return Apply(m_baud, m_parity, m_dataBits, m_stopBits);
}

int LineSettings::Restore() {
    return Apply(m_savedBaud, m_savedParity, m_savedDataBits, m_savedStopBits);
}

// ---- GFSerial ----

GFSerial::GFSerial(ComLink* link) : m_link{link} {
    if (m_link->LastStatus() != 0)
        return;
    m_settings = std::make_unique<LineSettings>();
    m_settings->Attach(m_link);
    m_settings->Apply(kDefaultBaud, 'N', 8, 1);
    m_status = std::make_unique<LineStatus>(m_link);
    m_status->SetHandshake(0, 0);
}

GFSerial::~GFSerial() {
    if (m_status)
        m_status->Restore();
    if (m_settings)
        m_settings->Restore();
}

int GFSerial::ReadChar(long timeoutMs) {
    // The first poll comes before the clock is read: on the per-byte path a byte is usually
    // waiting, and the tick count would cost more than the read itself.
    int c = m_link->ReadChar();
    if (c >= 0)
        return c;
    if (timeoutMs <= 0)
        return kTimedOut;
    std::uint32_t start = platform::GetTickCount();
    for (;;) {
        int idle = m_link->Idle();
        if (idle < 0)
            return idle;
        c = m_link->ReadChar();
        if (c >= 0)
            return c;
        if (Expired(start, timeoutMs))
            return kTimedOut;
    }
}

int GFSerial::WriteChar(int c) {
    int status = m_link->WriteChar(c);
    if (m_pacingMs > 0) {
        std::uint32_t start = platform::GetTickCount();
        while (!Expired(start, m_pacingMs)) {
            if (m_link->Idle() < 0)
                break;
        }
    }
    return status;
}

int GFSerial::Reserved() {
    return kNotSupported;
}

int GFSerial::ReadString(char* buffer, int max, int terminator, long timeoutMs) {
    if (!buffer || max < 1)
        return 0;
    std::uint32_t start = platform::GetTickCount();
    int count = 0;
    for (;;) {
        int c = m_link->ReadChar();
        if (c >= 0) {
            buffer[count++] = static_cast<char>(c);
            if ((terminator != -1 && c == terminator) || count >= max)
                break;
            continue;
        }
        if (Expired(start, timeoutMs))
            break;
        int idle = m_link->Idle();
        if (idle < 0) {
            buffer[count] = '\0';
            return idle;
        }
    }
    buffer[count] = '\0';
    return count;
}

int GFSerial::WriteString(const char* text, int ending) {
    if (!text || ending < kEndingCrLf || ending > 255)
        return 0;
    int length = static_cast<int>(std::strlen(text));
    int count = m_link->WriteString(text);
    if (count < length)
        return count;
    switch (ending) {
    case kEndingCrLf:
        if (m_link->WriteChar(kCR) == 0) {
            ++count;
            if (m_link->WriteChar(kLF) == 0)
                ++count;
        }
        break;
    case kEndingLf:
        if (m_link->WriteChar(kLF) == 0)
            ++count;
        break;
    case kEndingNone:
        break;
    default:
        if (m_link->WriteChar(ending) == 0)
            ++count;
        break;
    }
    return count;
}

int GFSerial::WriteBuffer(const unsigned char* data, int length) {
    if (!data)
        return 0;
    return m_link->WriteBuffer(data, length);
}

int GFSerial::ReadBuffer(unsigned char* buffer, int length, long timeoutMs) {
    if (!buffer || length < 0)
        return 0;
    std::uint32_t start = platform::GetTickCount();
    int count = 0;
    while (count < length) {
        int got = m_link->ReadBuffer(buffer + count, length - count);
        if (got > 0) {
            count += got;
            continue;
        }
        if (Expired(start, timeoutMs))
            break;
        if (m_link->Idle() < 0)
            break;
    }
    buffer[count] = 0;
    return count;
}

long GFSerial::InputCount() {
    QueueStatus q;
    m_link->GetQueueStatus(q);
    return q.receiveCount;
}

int GFSerial::LineErrors(int& flags) {
    flags = 0;
    int status = m_link->TakeLastStatus();
    if (status != 0)
        return status;
    if (!m_status)
        return kNoSerialObject;
    m_status->Refresh();
    if (m_status->ParityError())
        flags |= kErrorParity;
    if (m_status->FramingError())
        flags |= kErrorFraming;
    if (m_status->ReceiveOverflow())
        flags |= kErrorOverflow;
    if (m_status->Overrun())
        flags |= kErrorOverrun;
    if (m_status->BreakSeen())
        flags |= kErrorBreak;
    return kSuccess;
}

} // namespace comm
