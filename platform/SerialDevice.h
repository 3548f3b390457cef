// A serial device as the Win32-shaped serial calls see it: a terminal device file or a
// virtual modem. Everything here is non-blocking except Wait, which sleeps on the device
// until it can be read or written (or the cap passes), so waiting loops never spin a core.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Line settings applied to a device. Stop bits are in halves: 2 = one, 3 = one and a half,
// 4 = two.
struct SerialConfig {
    std::uint32_t baud { 19200 };
    int dataBits { 8 };
    char parity { 'N' }; // N, O, E, M, S
    int stopHalves { 2 };
    bool rtsCtsFlow { false }; // output held while CTS is off, RTS drops when input is full
    bool xonXoffOutput { false };
    bool xonXoffInput { false };
    unsigned char xonChar { 0x11 };
    unsigned char xoffChar { 0x13 };
};

// Modem status bits, as the platform's modem-status call reports them.
inline constexpr unsigned kModemCts = 0x10;
inline constexpr unsigned kModemDsr = 0x20;
inline constexpr unsigned kModemRing = 0x40;
inline constexpr unsigned kModemDcd = 0x80;

// Line errors counted by the device since it was opened.
struct LineErrorCounts {
    std::uint32_t overrun { 0 };
    std::uint32_t parity { 0 };
    std::uint32_t framing { 0 };
    std::uint32_t breaks { 0 };
    std::uint32_t bufferOverrun { 0 };
};

class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    // Bytes read (0 when none is waiting) or -errno.
    virtual int Read(unsigned char* buffer, int length) = 0;
    // Bytes accepted (possibly fewer than asked when the device's queue is full) or -errno.
    virtual int Write(const unsigned char* data, int length) = 0;
    // Sleeps until the device is readable (and, with forWrite, writable) or capMs passes.
    // Returns 1 when ready, 0 on time-out, -errno on failure.
    virtual int Wait(int capMs, bool forRead, bool forWrite) = 0;
    virtual int Configure(const SerialConfig& config) = 0;
    virtual SerialConfig Configuration() const = 0;
    // kModem* bits.
    virtual unsigned ModemStatus() = 0;
    virtual int SetDtr(bool on) = 0;
    virtual int SetRts(bool on) = 0;
    virtual int SetBreak(bool on) = 0;
    virtual int Purge(bool input, bool output) = 0;
    // Bytes waiting to be read / still queued for sending in the driver.
    virtual long InputQueued() = 0;
    virtual long OutputQueued() = 0;
    virtual LineErrorCounts Errors() = 0;
    // Sends one byte ahead of queued output.
    virtual int SendImmediate(unsigned char c) = 0;
};

} // namespace platform
