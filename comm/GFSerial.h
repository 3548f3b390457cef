// The adaptor every upper layer talks through: time-outs in milliseconds, character pacing
// and line-state decoding over any ComLink.
#pragma once

#include <memory>

#include "comm/ComLink.h"

namespace comm {

// Input and output handshake modes, saved on attach and put back on destruction,
// plus the four packed line-state bytes (two bits per line, lowest bits first).
class LineStatus {
  public:
    explicit LineStatus(ComLink* link);

    int Refresh();
    int SetHandshake(int inputMode, int outputMode);
    int Restore();

    int InputMode() const { return m_inputMode; }
    int OutputMode() const { return m_outputMode; }
    int SavedInputMode() const { return m_savedInput; }
    int SavedOutputMode() const { return m_savedOutput; }

    int Cts() const { return Field(1, 0); }
    int CarrierDetect() const { return Field(1, 4); }
    int BreakSeen() const { return Field(2, 6); }
    int ParityError() const { return Field(3, 0); }
    int FramingError() const { return Field(3, 2); }
    int ReceiveOverflow() const { return Field(3, 4); }
    int Overrun() const { return Field(3, 6); }
    const unsigned char* States() const { return m_states; }

  private:
    int Field(int byte, int shift) const { return (m_states[byte] >> shift) & 3; }

    ComLink* m_link;
    int m_savedInput{0};
    int m_savedOutput{0};
    int m_inputMode{0};
    int m_outputMode{0};
    unsigned char m_states[4]{};
};

// Baud rate, parity letter, data bits and stop bits, with the set found on the link kept
// for restoring.
class LineSettings {
  public:
    LineSettings() = default;

    int Apply(long baud, char parity, int dataBits, int stopBits);
    int Attach(ComLink* link);
    int Restore();

    long Baud() const { return m_baud; }
    char Parity() const { return m_parity; }
    int DataBits() const { return m_dataBits; }
    int StopBits() const { return m_stopBits; }

  private:
    ComLink* m_link{nullptr};
    long m_baud{1200};
    char m_parity{'N'};
    int m_dataBits{8};
    int m_stopBits{1};
    long m_savedBaud{1200};
    char m_savedParity{'N'};
    int m_savedDataBits{8};
    int m_savedStopBits{1};
};

// Line-error flag bits reported by GFSerial::LineErrors.
inline constexpr int kErrorParity = 1;
inline constexpr int kErrorFraming = 2;
inline constexpr int kErrorOverflow = 4;
inline constexpr int kErrorOverrun = 8;
inline constexpr int kErrorBreak = 16;

class GFSerial {
  public:
    // Attaches to a link the caller keeps owning. When the link already holds a non-zero
    // last status (its port failed to open) nothing else is done: the caller reads that
    // status through LineErrors and gives up.
    explicit GFSerial(ComLink* link);
    virtual ~GFSerial();
    GFSerial(const GFSerial&) = delete;
    GFSerial& operator=(const GFSerial&) = delete;

    // A byte 0-255, kTimedOut when the time-out passed, or a negative Idle result.
    // With time-out 0 the link is polled exactly once.
    virtual int ReadChar(long timeoutMs);
    // The link's WriteChar status, followed by the pacing delay when one is set.
    virtual int WriteChar(int c);
    // Reserved operation of the adaptor; not supported.
    virtual int Reserved();

    // Reads up to `max` characters (the buffer holds max + 1), stopping after the
    // terminator (unless it is -1) or at the time-out; always NUL-terminates.
    int ReadString(char* buffer, int max, int terminator, long timeoutMs);
    // Writes `text` then the ending: -3 CR LF, -2 LF, -1 nothing, 0-255 that character.
    int WriteString(const char* text, int ending);
    int WriteBuffer(const unsigned char* data, int length);
    // Reads until `length` bytes arrived or the time is up; NUL-terminates (length + 1 bytes).
    int ReadBuffer(unsigned char* buffer, int length, long timeoutMs);
    long InputCount();
    int LineErrors(int& flags);

    int PurgeInput(int count) { return m_link->Purge(0, count); }
    int PurgeOutput() { return m_link->Purge(1, 0); }
    int Idle() { return m_link->Idle(); }

    void SetPacing(int ms) { m_pacingMs = ms; }
    int Pacing() const { return m_pacingMs; }

    LineStatus* Status() { return m_status.get(); }
    LineSettings* Settings() { return m_settings.get(); }
    ComLink* Link() { return m_link; }

  private:
    ComLink* m_link;
    int m_pacingMs{0};
    std::unique_ptr<LineStatus> m_status;
    std::unique_ptr<LineSettings> m_settings;
};

} // namespace comm
