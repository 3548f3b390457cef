// The COM port link over the platform's serial calls. Line errors are collected on every
// read, write and status call and kept until GetLineStates hands them out, so a transient
// error between two polls is never lost.
#include "comm/Win32SerialPort.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"

namespace comm {

using namespace platform;

namespace {

constexpr DWORD kOpenBaud = 19200;
constexpr WORD kOpenXoffLimit = 128;
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr long kMaxQueueSize = 0xFFFF;
// Only the low 16 bits of a rate reach the control block through this class.
constexpr DWORD kLibraryBaudMask = 0xFFFF;

// Idle sleeps on the device at most this long, so a stop flag is seen long before half a
// second; when input is already waiting for a caller busy elsewhere (character pacing),
// it only gives the processor up briefly.
constexpr DWORD kIdleCapMs = 20;
constexpr DWORD kIdleBusyMs = 1;

constexpr char kParityLetters[] = "NOEMS";

std::uint16_t QueueSize(long size) {
    return static_cast<std::uint16_t>(std::clamp(size, 0L, kMaxQueueSize));
}

int Bit(bool on) {
    return on ? 1 : 0;
}

} // namespace

Win32SerialPort::Win32SerialPort(int port, long receiveQueue, long transmitQueue, bool deferred)
    : ComLink(port), m_receiveSize{QueueSize(receiveQueue)}, m_transmitSize{
                                                                 QueueSize(transmitQueue)} {
    // The sizes are kept even for a deferred port, so that a later Open sets up usable queues.
    if (deferred)
        return;
    SetLastStatus(Open());
    Line(kLineDtr, 1);
    Line(kLineRts, 1);
}

Win32SerialPort::~Win32SerialPort() {
    // Only the object that opened the device closes it: a second object refused with kAlreadyOpen
    // must leave the first one's port alone.
    if (IsOpen())
        Close();
}

void Win32SerialPort::CollectErrors(COMSTAT* stat) {
    DWORD errors = 0;
    if (IsOpen() && ClearCommError(m_handle, &errors, stat)) {
        m_lineErrors |= errors;
        return;
    }
    if (stat)
        *stat = COMSTAT{};
}

int Win32SerialPort::ApplyControlBlock() {
    if (!SetCommState(m_handle, &m_dcb))
        return Fail(MapSystemError());
    return kSuccess;
}

int Win32SerialPort::Idle() {
    if (!IsOpen()) {
        platform::Sleep(kIdleCapMs);
        return kSuccess;
    }
    COMSTAT stat;
    CollectErrors(&stat);
    bool inputWaiting = stat.cbInQue > 0;
    if (inputWaiting && m_readFoundNothing) {
        // Input came in since the caller last found none: hand it over without sleeping.
        m_readFoundNothing = false;
        return kSuccess;
    }
    WaitCommReady(m_handle, inputWaiting ? kIdleBusyMs : kIdleCapMs, !inputWaiting, TRUE);
    return kSuccess;
}

int Win32SerialPort::ReadModemStatus() {
    CollectErrors();
    DWORD status = 0;
    if (!IsOpen() || !GetCommModemStatus(m_handle, &status))
        status = 0;
    m_modemStatus = static_cast<int>(status & 0xFF);
    return m_modemStatus;
}

int Win32SerialPort::Open() {
    if (OpenCount(m_port) != 0)
        return Fail(kAlreadyOpen);
    int status = OpenDevice();
    if (status != kSuccess)
        return status;
    status = CountOpen();
    if (status != kSuccess) {
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return Fail(status);
    }
    SetupComm(m_handle, m_receiveSize, m_transmitSize);

    GetCommState(m_handle, &m_dcb);
    m_dcb.BaudRate = kOpenBaud;
    m_dcb.ByteSize = 8;
    m_dcb.Parity = NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    m_dcb.fBinary = 1;
    m_dcb.fOutxCtsFlow = 0;
    m_dcb.fOutxDsrFlow = 0;
    m_dcb.fDtrControl = DTR_CONTROL_ENABLE;
    m_dcb.fRtsControl = RTS_CONTROL_DISABLE;
    m_dcb.fNull = 0;
    m_dcb.EofChar = 0;
    m_dcb.EvtChar = 0;
    m_dcb.XonChar = kXon;
    m_dcb.XoffChar = kXoff;
    m_dcb.XonLim = static_cast<WORD>(m_receiveSize / 4);
    m_dcb.XoffLim = kOpenXoffLimit;

    // Reads return at once with whatever is there; writes have no time-out.
    GetCommTimeouts(m_handle, &m_savedTimeouts);
    COMMTIMEOUTS immediate;
    immediate.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(m_handle, &immediate);
    return ApplyControlBlock();
}

int Win32SerialPort::OpenDevice() {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", m_port + 1);
    m_handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE)
        return Fail(MapSystemError());
    return kSuccess;
}

int Win32SerialPort::Close() {
    if (!IsOpen())
        return Fail(kPortCloseFailed);
    PurgeComm(m_handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    EscapeCommFunction(m_handle, CLRDTR);
    EscapeCommFunction(m_handle, CLRRTS);
    BOOL closed = CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    return closed ? kSuccess : Fail(kPortCloseFailed);
}

int Win32SerialPort::GetQueueStatus(QueueStatus& status) {
    COMSTAT stat;
    CollectErrors(&stat);
    status.receiveCount = stat.cbInQue;
    status.receiveSize = m_receiveSize;
    status.transmitCount = stat.cbOutQue;
    status.transmitSize = m_transmitSize;
    status.flags = 0;
    if (stat.fXoffSent)
        status.flags |= kQueueBlockSent;
    if (stat.fCtsHold || stat.fDsrHold || stat.fXoffHold)
        status.flags |= kQueueBlockReceived;
    return static_cast<int>(stat.cbOutQue);
}

int Win32SerialPort::SetBufferSizes(long receive, long xoffLimit, long transmit) {
    constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    PurgeComm(m_handle, kPurgeAll);
    if (receive != 0)
        m_receiveSize = QueueSize(receive);
    if (transmit != 0)
        m_transmitSize = QueueSize(transmit);
    m_dcb.XonLim = static_cast<WORD>(QueueSize(receive) / 4);
    if (xoffLimit != 0)
        m_dcb.XoffLim = QueueSize(xoffLimit);
    if (!SetupComm(m_handle, m_receiveSize, m_transmitSize))
        return Fail(MapSystemError());
    PurgeComm(m_handle, kPurgeAll);
    return ApplyControlBlock();
}

int Win32SerialPort::SetHandshake(int inputMode, int outputMode) {
    // Work on a copy: a refused mode must not leave half a change in the control block for
    // the next set-state to apply.
    DCB next = m_dcb;
    next.fOutX = 0;
    next.fInX = 0;
    next.fOutxCtsFlow = 0;
    next.fOutxDsrFlow = 0;
    if (next.fDtrControl == DTR_CONTROL_HANDSHAKE)
        next.fDtrControl = DTR_CONTROL_ENABLE;
    if (next.fRtsControl == RTS_CONTROL_HANDSHAKE)
        next.fRtsControl = RTS_CONTROL_ENABLE;

    switch (inputMode) {
    case kHandshakeNone:
        break;
    case kHandshakeXonXoff:
        next.fInX = 1;
        break;
    case kInputDtr:
        next.fDtrControl = DTR_CONTROL_HANDSHAKE;
        break;
    case kInputRts:
        next.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case kInputUnsupported:
        return kNotSupported;
    default:
        SetLastStatus(kBadHandshake);
        return kGeneralError;
    }
    switch (outputMode) {
    case kHandshakeNone:
        break;
    case kHandshakeXonXoff:
        next.fOutX = 1;
        break;
    case kOutputCts:
        next.fOutxCtsFlow = 1;
        break;
    case kOutputDsr:
        next.fOutxDsrFlow = 1;
        break;
    case kOutputUnsupported:
        return kNotSupported;
    default:
        return kBadArgument;
    }
    if (!SetCommState(m_handle, &next))
        return Fail(MapSystemError());
    m_dcb = next;
    m_inputMode = inputMode;
    m_outputMode = outputMode;
    return kSuccess;
}

int Win32SerialPort::GetHandshake(int& inputMode, int& outputMode) {
    inputMode = m_inputMode;
    outputMode = m_outputMode;
    return kSuccess;
}

int Win32SerialPort::SetBreak(int state) {
    if (state < 0)
        return m_break;
    bool on = state == 1;
    if (!EscapeCommFunction(m_handle, on ? SETBREAK : CLRBREAK))
        return Fail(kBreakError);
    m_break = Bit(on);
    return m_break;
}

int Win32SerialPort::Line(int number, int value) {
    if ((number == kLineDtr || number == kLineRts) && (value == 0 || value == 1)) {
        DWORD control = value ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE; // same numbers for RTS
        if (number == kLineDtr) {
            m_dtr = value;
            m_dcb.fDtrControl = control;
            EscapeCommFunction(m_handle, value ? SETDTR : CLRDTR);
        } else {
            m_rts = value;
            m_dcb.fRtsControl = control;
            EscapeCommFunction(m_handle, value ? SETRTS : CLRRTS);
        }
    }
    if (number == kLineBreak)
        return SetBreak(value);

    // The modem lines are read when asked, not from the last status byte: GetLineStates
    // clears that byte, and a carrier check right after must not see the carrier gone.
    const bool modemLine =
        number == kLineCts || number == kLineDsr || number == kLineRi || number == kLineDcd;
    return LineState(number, modemLine ? ReadModemStatus() : 0);
}

int Win32SerialPort::LineState(int number, int modemStatus) const {
    switch (number) {
    case kLineDtr:
        return m_dtr;
    case kLineRts:
        return m_rts;
    case kLineBreak:
        return m_break;
    case kLineCts:
        return Bit(modemStatus & MS_CTS_ON);
    case kLineDsr:
        return Bit(modemStatus & MS_DSR_ON);
    case kLineRi:
        return Bit(modemStatus & MS_RING_ON);
    case kLineDcd:
        return Bit(modemStatus & MS_RLSD_ON);
    case kLineReserved17:
    case kLineReserved18:
    case kLineReserved19:
    case kLineReserved20:
        return 0;
    case kLineOverrun:
        return Bit(m_lineErrors & CE_OVERRUN);
    case kLineParityError:
        return Bit(m_lineErrors & CE_RXPARITY);
    case kLineFramingError:
        return Bit(m_lineErrors & CE_FRAME);
    case kLineBreakSeen:
        return Bit(m_lineErrors & CE_BREAK);
    case kLineReceiveOverflow:
        return Bit(m_lineErrors & CE_RXOVER);
    default:
        return kLineUnknown;
    }
}

int Win32SerialPort::ApplyLineParams(DWORD dcbBaud, char parity, int dataBits, int stopBits) {
    const char* letter = parity != '\0' ? std::strchr(kParityLetters, parity) : nullptr;
    if (!letter)
        return Fail(kBadParity);
    if (dataBits < 4 || dataBits > 8)
        return Fail(kBadWordLength);
    if (stopBits != 1 && stopBits != 2)
        return Fail(kBadStopBits);
    // A rate of 0 would hang the line up rather than set a speed.
    if (dcbBaud == 0)
        return Fail(kBadBaudRate);
    DCB next = m_dcb;
    next.BaudRate = dcbBaud;
    next.Parity = static_cast<BYTE>(letter - kParityLetters);
    next.fParity = next.Parity != NOPARITY;
    next.ByteSize = static_cast<BYTE>(dataBits);
    if (dataBits == 5)
        next.StopBits = ONE5STOPBITS;
    else
        next.StopBits = stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    if (!SetCommState(m_handle, &next))
        return Fail(MapSystemError());
    m_dcb = next;
    return kSuccess;
}

int Win32SerialPort::SetLineParams(long baud, char parity, int dataBits, int stopBits) {
    return ApplyLineParams(static_cast<DWORD>(baud) & kLibraryBaudMask, parity, dataBits, stopBits);
}

int Win32SerialPort::GetLineParams(long& baud, char& parity, int& dataBits, int& stopBits) {
    baud = static_cast<long>(m_dcb.BaudRate);
    parity = m_dcb.Parity <= SPACEPARITY ? kParityLetters[m_dcb.Parity] : 'N';
    dataBits = m_dcb.ByteSize;
    stopBits = m_dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    return kSuccess;
}

int Win32SerialPort::GetLineStates(unsigned char states[4]) {
    // One reading of the modem status serves every line.
    const int status = ReadModemStatus();
    auto pack = [this, status](int a, int b, int c, int d) {
        auto line = [&](int number) { return LineState(number, status) & 3; };
        return static_cast<unsigned char>(line(a) | line(b) << 2 | line(c) << 4 | line(d) << 6);
    };
    states[0] = pack(kLineDtr, kLineRts, kLineBreak, kLineDsr);
    states[1] = pack(kLineCts, kLineRi, kLineDcd, kLineReserved20);
    states[2] = pack(kLineReserved19, kLineReserved17, kLineReserved18, kLineBreakSeen);
    states[3] = pack(kLineParityError, kLineFramingError, kLineReceiveOverflow, kLineOverrun);
    m_modemStatus = 0;
    m_lineErrors = 0;
    return kSuccess;
}

int Win32SerialPort::WriteChar(int c) {
    unsigned char byte = static_cast<unsigned char>(c);
    return WriteBuffer(&byte, 1) == 1 ? kSuccess : LastStatus();
}

int Win32SerialPort::WriteString(const char* text) {
    if (!text)
        return 0;
    return WriteBuffer(reinterpret_cast<const unsigned char*>(text),
                       static_cast<int>(std::strlen(text)));
}

int Win32SerialPort::WriteBuffer(const unsigned char* data, int length) {
    if (!data || length <= 0)
        return 0;
    COMSTAT stat;
    CollectErrors(&stat);
    long room = IsOpen() ? static_cast<long>(m_transmitSize) - static_cast<long>(stat.cbOutQue) : 0;
    int fits = static_cast<int>(std::clamp<long>(room, 0, length));
    int written = 0;
    if (fits > 0) {
        DWORD done = 0;
        if (WriteFile(m_handle, data, static_cast<DWORD>(fits), &done, &m_overlapped))
            written = static_cast<int>(done);
        else if (GetLastError() == static_cast<DWORD>(ERROR_IO_PENDING))
            written = fits; // a pending write goes out in full
        else
            CollectErrors();
    }
    if (written < length)
        SetLastStatus(kBufferFull);
    return written;
}

int Win32SerialPort::SendImmediate(int c) {
    return TransmitCommChar(m_handle, static_cast<char>(c)) ? kSuccess : kGeneralError;
}

int Win32SerialPort::ReadChar() {
    unsigned char byte = 0;
    return ReadBuffer(&byte, 1) == 1 ? byte : kTimedOut;
}

int Win32SerialPort::ReadBuffer(unsigned char* buffer, int length) {
    if (!buffer || length <= 0 || !IsOpen())
        return 0;
    COMSTAT stat;
    CollectErrors(&stat);
    m_readFoundNothing = stat.cbInQue == 0;
    if (m_readFoundNothing)
        return 0;
    DWORD wanted = std::min<DWORD>(static_cast<DWORD>(length), stat.cbInQue);
    DWORD got = 0;
    if (!ReadFile(m_handle, buffer, wanted, &got, &m_overlapped)) {
        if (GetLastError() != static_cast<DWORD>(ERROR_IO_PENDING)) {
            CollectErrors();
            return 0;
        }
        GetOverlappedResult(m_handle, &m_overlapped, &got, TRUE);
    } else if (got < wanted) {
        GetOverlappedResult(m_handle, &m_overlapped, &got, TRUE);
    }
    return static_cast<int>(got);
}

int Win32SerialPort::Purge(int direction, int count) {
    if (direction != 0 && direction != 1)
        return kBadArgument;
    if (direction == 1 || count == 0) {
        DWORD flags =
            direction == 1 ? PURGE_TXABORT | PURGE_TXCLEAR : PURGE_RXABORT | PURGE_RXCLEAR;
        return PurgeComm(m_handle, flags) ? kSuccess : Fail(MapSystemError());
    }
    int dropped = 0;
    for (;;) {
        if (ReadChar() < 0)
            return kSuccess;
        if (count > 0 && ++dropped >= count)
            return kGeneralError;
    }
}

int Win32SerialPort::MapSystemError() {
    switch (static_cast<LONG>(GetLastError())) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_GEN_FAILURE:
    case -1:
    case -3:
    case -10:
        return kPortOpenFailed;
    case ERROR_ACCESS_DENIED:
    case -2:
        return kAlreadyOpen;
    case -12:
        return kBadBaudRate;
    case -11:
        return kBadWordLength;
    case -5:
        return kBadArgument;
    case -4:
        return kOutOfMemory;
    default:
        return kGeneralError;
    }
}

} // namespace comm
