// A terminal device file (serial port, USB adaptor or pseudo-terminal) behind the serial
// device interface: raw binary mode over termios, opened exclusively and without blocking.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"

namespace platform {

class TtyDevice final : public SerialDevice {
  public:
    // Opens `path` for reading and writing, non-blocking, not as a controlling terminal and
    // exclusively (TIOCEXCL and an advisory lock), then puts it in raw mode keeping its
    // current rate and framing. On failure returns null and sets `error` to -errno
    // (-EBUSY when another opener holds the device).
    static std::unique_ptr<TtyDevice> Open(const std::string& path, int& error);

    ~TtyDevice() override;
    TtyDevice(const TtyDevice&) = delete;
    TtyDevice& operator=(const TtyDevice&) = delete;

    int Read(unsigned char* buffer, int length) override;
    int Write(const unsigned char* data, int length) override;
    int Wait(int capMs, bool forRead, bool forWrite) override;
    int Configure(const SerialConfig& config) override;
    SerialConfig Configuration() const override { return m_config; }
    unsigned ModemStatus() override;
    int SetDtr(bool on) override;
    int SetRts(bool on) override;
    int SetBreak(bool on) override;
    int Purge(bool input, bool output) override;
    long InputQueued() override;
    long OutputQueued() override;
    LineErrorCounts Errors() override;
    int SendImmediate(unsigned char c) override;

    // Whether the driver has modem lines (a pseudo-terminal has none).
    bool HasModemLines() const { return m_hasModemLines; }
    int Descriptor() const { return m_fd; }

  private:
    explicit TtyDevice(int fd);

    // One read() into the empty input buffer; the number of bytes now buffered or -errno.
    int Fill();
    long Buffered() const { return static_cast<long>(m_tail - m_head); }
    int SetModemLine(int bit, bool on);

    int m_fd;
    SerialConfig m_config;
    bool m_isPseudoTerminal{false};
    std::chrono::steady_clock::time_point m_nextInputCheck{};
    bool m_hasModemLines{false};
    bool m_hasCounters{false};
    bool m_countersStale{true};
    // Whether bytes may still sit in the driver's output queue; once the driver reports
    // it empty, nothing is asked again until the next write.
    bool m_outputMaybeQueued{false};
    LineErrorCounts m_counts;
    LineErrorCounts m_baseline; // the driver's counters when we opened the device
    std::vector<unsigned char> m_buffer;
    std::size_t m_head{0};
    std::size_t m_tail{0};
};

} // namespace platform
