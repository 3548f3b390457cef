// The Win32-shaped serial calls over a SerialDevice. The handle adds what the platform's
// driver keeps and a terminal driver does not: the control block as set, the time-outs, the
// lock on the device, the queue sizes, a transmit queue for what the device has not yet taken, and
// the line-error counts already reported.
#include "platform/Win32Comm.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/ByteQueue.h"
#include "platform/Clock.h"
#include "platform/PortLock.h"
#include "platform/Registry.h"
#include "platform/TtyDevice.h"
#include "platform/VirtualModem.h"

namespace platform {

struct CommHandle {
    std::unique_ptr<SerialDevice> device;
    std::optional<PortLock> lock; // this process drives the device while the handle is open
    DCB dcb;
    COMMTIMEOUTS timeouts;
    DWORD inQueue{4096};
    DWORD outQueue{4096};
    // Bytes WriteFile accepted that the device has not taken yet: a write on the platform
    // completes into the driver's queue, so nothing handed to WriteFile is ever dropped.
    // They move on during later calls on the handle (every write, status call and wait),
    // and a waiting caller's WaitCommReady sleeps until the device takes more.
    ByteQueue pending;
    // A TransmitCommChar byte the device could not take at once; it goes out before the queue.
    int immediate{-1};
    LineErrorCounts reported;                          // counts already turned into CE_* bits
    std::chrono::steady_clock::time_point nextFlush{}; // see NoteDeviceFull

    std::size_t Pending() const { return pending.Size() + (immediate >= 0 ? 1 : 0); }
    std::size_t Queued() const { return pending.Size(); }
};

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// Waits that poll the device are capped so that a time-out is seen soon.
constexpr int kEventPollMs = 20;
constexpr std::size_t kMaxComNameDigits = 3;
// The port map: value "COMn" = device path (or "vmodem:..." for a virtual modem).
constexpr const char* kPortMapKey = "Hardware\\DeviceMap\\SerialComm";
constexpr std::size_t kMaxTargetLength = 1024;
constexpr const char* kTestEnvironment = "SENDARI_TEST";
constexpr const char* kSystemSerialPrefix = "/dev/ttyS";

bool Valid(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE && h->device;
}

BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

BOOL Succeed() {
    t_lastError = ERROR_SUCCESS;
    return TRUE;
}

DWORD ErrorFromErrno(int negativeErrno) {
    switch (-negativeErrno) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
        return ERROR_ACCESS_DENIED;
    case EINVAL:
    case ERANGE:
        return ERROR_INVALID_PARAMETER;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    default:
        return ERROR_GEN_FAILURE; // EIO, ENOTTY (not a terminal) and the rest
    }
}

// After the device refused part of a write it is left alone this long (unless a wait saw
// it writable), so a full device does not cost a failing write on every call.
constexpr std::chrono::microseconds kFullDeviceRetry{1000};

void NoteDeviceFull(CommHandle& h, bool full) {
    h.nextFlush = full ? std::chrono::steady_clock::now() + kFullDeviceRetry
                       : std::chrono::steady_clock::time_point{};
}

// Hands queued output to the device as far as it takes it. A failure leaves the bytes
// queued; the next write or status call reports the device's state. `force` skips the
// pause after a full device (a wait has just seen it writable).
int FlushPending(CommHandle& h, bool force = false) {
    if (h.Pending() == 0)
        return 0;
    if (!force && std::chrono::steady_clock::now() < h.nextFlush)
        return 0;
    if (h.immediate >= 0) {
        int status = h.device->SendImmediate(static_cast<unsigned char>(h.immediate));
        if (status == -EAGAIN) {
            NoteDeviceFull(h, true);
            return 0;
        }
        if (status < 0)
            return status;
        h.immediate = -1;
    }
    std::size_t waiting = h.Queued();
    if (waiting == 0)
        return 0;
    int n = h.device->Write(h.pending.Front(), static_cast<int>(waiting));
    if (n < 0)
        return n;
    NoteDeviceFull(h, static_cast<std::size_t>(n) < waiting);
    h.pending.Drop(static_cast<std::size_t>(n));
    return 0;
}

SerialConfig ConfigFromDcb(const DCB& dcb) {
    static constexpr char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
    SerialConfig c;
    c.baud = dcb.BaudRate;
    c.dataBits = dcb.ByteSize;
    c.parity = kParityLetters[dcb.Parity];
    c.stopHalves = dcb.StopBits == ONESTOPBIT ? 2 : (dcb.StopBits == ONE5STOPBITS ? 3 : 4);
    // The terminal driver has one switch for both halves of RTS/CTS flow control; DSR output
    // flow control and DTR handshaking have no counterpart and are not applied.
    c.rtsCtsFlow = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    c.xonXoffOutput = dcb.fOutX != 0;
    c.xonXoffInput = dcb.fInX != 0;
    c.xonChar = static_cast<unsigned char>(dcb.XonChar);
    c.xoffChar = static_cast<unsigned char>(dcb.XoffChar);
    return c;
}

DCB DcbFromConfig(const SerialConfig& c) {
    DCB dcb;
    dcb.BaudRate = c.baud;
    dcb.ByteSize = static_cast<BYTE>(c.dataBits);
    const char* letters = "NOEMS";
    const char* p = std::strchr(letters, c.parity);
    dcb.Parity = static_cast<BYTE>(p && c.parity ? p - letters : NOPARITY);
    dcb.fParity = dcb.Parity != NOPARITY;
    dcb.StopBits =
        c.stopHalves == 2 ? ONESTOPBIT : (c.stopHalves == 3 ? ONE5STOPBITS : TWOSTOPBITS);
    dcb.fOutxCtsFlow = c.rtsCtsFlow;
    dcb.fRtsControl = c.rtsCtsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = c.xonXoffOutput;
    dcb.fInX = c.xonXoffInput;
    dcb.XonChar = static_cast<char>(c.xonChar);
    dcb.XoffChar = static_cast<char>(c.xoffChar);
    return dcb;
}

DWORD ErrorBits(CommHandle& h) {
    LineErrorCounts now = h.device->Errors();
    DWORD bits = 0;
    if (now.bufferOverrun != h.reported.bufferOverrun)
        bits |= CE_RXOVER;
    if (now.overrun != h.reported.overrun)
        bits |= CE_OVERRUN;
    if (now.parity != h.reported.parity)
        bits |= CE_RXPARITY;
    if (now.framing != h.reported.framing)
        bits |= CE_FRAME;
    if (now.breaks != h.reported.breaks)
        bits |= CE_BREAK;
    h.reported = now;
    return bits;
}

} // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

namespace {
std::mutex g_overrideMutex;
std::map<int, std::string> g_portOverrides;
} // namespace

void SetPortOverride(int comNumber, const std::string& target) {
    std::lock_guard lock(g_overrideMutex);
    if (target.empty())
        g_portOverrides.erase(comNumber);
    else
        g_portOverrides[comNumber] = target;
}

std::string PortTarget(int comNumber) {
    {
        std::lock_guard lock(g_overrideMutex);
        auto it = g_portOverrides.find(comNumber);
        if (it != g_portOverrides.end())
            return it->second;
    }
    std::string name = "COM" + std::to_string(comNumber);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortMapKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        char target[kMaxTargetLength]{};
        DWORD type = REG_NONE;
        DWORD size = sizeof target - 1;
        LONG result = RegQueryValueExA(key, name.c_str(), nullptr, &type,
                                       reinterpret_cast<BYTE*>(target), &size);
        RegCloseKey(key);
        if (result == ERROR_SUCCESS && type == REG_SZ && target[0] != '\0')
            return target;
    }
    return "/dev/ttyS" + std::to_string(comNumber - 1);
}

std::unique_ptr<SerialDevice> OpenMappedDevice(const std::string& target, DWORD& error) {
    error = ERROR_SUCCESS;
    if (target.rfind("vmodem:", 0) == 0) {
        // A virtual modem behind this port. Dialled numbers that are not host:port come from
        // the user's directory; the lookup runs on the modem's own thread and only reads the
        // registry store.
        int status = 0;
        auto lookup = [](const std::string& number) {
            return ReadRegistryString(HKEY_CURRENT_USER, kVirtualModemDirectoryKey, number)
                .value_or(std::string());
        };
        std::unique_ptr<SerialDevice> modem = OpenVirtualModemDevice(target, status, lookup);
        if (!modem) {
            // A map value that cannot be read names no device; a listening address that is
            // taken means another program holds this modem.
            error = status == -EADDRINUSE ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        return modem;
    }
    // Under test the machine's own serial devices are off limits: here one of them is the
    // virtual machine's console, and a stray open would disturb it.
    if (std::getenv(kTestEnvironment) && target.rfind(kSystemSerialPrefix, 0) == 0) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    int status = 0;
    std::unique_ptr<TtyDevice> tty = TtyDevice::Open(target, status);
    if (!tty) {
        error = ErrorFromErrno(status);
        return nullptr;
    }
    return tty;
}

int ComPortNumber(std::string_view name) {
    if (name.rfind("\\\\.\\", 0) == 0)
        name.remove_prefix(4);
    if (name.size() < 4 || name.size() > 3 + kMaxComNameDigits)
        return 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return 0;
    }
    int n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, void*, DWORD creation, DWORD, HANDLE) {
    int com = ComPortNumber(name ? name : "");
    if (com <= 0) {
        t_lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (creation != OPEN_EXISTING || (access & (GENERIC_READ | GENERIC_WRITE)) == 0) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    // Another copy of the program driving the same modem holds its lock: the port is in use.
    const std::string target = PortTarget(com);
    std::string holder;
    std::optional<PortLock> lock = PortLock::Take(target, holder);
    SetLastPortHolder(holder);
    if (!lock) {
        t_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_SUCCESS;
    std::unique_ptr<SerialDevice> device = OpenMappedDevice(target, error);
    if (!device) {
        t_lastError = error;
        return INVALID_HANDLE_VALUE;
    }
    auto* h = new CommHandle;
    h->device = std::move(device);
    h->lock = std::move(lock);
    h->dcb = DcbFromConfig(h->device->Configuration());
    h->dcb.XonLim = static_cast<WORD>(h->inQueue / 4);
    h->dcb.XoffLim = static_cast<WORD>(h->inQueue / 4);
    t_lastError = ERROR_SUCCESS;
    return h;
}

BOOL CloseHandle(HANDLE h) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    delete h;
    return Succeed();
}

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    if (inQueue == 0 || outQueue == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    // The terminal driver's own buffers are fixed; the sizes bound what the caller queues.
    h->inQueue = inQueue;
    h->outQueue = outQueue;
    return Succeed();
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    if (!dcb)
        return Fail(ERROR_INVALID_PARAMETER);
    *dcb = h->dcb;
    return Succeed();
}

BOOL SetCommState(HANDLE h, const DCB* dcb) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    if (!dcb || dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS)
        return Fail(ERROR_INVALID_PARAMETER);
    int status = h->device->Configure(ConfigFromDcb(*dcb));
    if (status != 0)
        return Fail(ErrorFromErrno(status));
    h->dcb = *dcb;
    // The control block also says what DTR and RTS do; "handshake" lines are raised here and
    // then left to the driver (RTS) or kept up (DTR, which the terminal driver never drives).
    status = h->device->SetDtr(dcb->fDtrControl != DTR_CONTROL_DISABLE);
    if (status == 0)
        status = h->device->SetRts(dcb->fRtsControl != RTS_CONTROL_DISABLE);
    if (status != 0)
        return Fail(ErrorFromErrno(status));
    return Succeed();
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    if (!timeouts)
        return Fail(ERROR_INVALID_PARAMETER);
    *timeouts = h->timeouts;
    return Succeed();
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    if (!timeouts)
        return Fail(ERROR_INVALID_PARAMETER);
    h->timeouts = *timeouts;
    return Succeed();
}

BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    FlushPending(*h);
    DWORD bits = ErrorBits(*h);
    if (errors)
        *errors = bits;
    if (stat) {
        SerialDevice& d = *h->device;
        *stat = COMSTAT{};
        stat->cbInQue = static_cast<DWORD>(d.InputQueued());
        stat->cbOutQue =
            static_cast<DWORD>(h->Pending() + static_cast<std::size_t>(d.OutputQueued()));
        // Output can only be held while some waits; the modem lines are asked only then.
        // Whether a received XOFF holds output, or we have sent one, the terminal driver
        // does not tell, so those flags stay clear.
        if (stat->cbOutQue > 0 && (h->dcb.fOutxCtsFlow || h->dcb.fOutxDsrFlow)) {
            unsigned modem = d.ModemStatus();
            stat->fCtsHold = h->dcb.fOutxCtsFlow && !(modem & MS_CTS_ON);
            stat->fDsrHold = h->dcb.fOutxDsrFlow && !(modem & MS_DSR_ON);
        }
    }
    return Succeed();
}

BOOL GetCommModemStatus(HANDLE h, DWORD* status) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    if (!status)
        return Fail(ERROR_INVALID_PARAMETER);
    *status = h->device->ModemStatus() & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return Succeed();
}

BOOL EscapeCommFunction(HANDLE h, DWORD function) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    SerialDevice& d = *h->device;
    int status = 0;
    switch (function) {
    case SETDTR:
        status = d.SetDtr(true);
        break;
    case CLRDTR:
        status = d.SetDtr(false);
        break;
    case SETRTS:
        status = d.SetRts(true);
        break;
    case CLRRTS:
        status = d.SetRts(false);
        break;
    case SETBREAK:
        status = d.SetBreak(true);
        break;
    case CLRBREAK:
        status = d.SetBreak(false);
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return status == 0 ? Succeed() : Fail(ErrorFromErrno(status));
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    bool input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    if (output) {
        h->pending.Clear();
        h->immediate = -1;
    }
    int status = h->device->Purge(input, output);
    return status == 0 ? Succeed() : Fail(ErrorFromErrno(status));
}

BOOL TransmitCommChar(HANDLE h, char c) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    // As on the platform, one immediate byte at a time; it goes straight to the device,
    // or, when the device is full, first as soon as it takes anything again.
    if (h->immediate >= 0)
        return Fail(ERROR_GEN_FAILURE);
    int status = h->device->SendImmediate(static_cast<unsigned char>(c));
    if (status == -EAGAIN) {
        h->immediate = static_cast<unsigned char>(c);
        status = 0;
    }
    if (status != 0)
        return Fail(ErrorFromErrno(status));
    return Succeed();
}

BOOL ReadFile(HANDLE h, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped) {
    if (read)
        *read = 0;
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    if (!buffer && length > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    auto* out = static_cast<unsigned char*>(buffer);
    const COMMTIMEOUTS& t = h->timeouts;
    // "Interval MAXDWORD, totals 0" returns at once with what is there: the setting the
    // serial port class uses. Otherwise the total time-out bounds the wait (0: none).
    bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                     t.ReadTotalTimeoutConstant == 0;
    std::uint64_t total = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * length +
                          t.ReadTotalTimeoutConstant;
    // The clock is read only by a read that may wait: an immediate one-byte read is the
    // per-character path and stays free of it.
    std::uint32_t start = immediate ? 0 : GetTickCount();
    DWORD got = 0;
    for (;;) {
        int n =
            h->device->Read(out + got, static_cast<int>(std::min<DWORD>(length - got, 1u << 30)));
        if (n < 0) {
            if (got == 0)
                return Fail(ErrorFromErrno(n));
            break;
        }
        got += static_cast<DWORD>(n);
        if (got >= length || immediate)
            break;
        std::uint32_t spent = TicksSince(start);
        if (total != 0 && spent >= total)
            break;
        std::uint64_t left = total != 0 ? total - spent : kEventPollMs;
        h->device->Wait(static_cast<int>(std::min<std::uint64_t>(left, kEventPollMs)), true, false);
    }
    if (read)
        *read = got;
    if (overlapped)
        overlapped->InternalHigh = got;
    return Succeed();
}

BOOL WriteFile(HANDLE h, const void* data, DWORD length, DWORD* written, OVERLAPPED* overlapped) {
    if (written)
        *written = 0;
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    if (!data && length > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    const auto* in = static_cast<const unsigned char*>(data);
    int status = FlushPending(*h);
    DWORD taken = 0;
    if (status == 0 && h->Pending() == 0) {
        int n = h->device->Write(in, static_cast<int>(std::min<DWORD>(length, 1u << 30)));
        if (n < 0)
            status = n;
        else
            taken = static_cast<DWORD>(n);
        NoteDeviceFull(*h, n >= 0 && taken < length);
    }
    if (status != 0)
        return Fail(ErrorFromErrno(status));
    h->pending.Append(in + taken, length - taken);
    if (length > 0)
        if (written)
            *written = length;
    if (overlapped)
        overlapped->InternalHigh = length;
    return Succeed();
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* transferred, BOOL) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    if (!overlapped || !transferred)
        return Fail(ERROR_INVALID_PARAMETER);
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return Succeed();
}

BOOL WaitCommReady(HANDLE h, DWORD capMs, BOOL forRead, BOOL forWrite) {
    if (!Valid(h))
        return Fail(ERROR_INVALID_HANDLE);
    FlushPending(*h);
    // Waiting for the device to take more only makes sense while our own queue holds
    // bytes: an empty queue with a writable device would wake at once, every time.
    bool writeWait = forWrite && h->Pending() > 0;
    int r = h->device->Wait(static_cast<int>(std::min<DWORD>(capMs, 1u << 30)), forRead != 0,
                            writeWait);
    FlushPending(*h, r > 0);
    if (r < 0)
        return Fail(ErrorFromErrno(r));
    return r > 0 ? Succeed() : Fail(ERROR_SUCCESS);
}

} // namespace platform
