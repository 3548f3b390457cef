// The Hayes command engine. Every wait is a tick-count loop that calls the link's Idle once per
// turn, so a link that gives up ends it; nothing is retried here, the caller decides.
#include "comm/HayesModem.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "comm/StatusCodes.h"
#include "platform/Clock.h"

namespace comm {

namespace {

constexpr long kPauseMs = 500;       // one pause character
constexpr int kPollWaitMs = 55;      // one empty poll of ReadLine
constexpr long kAfterAnswerMs = 100; // after a matched answer and after hanging up
constexpr long kEchoReadMs = 150;    // reading back an echo or a register value
constexpr long kBeforeQueryMs = 200; // the modem's time to print a register
constexpr long kAfterResetMs = 250;  // the modem's time to reset in Initialize
constexpr int kJobCommandDelayMs = 500;
constexpr int kJobResetWaitMs = 5000;
constexpr long kOpenSettleMs = 500;
constexpr int kRegisterTextSize = 512;
constexpr int kRegisterReplySize = 40;
constexpr char kCR = '\r';
constexpr char kLF = '\n';

// Formats a register command from a profile format. The format comes from the installed
// modem's registry entry, so it is not handed to printf: only "%d" (at most twice) and "%%" are
// understood, and anything else makes it unusable.
bool FormatRegisterCommand(const char* format, int first, int second, char* out, int size) {
    const int numbers[2] = {first, second};
    int used = 0;
    int length = 0;
    auto put = [&](std::string_view text) {
        if (length + static_cast<int>(text.size()) >= size)
            return false;
        std::memcpy(out + length, text.data(), text.size());
        length += static_cast<int>(text.size());
        return true;
    };
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            if (!put(std::string_view(p, 1)))
                return false;
            continue;
        }
        ++p;
        if (*p == '%') {
            if (!put("%"))
                return false;
        } else if (*p == 'd' && used < 2) {
            char digits[16];
            int n = std::snprintf(digits, sizeof digits, "%d", numbers[used++]);
            if (!put(std::string_view(digits, static_cast<std::size_t>(n))))
                return false;
        } else {
            return false;
        }
    }
    out[length] = '\0';
    return true;
}

// Keeps the link's pacing delay at 0 while a command goes out and puts it back on every way
// out, so that pauses are exact and a failed write does not leave the link unpaced.
class PacingOff {
  public:
    explicit PacingOff(GFSerial* link) : m_link{link}, m_saved{link->Pacing()} {
        m_link->SetPacing(0);
    }
    ~PacingOff() { m_link->SetPacing(m_saved); }
    PacingOff(const PacingOff&) = delete;
    PacingOff& operator=(const PacingOff&) = delete;

  private:
    GFSerial* m_link;
    int m_saved;
};

} // namespace

const ModemProfile& DefaultModemProfile() {
    static const ModemProfile profile = [] {
        ModemProfile p;
        SetProfileText(p.name, "Hayes compatible");
        SetProfileText(p.prefix, "AT");
        SetProfileText(p.terminator, "\r");
        SetProfileText(p.initialization, "X1 V1 S0=0");
        SetProfileText(p.toneDial, "DT");
        SetProfileText(p.pulseDial, "DP");
        SetProfileText(p.hangUp, "~~~+++~~~ATH0");
        SetProfileText(p.reset, "Z");
        SetProfileText(p.setRegister, "S%d=%d");
        SetProfileText(p.queryRegister, "S%d?");
        SetProfileText(p.autoAnswerOn, "S0=1");
        SetProfileText(p.autoAnswerOff, "S0=0");
        SetProfileText(p.answer, "A");
        SetProfileText(p.echoOn, "E1");
        SetProfileText(p.echoOff, "E0");
        SetProfileText(p.goOnline, "O");
        SetProfileText(p.onHook, "H0");
        SetProfileText(p.offHook, "H1");
        SetProfileText(p.numericResults, "V0");
        SetProfileText(p.verboseResults, "V1");
        p.speakerCommands = {"M0", "M1", "M2", "", ""};
        p.resultCodeCommands = {"X0", "X1", "X2", "X3", "X4", "X5", "X6", "X7", "", ""};
        return p;
    }();
    return profile;
}

// ---- Waiting and writing ----

int HayesModem::Wait(long ms, bool watchStop) {
    std::uint32_t start = platform::GetTickCount();
    while (static_cast<long>(platform::TicksSince(start)) < ms) {
        // A stop is seen within a turn, not once the pause (up to a second) has run out.
        if (int hook = watchStop ? PollHook() : kSuccess; hook < 0)
            return hook;
        int idle = m_link->Idle();
        if (idle < 0)
            return idle;
    }
    return kSuccess;
}

void HayesModem::Attach(GFSerial* link, const ModemProfile* profile) {
    m_link = link;
    m_profile = profile ? profile : &DefaultModemProfile();
}

int HayesModem::FormatCommand(const char* text, bool withPrefix) {
    if (!text || !*text)
        return kNotSupported;
    const char* prefix = withPrefix ? m_profile->prefix : "";
    std::size_t length =
        std::strlen(prefix) + std::strlen(text) + std::strlen(m_profile->terminator);
    // A command that does not fit is refused rather than sent cut short.
    if (length >= sizeof m_command)
        return kNotSupported;
    std::snprintf(m_command, sizeof m_command, "%s%s%s", prefix, text, m_profile->terminator);
    return kSuccess;
}

int HayesModem::WriteCommand(const char* text, bool withPrefix) {
    if (!text)
        return kNotSupported;
    if (!m_link)
        return kNoSerialObject;
    if (FormatCommand(text, withPrefix) != kSuccess)
        return kNotSupported;
    PacingOff unpaced(m_link);
    for (const char* p = m_command; *p; ++p) {
        if (*p == m_pause) {
            int status = Wait(kPauseMs);
            if (status < 0)
                return status;
            continue;
        }
        int status = m_link->WriteChar(static_cast<unsigned char>(*p));
        if (status != 0)
            return status;
    }
    return kSuccess;
}

int HayesModem::AwaitExpectedAnswer(int budgetMs) {
    char line[kCommandSize];
    int budget = budgetMs;
    // ReadLine's budget only counts the waits for input, so a modem that keeps talking without
    // ever saying the expected answer would hold us forever; the clock bounds that too.
    std::uint32_t start = platform::GetTickCount();
    for (;;) {
        int left = ReadLine(line, sizeof line, budget);
        if (left <= 0)
            return kNoModemOk;
        if (*m_expected == line)
            break;
        if (static_cast<int>(platform::TicksSince(start)) >= budgetMs)
            return kNoModemOk;
        budget = left;
    }
    return Wait(kAfterAnswerMs);
}

int HayesModem::SendCommand(const char* text, bool withPrefix) {
    int status = WriteCommand(text, withPrefix);
    if (status != kSuccess)
        return status;
    if (m_responseMode > 0)
        return Wait(m_responseMode);
    if (m_responseMode < 0 && m_expected)
        return AwaitExpectedAnswer(-m_responseMode);
    return kSuccess;
}

int HayesModem::SendCommandNoWait(const char* text, bool withPrefix) {
    return WriteCommand(text, withPrefix);
}

void HayesModem::ExpectAnswer(int ms, const char* text) {
    m_responseMode = -ms;
    if (text)
        m_expected = text;
}

// ---- Reading ----

int HayesModem::ReadLine(char* buffer, int size, int budgetMs) {
    if (!m_link)
        return kNoSerialObject;
    if (!buffer || size < 2)
        return kBadArgument;
    int budget = budgetMs;
    int stored = 0;
    for (;;) {
        int hook = PollHook();
        if (hook < 0) {
            buffer[stored] = '\0';
            return hook;
        }
        int c = m_link->ReadChar(0);
        if (c == kTimedOut) {
            int status = Wait(kPollWaitMs, false); // the loop asked PollHook already
            if (status < 0) {
                buffer[stored] = '\0';
                return status;
            }
            if (budget <= kPollWaitMs) {
                budget = 0;
                break;
            }
            budget -= kPollWaitMs;
            continue;
        }
        if (c < 0) {
            buffer[stored] = '\0';
            return c;
        }
        CharacterHook(c);
        if (c == kCR)
            break;
        if (c == kLF)
            continue;
        buffer[stored++] = static_cast<char>(c);
        if (stored == size - 1)
            break;
    }
    buffer[stored] = '\0';
    return budget;
}

void HayesModem::CharacterHook(int) {}

int HayesModem::PollHook() {
    return kSuccess;
}

// ---- Opening ----

int HayesModem::Initialize(GFSerial* link, const ModemProfile* profile) {
    m_echo = 0;
    if (!link)
        return kBadArgument;
    Attach(link, profile);
    Reset();
    if (m_responseMode <= 0) {
        int status = Wait(kAfterResetMs);
        if (status < 0)
            return status;
    }
    m_link->PurgeInput(0);
    int status = SendInit();
    if (status != kSuccess)
        return status;
    // A modem with echo on sends the command back; seeing the initialisation string in what
    // comes back within a moment tells us so.
    int expected =
        static_cast<int>(std::strlen(m_profile->prefix) + std::strlen(m_profile->initialization));
    if (expected > kCommandSize - 1)
        expected = kCommandSize - 1;
    auto* bytes = reinterpret_cast<unsigned char*>(m_command);
    int got = m_link->ReadBuffer(bytes, expected, kEchoReadMs);
    if (got < 0)
        got = 0;
    std::string_view read(m_command, static_cast<std::size_t>(got));
    if (read.find(m_profile->initialization) != std::string_view::npos)
        m_echo = 1;
    for (int i = 0; i < got; ++i)
        CharacterHook(bytes[i]);
    return kSuccess;
}

int HayesModem::OpenForJob(GFSerial* link, const ModemProfile* profile, bool keepCall) {
    m_echo = 0;
    if (!link)
        return kBadArgument;
    Attach(link, profile);
    // Resetting would end a voice call that is up on the line, so it is skipped then. Whether
    // the modem said OK is not decided here: the initialisation below must be answered anyway.
    if (!keepCall) {
        ExpectAnswer(kJobResetWaitMs, "OK");
        Reset();
    }
    SetCommandDelay(kJobCommandDelayMs);
    int status = Wait(kOpenSettleMs);
    if (status < 0)
        return status;
    m_link->PurgeInput(0);
    return SendInit();
}

// ---- Dialling and the line ----

int HayesModem::SetDialMode(int mode) {
    if (!m_link)
        return kNoSerialObject;
    if (mode != kDialPulse && mode != kDialTone)
        return kBadArgument;
    m_dialMode = mode;
    return mode;
}

int HayesModem::Dial(const char* number) {
    if (!number)
        return kBadArgument;
    if (!m_link)
        return kNoSerialObject;
    const char* command = m_dialMode == kDialPulse ? m_profile->pulseDial : m_profile->toneDial;
    if (!*command)
        return kNotSupported;
    // A number cut short would ring somebody else: one that does not fit is refused.
    std::size_t commandLength = std::strlen(command);
    std::size_t numberLength = std::strlen(number);
    if (commandLength + numberLength >= static_cast<std::size_t>(kDialTextSize))
        return kBadArgument;
    char dialText[kDialTextSize];
    std::memcpy(dialText, command, commandLength);
    std::memcpy(dialText + commandLength, number, numberLength + 1);
    // Redial passes the remembered number itself.
    std::memmove(m_lastNumber, number, numberLength + 1);
    return SendCommandNoWait(dialText, true);
}

int HayesModem::Redial() {
    // Redialling before anything was dialled would just take the line off hook.
    if (!m_lastNumber[0])
        return kBadArgument;
    return Dial(m_lastNumber);
}

int HayesModem::HangUp() {
    if (!m_link)
        return kNoSerialObject;
    if (SendCommand(m_profile->hangUp, false) != kSuccess)
        return kNotSupported;
    int status = Wait(kAfterAnswerMs);
    if (status < 0)
        return status;
    // A fresh look at the lines; the handshake modes are put back as they were found.
    LineStatus lines(m_link->Link());
    status = lines.Refresh();
    lines.Restore();
    if (status < 0)
        return status;
    return lines.CarrierDetect() == 1 ? kGeneralError : kSuccess;
}

int HayesModem::Reset() {
    if (!m_link)
        return kNoSerialObject;
    return SendCommand(m_profile->reset, true);
}

int HayesModem::AutoAnswerOn() {
    return SendCommand(m_profile->autoAnswerOn, true);
}
int HayesModem::AutoAnswerOff() {
    return SendCommand(m_profile->autoAnswerOff, true);
}
int HayesModem::SendInit() {
    return SendCommand(m_profile->initialization, true);
}
int HayesModem::EchoOn() {
    return SendCommand(m_profile->echoOn, true);
}
int HayesModem::EchoOff() {
    return SendCommand(m_profile->echoOff, true);
}
int HayesModem::Answer() {
    return SendCommandNoWait(m_profile->answer, true);
}
int HayesModem::GoOnline() {
    return SendCommandNoWait(m_profile->goOnline, true);
}
int HayesModem::OnHook() {
    return SendCommand(m_profile->onHook, true);
}
int HayesModem::OffHook() {
    return SendCommand(m_profile->offHook, true);
}
int HayesModem::NumericResults() {
    return SendCommand(m_profile->numericResults, true);
}
int HayesModem::VerboseResults() {
    return SendCommand(m_profile->verboseResults, true);
}

int HayesModem::SendIndexed(const std::string* commands, int count, int index) {
    if (index < 0 || index >= count || commands[index].empty())
        return kBadArgument;
    return SendCommand(commands[index].c_str(), true);
}

int HayesModem::SetSpeakerMode(int index) {
    return SendIndexed(m_profile->speakerCommands.data(), ModemProfile::kSpeakerCommandCount,
                       index);
}

int HayesModem::SetResultCodeSet(int index) {
    return SendIndexed(m_profile->resultCodeCommands.data(), ModemProfile::kResultCodeCommandCount,
                       index);
}

// ---- S-registers ----

int HayesModem::SetRegister(int reg, int value) {
    if (!m_link)
        return kNoSerialObject;
    char text[kRegisterTextSize];
    if (!FormatRegisterCommand(m_profile->setRegister, reg, value, text, sizeof text))
        return kGeneralError;
    return SendCommand(text, true) == kSuccess ? kSuccess : kGeneralError;
}

const char* HayesModem::QueryRegister(int reg) {
    if (!m_link)
        return nullptr;
    m_link->PurgeInput(0);
    char text[kRegisterTextSize];
    if (!FormatRegisterCommand(m_profile->queryRegister, reg, 0, text, sizeof text))
        return nullptr;
    // The value comes before the modem's OK, so no OK is awaited while asking.
    std::optional<std::string> expected = std::move(m_expected);
    m_expected.reset();
    struct Restore {
        HayesModem* modem;
        std::optional<std::string>& saved;
        ~Restore() { modem->m_expected = std::move(saved); }
    } restore{this, expected};
    if (SendCommand(text, true) != kSuccess)
        return nullptr;
    if (m_responseMode <= 0 && Wait(kBeforeQueryMs) < 0)
        return nullptr;
    auto* bytes = reinterpret_cast<unsigned char*>(m_command);
    if (m_echo) {
        int echoed = static_cast<int>(std::strlen(m_command));
        if (m_link->ReadBuffer(bytes, echoed, kEchoReadMs) < 0)
            return nullptr;
    }
    int got = m_link->ReadBuffer(bytes, kRegisterReplySize, kEchoReadMs);
    if (got < 0)
        return nullptr;
    m_command[got] = '\0';
    char* value = m_command;
    while (*value == kCR || *value == kLF)
        ++value;
    // Only the value's own line: the modem's OK that follows it is not part of the value.
    value[std::strcspn(value, "\r\n")] = '\0';
    return value;
}

} // namespace comm
