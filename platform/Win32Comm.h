// The Win32 serial communications calls the serial port class is written against, carried
// out on Linux over a SerialDevice. "\\.\COMn" maps to a device through the port map in the
// HKEY_LOCAL_MACHINE hive ("Hardware\DeviceMap\SerialComm"); without an entry it is
// /dev/ttyS(n-1).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Registry.h"
#include "platform/SerialDevice.h"

namespace platform {

// DWORD, BYTE, LPCSTR and the error numbers the registry calls share come from Registry.h.
using WORD = std::uint16_t;
using BOOL = int;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// Error numbers GetLastError reports beyond those of the registry calls (file not found 2,
// access denied 5, invalid handle 6, invalid parameter 87).
inline constexpr LONG ERROR_GEN_FAILURE = 31;
inline constexpr LONG ERROR_NOT_SUPPORTED = 50;
inline constexpr LONG ERROR_OPERATION_ABORTED = 995;
inline constexpr LONG ERROR_IO_PENDING = 997;

// The number of a port named "COMn" or "\\.\COMn" (any case, up to three digits); 0 when the
// name is no COM port.
int ComPortNumber(std::string_view name);

// CreateFileA arguments (only the ones a COM port takes are honoured).
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// Device control block, field for field as the platform's.
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

struct DCB {
    DWORD DCBlength{sizeof(DCB)};
    DWORD BaudRate{0};
    DWORD fBinary : 1 {1};
    DWORD fParity : 1 {0};
    DWORD fOutxCtsFlow : 1 {0};
    DWORD fOutxDsrFlow : 1 {0};
    DWORD fDtrControl : 2 {0};
    DWORD fDsrSensitivity : 1 {0};
    DWORD fTXContinueOnXoff : 1 {0};
    DWORD fOutX : 1 {0};
    DWORD fInX : 1 {0};
    DWORD fErrorChar : 1 {0};
    DWORD fNull : 1 {0};
    DWORD fRtsControl : 2 {0};
    DWORD fAbortOnError : 1 {0};
    DWORD fDummy2 : 17 {0};
    WORD wReserved{0};
    WORD XonLim{0};
    WORD XoffLim{0};
    BYTE ByteSize{8};
    BYTE Parity{NOPARITY};
    BYTE StopBits{ONESTOPBIT};
    char XonChar{0x11};
    char XoffChar{0x13};
    char ErrorChar{0};
    char EofChar{0};
    char EvtChar{0};
    WORD wReserved1{0};
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout{0};
    DWORD ReadTotalTimeoutMultiplier{0};
    DWORD ReadTotalTimeoutConstant{0};
    DWORD WriteTotalTimeoutMultiplier{0};
    DWORD WriteTotalTimeoutConstant{0};
};

struct COMSTAT {
    DWORD fCtsHold : 1 {0};
    DWORD fDsrHold : 1 {0};
    DWORD fRlsdHold : 1 {0};
    DWORD fXoffHold : 1 {0};
    DWORD fXoffSent : 1 {0};
    DWORD fEof : 1 {0};
    DWORD fTxim : 1 {0};
    DWORD fReserved : 25 {0};
    DWORD cbInQue{0};
    DWORD cbOutQue{0};
};

// I/O here completes before the call returns, so the record only carries the count of the
// last transfer for GetOverlappedResult.
struct OVERLAPPED {
    std::uintptr_t Internal{0};
    std::uintptr_t InternalHigh{0};
    DWORD Offset{0};
    DWORD OffsetHigh{0};
    void* hEvent{nullptr};
};

// Line errors reported by ClearCommError.
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;

// Modem status bits of GetCommModemStatus.
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// EscapeCommFunction functions.
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// PurgeComm flags.
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

struct CommHandle;
using HANDLE = CommHandle*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

// The calling thread's last error.
DWORD GetLastError();
void SetLastError(DWORD error);

// Opens "\\.\COMn" (or "COMn"). Access, sharing and flags are those of a COM port: read and
// write, no sharing, existing device only; I/O never blocks.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security, DWORD creation,
                   DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE h);

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL GetCommState(HANDLE h, DCB* dcb);
BOOL SetCommState(HANDLE h, const DCB* dcb);
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts);
BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat);
BOOL GetCommModemStatus(HANDLE h, DWORD* status);
BOOL EscapeCommFunction(HANDLE h, DWORD function);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL TransmitCommChar(HANDLE h, char c);
BOOL ReadFile(HANDLE h, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE h, const void* data, DWORD length, DWORD* written, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);

// Our own addition, standing in for an overlapped wait for comm events with a time-out: sleeps
// until input arrives (forRead), output room frees (forWrite) or capMs (accelerated
// milliseconds) pass. Returns TRUE when the device became ready.
BOOL WaitCommReady(HANDLE h, DWORD capMs, BOOL forRead, BOOL forWrite);

// The device a port-map target names: a terminal device path, or "vmodem:..." for a
// virtual modem. Null with `error` set to a Win32 error number when it cannot be opened.
std::unique_ptr<SerialDevice> OpenMappedDevice(const std::string& target, DWORD& error);

// The port map's target for "COMn" (n >= 1): this process's override, else the map's entry,
// else /dev/ttyS(n-1).
std::string PortTarget(int comNumber);

// Maps "COMn" to `target` for this process only, ahead of the stored port map (a command-line
// run that names its device or virtual modem); an empty target removes the override.
void SetPortOverride(int comNumber, const std::string& target);

// Where the virtual modems look up a dialled number that is not itself host:port:
// HKEY_CURRENT_USER, value <number> = "host:port".
inline constexpr const char* kVirtualModemDirectoryKey =
    "Software\\Korvane\\Sendari\\1.0\\Virtual Modem Directory";

} // namespace platform
