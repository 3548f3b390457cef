// The Hayes AT command engine: formats commands from a modem profile, writes them with pauses
// for guard times, optionally waits for an answer line, and reads answer lines on a time budget.
#pragma once

#include <optional>
#include <string>

#include "comm/GFSerial.h"
#include "comm/ModemProfile.h"

namespace comm {

// Dial modes accepted by SetDialMode; 0, the initial mode, dials with tones as well.
inline constexpr int kDialPulse = 9;
inline constexpr int kDialTone = 10;

class HayesModem {
  public:
    static constexpr int kCommandSize = 256;
    static constexpr int kDialTextSize = 40;
    static constexpr char kDefaultPauseCharacter = '~';

    // The link may also be given later by Initialize or OpenForJob; with no profile the default
    // one is used. Neither is owned: both must outlive the modem object.
    explicit HayesModem(GFSerial* link = nullptr, const ModemProfile* profile = nullptr) {
        Attach(link, profile);
    }
    virtual ~HayesModem() = default;
    HayesModem(const HayesModem&) = delete;
    HayesModem& operator=(const HayesModem&) = delete;

    // Resets and initialises the modem and notes whether it echoes commands.
    virtual int Initialize(GFSerial* link, const ModemProfile* profile);
    virtual int SetDialMode(int mode);
    // Writes the dial command and returns at once: the caller reads CONNECT or BUSY itself.
    virtual int Dial(const char* number);
    virtual int Redial();
    // 0 once the carrier is gone, kGeneralError when it is still present, kNotSupported when the
    // command failed.
    virtual int HangUp();
    virtual int Reset();
    virtual int AutoAnswerOn();
    virtual int AutoAnswerOff();
    // Writes one command (prefix when asked, text, terminator), a pause character standing
    // for a pause, then waits as the response mode says.
    virtual int SendCommand(const char* text, bool withPrefix);
    virtual int SendCommandNoWait(const char* text, bool withPrefix);
    virtual int SetRegister(int reg, int value);
    // The register's value as the modem printed it, or nullptr. The text lives in the command
    // buffer and is valid until the next command.
    virtual const char* QueryRegister(int reg);
    virtual int SendInit();
    virtual int EchoOn();
    virtual int EchoOff();
    virtual int Answer();
    virtual int GoOnline();
    virtual int OnHook();
    virtual int OffHook();
    virtual int NumericResults();
    virtual int VerboseResults();
    virtual int SetSpeakerMode(int index);
    virtual int SetResultCodeSet(int index);
    // Reads one answer line into buffer (size - 1 characters at most, NUL-terminated). Returns
    // the budget left when a line ended (> 0), 0 when the budget ran out with whatever partial
    // line arrived, or a negative status. Only the 55 ms waits for input count against the
    // budget.
    virtual int ReadLine(char* buffer, int size, int budgetMs);
    // Sees every character ReadLine or Initialize reads.
    virtual void CharacterHook(int c);
    // Called once per ReadLine poll; a negative result ends the read with that status.
    virtual int PollHook();
    // Builds the command buffer: prefix (when asked) + text + terminator.
    virtual int FormatCommand(const char* text, bool withPrefix);

    // From now on every command is followed by a fixed wait of ms milliseconds (0: none).
    void SetCommandDelay(int ms) { m_responseMode = ms; }
    // From now on every command waits up to ms milliseconds for a line equal to text; without
    // a text the previous expected answer stays.
    void ExpectAnswer(int ms, const char* text);
    // The job driver's way in: resets the modem unless a call must be kept, switches to a
    // fixed 500 ms wait after every command (the caller reads the answers) and sends the
    // initialisation string.
    int OpenForJob(GFSerial* link, const ModemProfile* profile, bool keepCall);

    int ResponseMode() const { return m_responseMode; }
    const char* ExpectedAnswer() const { return m_expected ? m_expected->c_str() : nullptr; }
    bool Echoes() const { return m_echo != 0; }
    int DialMode() const { return m_dialMode; }
    const char* LastCommand() const { return m_command; }
    const char* LastNumber() const { return m_lastNumber; }
    GFSerial* Link() const { return m_link; }
    const ModemProfile& Profile() const { return *m_profile; }

  private:
    void Attach(GFSerial* link, const ModemProfile* profile);
    // Waits ms milliseconds, calling the link's Idle each turn; a negative Idle ends it, and
    // with `watchStop` so does a stop (PollHook).
    int Wait(long ms, bool watchStop = true);
    // Formats and writes a command with pauses, without waiting for anything.
    int WriteCommand(const char* text, bool withPrefix);
    int AwaitExpectedAnswer(int budgetMs);
    int SendIndexed(const std::string* commands, int count, int index);

    int m_responseMode{0};
    std::optional<std::string> m_expected;
    int m_echo{0};
    char m_pause{kDefaultPauseCharacter};
    int m_dialMode{0};
    char m_command[kCommandSize]{};
    char m_lastNumber[kDialTextSize]{};
    GFSerial* m_link{nullptr};
    const ModemProfile* m_profile{&DefaultModemProfile()};
};

} // namespace comm
