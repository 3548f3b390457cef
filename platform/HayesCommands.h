// The Hayes command interpreter of the virtual modem: command lines in, echo and result
// texts out, S registers and the settings they stand for. It knows nothing of sockets: what
// a command does to the call (dial, answer, hang up, go back on line) it asks of its host.
#pragma once

#include "platform/ByteQueue.h"

#include <cstdint>
#include <string>

namespace platform {

enum class ModemResult { Ok, Connect, Ring, NoCarrier, Error, NoDialtone, Busy };

// What the interpreter asks of the modem it belongs to. Called with the modem's lock held.
class HayesHost {
  public:
    virtual ~HayesHost() = default;
    virtual void Answer() = 0;                          // A
    virtual void Dial(const std::string& number) = 0;   // D, the whole number
    virtual void TakeLine() = 0;                        // D...; and H1: off hook, no call
    virtual bool ReturnOnline() = 0;                    // O; false when there is no call
    virtual void PutOnHook() = 0;                       // H0, Z
    virtual bool Ringing() const = 0;                   // a call rings (its count survives Z)
    virtual bool CanDial() const = 0;                   // idle or off hook
    virtual bool HasLine() const = 0;                   // false: NO DIALTONE
    virtual std::string Information() const = 0;        // I4
    virtual std::uint32_t ConnectRate() const = 0;      // the rate CONNECT reports
};

class HayesCommands {
  public:
    static constexpr int kRegisterCount = 64;
    static constexpr int kRegAutoAnswer = 0;
    static constexpr int kRegRingCount = 1;
    static constexpr int kRegEscape = 2;
    static constexpr int kRegCarriageReturn = 3;
    static constexpr int kRegBackspace = 5;
    static constexpr int kRegCarrierWait = 7;
    static constexpr int kRegGuardTime = 12;

    // Echo and results are appended to output; it is bounded by outputLimit for echo.
    HayesCommands(HayesHost& host, ByteQueue& output, std::size_t outputLimit);

    // One byte typed in command mode.
    void Byte(unsigned char c);
    // A result, in the form and set the settings choose.
    void Emit(ModemResult result);
    // Clears the dial pieces collected so far (the call they belonged to is over).
    void ForgetDialPieces() { m_dialNumber.clear(); }

    // Factory settings; a ringing call keeps its ring count.
    void ResetSettings();

    unsigned char Register(int number) const { return m_settings.registers[number]; }
    void SetRegister(int number, unsigned char value) { m_settings.registers[number] = value; }
    int DtrMode() const { return m_settings.dtrMode; }
    int DcdMode() const { return m_settings.dcdMode; }
    std::uint32_t GuardMs() const { return Register(kRegGuardTime) * 20u; } // fiftieths

  private:
    struct Settings {
        bool echo{true};
        bool verbose{true};
        bool quiet{false};
        int resultSet{4};
        int dtrMode{2}; // &D
        int dcdMode{1}; // &C
        unsigned char registers[kRegisterCount]{};
    };

    void ExecuteLine(const std::string& line);
    bool ExecuteAmpersand(char sub, int value);
    void ExecuteDial(const std::string& rest);
    void EmitText(const std::string& text);

    HayesHost& m_host;
    ByteQueue& m_output;
    std::size_t m_outputLimit;
    Settings m_settings;
    bool m_sawA{false};
    bool m_inLine{false};
    std::string m_line;
    std::string m_lastLine;
    std::string m_dialNumber; // the number as dialled so far (pieces ending with ";")
};

// The number as the dial command wrote it, without blanks and without the tone or pulse
// modifier in front ("T", "P"), which a number written as telnet://host keeps.
std::string DialledNumber(const std::string& rest);

} // namespace platform
