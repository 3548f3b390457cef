// The Hayes command interpreter: command lines, S registers, result codes.
#include "platform/HayesCommands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <strings.h>

namespace platform {
namespace {

constexpr std::size_t kMaxCommandLine = 255;
constexpr const char* kIdentification = "Sendari Virtual Modem";
constexpr const char* kVersion = "1.0";

struct FactoryRegister {
    int number;
    unsigned char value;
};
constexpr FactoryRegister kFactoryRegisters[] = {
    {2, 43}, {3, 13}, {4, 10},  {5, 8},   {6, 2},   {7, 50},
    {8, 2},  {9, 6},  {10, 14}, {11, 95}, {12, 50},
};

// Numeric result codes of CONNECT at the common line rates; other rates report plain 1.
struct ConnectCode {
    std::uint32_t rate;
    int code;
};
constexpr ConnectCode kConnectCodes[] = {
    {1200, 5},   {2400, 10},  {4800, 11},  {9600, 12},  {7200, 13},   {12000, 14},
    {14400, 15}, {19200, 16}, {38400, 17}, {57600, 18}, {115200, 19}, {16800, 59},
    {21600, 61}, {24000, 62}, {26400, 63}, {28800, 64}, {31200, 65},  {33600, 66},
};

bool InRange(int value, int low, int high) {
    return value >= low && value <= high;
}

} // namespace

std::string DialledNumber(const std::string& rest) {
    std::string number;
    for (char c : rest)
        if (c != ' ')
            number += c;
    // Only the first character can be the tone or pulse modifier: host names contain both,
    // and a number written telnet://host begins with a "t" of its own.
    const bool telnet = number.size() >= 7 && ::strncasecmp(number.c_str(), "telnet:", 7) == 0;
    if (!number.empty() && !telnet &&
        (std::toupper(static_cast<unsigned char>(number[0])) == 'T' ||
         std::toupper(static_cast<unsigned char>(number[0])) == 'P'))
        number.erase(0, 1);
    return number;
}

HayesCommands::HayesCommands(HayesHost& host, ByteQueue& output, std::size_t outputLimit)
    : m_host{host}, m_output{output}, m_outputLimit{outputLimit} {
    ResetSettings();
}

void HayesCommands::Byte(unsigned char c) {
    // Echo is dropped rather than queued without bound when nobody reads it.
    if (m_settings.echo && m_output.Size() < m_outputLimit)
        m_output.Append(&c, 1);
    char upper = static_cast<char>(std::toupper(c));
    if (!m_inLine) {
        if (m_sawA && upper == 'T') {
            m_inLine = true;
            m_line.clear();
            m_sawA = false;
        } else if (m_sawA && c == '/') {
            m_sawA = false;
            ExecuteLine(m_lastLine);
        } else {
            m_sawA = upper == 'A';
        }
        return;
    }
    if (c == m_settings.registers[kRegCarriageReturn]) {
        m_inLine = false;
        if (m_line.size() > kMaxCommandLine) {
            Emit(ModemResult::Error);
            return;
        }
        m_lastLine = m_line;
        ExecuteLine(m_line);
        return;
    }
    if (c == m_settings.registers[kRegBackspace]) {
        if (!m_line.empty())
            m_line.pop_back();
        return;
    }
    if (c < ' ')
        return; // line feeds and other control characters are not part of a command
    if (m_line.size() <= kMaxCommandLine)
        m_line += static_cast<char>(c);
}

void HayesCommands::ExecuteLine(const std::string& line) {
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < line.size() && line[i] == ' ')
            ++i;
    };
    // The number after a command letter; `none` when no digit follows.
    auto number = [&](int none) {
        skipBlanks();
        if (i >= line.size() || !std::isdigit(static_cast<unsigned char>(line[i])))
            return none;
        long value = 0;
        while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
            value = std::min(value * 10 + (line[i] - '0'), 100000L);
            ++i;
        }
        return static_cast<int>(value);
    };

    while (true) {
        skipBlanks();
        if (i >= line.size())
            break;
        char command = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i++])));
        bool ok = true;
        switch (command) {
        case 'A':
            m_host.Answer();
            return;
        case 'D':
            ExecuteDial(line.substr(i));
            return;
        case 'O':
            number(0);
            if (!m_host.ReturnOnline())
                Emit(ModemResult::NoCarrier);
            return;
        case 'E':
        case 'Q':
        case 'V': {
            int v = number(0);
            ok = InRange(v, 0, 1);
            if (ok)
                (command == 'E'   ? m_settings.echo
                 : command == 'Q' ? m_settings.quiet
                                  : m_settings.verbose) = v == 1;
            break;
        }
        case 'H': {
            int v = number(0);
            if (v == 0)
                m_host.PutOnHook();
            else if (v == 1)
                m_host.TakeLine();
            else
                ok = false;
            break;
        }
        case 'I': {
            int v = number(0);
            ok = InRange(v, 0, 9);
            std::string text;
            if (v == 0)
                text = kIdentification;
            else if (v == 3)
                text = std::string(kIdentification) + " " + kVersion;
            else if (v == 4)
                text = m_host.Information();
            if (ok && !text.empty())
                EmitText(text);
            break;
        }
        case 'B':
        case 'N':
            ok = InRange(number(0), 0, 1);
            break;
        case 'L':
        case 'M':
            ok = InRange(number(0), 0, 3);
            break;
        case 'P':
        case 'T':
            break;
        case 'W':
            ok = InRange(number(0), 0, 2);
            break;
        case 'X': {
            int v = number(0);
            ok = InRange(v, 0, 4);
            if (ok)
                m_settings.resultSet = v;
            break;
        }
        case 'Z':
            ok = InRange(number(0), 0, 1);
            if (ok) {
                m_host.PutOnHook();
                ResetSettings();
            }
            break;
        case 'S': {
            int reg = number(-1);
            ok = InRange(reg, 0, kRegisterCount - 1);
            skipBlanks();
            if (ok && i < line.size() && line[i] == '=') {
                ++i;
                int v = number(0);
                ok = InRange(v, 0, 255) && reg != kRegRingCount;
                if (ok)
                    m_settings.registers[reg] = static_cast<unsigned char>(v);
            } else if (ok && i < line.size() && line[i] == '?') {
                ++i;
                char text[8];
                std::snprintf(text, sizeof text, "%03u", m_settings.registers[reg]);
                EmitText(text);
            }
            break;
        }
        case '&': {
            char sub = i < line.size()
                           ? static_cast<char>(std::toupper(static_cast<unsigned char>(line[i++])))
                           : 0;
            ok = ExecuteAmpersand(sub, number(0));
            break;
        }
        default:
            // Extended command sets (voice and data "#", "-", "+", "%", "\") are not offered.
            ok = false;
            break;
        }
        if (!ok) {
            Emit(ModemResult::Error);
            return;
        }
    }
    Emit(ModemResult::Ok);
}

bool HayesCommands::ExecuteAmpersand(char sub, int v) {
    switch (sub) {
    case 'C':
        if (!InRange(v, 0, 1))
            return false;
        m_settings.dcdMode = v;
        return true;
    case 'D':
        if (!InRange(v, 0, 3))
            return false;
        m_settings.dtrMode = v;
        return true;
    case 'F':
        if (v != 0)
            return false;
        ResetSettings();
        return true;
    case 'K':
    case 'Q':
        return InRange(v, 0, 6);
    case 'S':
    case 'W':
    case 'Y':
        return InRange(v, 0, 1);
    default:
        return false;
    }
}

void HayesCommands::ExecuteDial(const std::string& rest) {
    if (!m_host.HasLine()) {
        Emit(ModemResult::NoDialtone);
        return;
    }
    if (!m_host.CanDial()) {
        Emit(ModemResult::Error);
        return;
    }
    std::string number = DialledNumber(rest);
    bool stayInCommandMode = !number.empty() && number.back() == ';';
    if (stayInCommandMode)
        number.pop_back();
    m_dialNumber += number;
    if (stayInCommandMode) {
        m_host.TakeLine();
        Emit(ModemResult::Ok);
        return;
    }
    std::string dialled;
    dialled.swap(m_dialNumber);
    m_host.Dial(dialled);
}

void HayesCommands::ResetSettings() {
    unsigned char rings = m_settings.registers[kRegRingCount];
    m_settings = Settings{};
    for (const FactoryRegister& r : kFactoryRegisters)
        m_settings.registers[r.number] = r.value;
    if (m_host.Ringing())
        m_settings.registers[kRegRingCount] = rings;
}

void HayesCommands::Emit(ModemResult result) {
    if (m_settings.quiet)
        return;
    int set = m_settings.resultSet;
    if (result == ModemResult::Busy && set < 3)
        result = ModemResult::NoCarrier;
    if (result == ModemResult::NoDialtone && set != 2 && set != 4)
        result = ModemResult::NoCarrier;
    std::string text;
    int code = 0;
    switch (result) {
    case ModemResult::Ok:
        text = "OK";
        break;
    case ModemResult::Connect: {
        std::uint32_t rate = set == 0 ? 0 : m_host.ConnectRate();
        text = rate == 0 ? std::string("CONNECT") : "CONNECT " + std::to_string(rate);
        code = 1;
        for (const ConnectCode& c : kConnectCodes)
            if (rate != 0 && c.rate == rate)
                code = c.code;
        break;
    }
    case ModemResult::Ring:
        text = "RING";
        code = 2;
        break;
    case ModemResult::NoCarrier:
        text = "NO CARRIER";
        code = 3;
        break;
    case ModemResult::Error:
        text = "ERROR";
        code = 4;
        break;
    case ModemResult::NoDialtone:
        text = "NO DIALTONE";
        code = 6;
        break;
    case ModemResult::Busy:
        text = "BUSY";
        code = 7;
        break;
    }
    if (m_settings.verbose)
        m_output.Append("\r\n" + text + "\r\n");
    else
        m_output.Append(std::to_string(code) + "\r");
}

void HayesCommands::EmitText(const std::string& text) {
    m_output.Append(m_settings.verbose ? "\r\n" + text + "\r\n" : text + "\r\n");
}

} // namespace platform
