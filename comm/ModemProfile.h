// The command strings of one modem: everything the Hayes command engine sends comes from here.
// A built-in default describes a plain Hayes-compatible modem.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace comm {

// Fixed-width text fields hold at most N - 1 characters plus the terminating NUL, so a profile
// built from registry values can never overrun its record.
struct ModemProfile {
    static constexpr int kSpeakerCommandCount = 5;
    static constexpr int kResultCodeCommandCount = 10;

    char name[40]{};
    char prefix[4]{};
    char terminator[4]{};
    char initialization[250]{};
    char toneDial[20]{};
    char pulseDial[20]{};
    // Written without the prefix: it carries its own escape sequence and "AT".
    char hangUp[20]{};
    char reset[20]{};
    // printf-like formats with up to two "%d" (register, value); nothing else is accepted.
    char setRegister[20]{};
    char queryRegister[20]{};
    char autoAnswerOn[20]{};
    char autoAnswerOff[20]{};
    char answer[5]{};
    char echoOn[5]{};
    char echoOff[5]{};
    char goOnline[5]{};
    char onHook[5]{};
    char offHook[5]{};
    char numericResults[5]{};
    char verboseResults[5]{};
    // An empty entry means the modem has no such command.
    std::array<std::string, kSpeakerCommandCount> speakerCommands;
    std::array<std::string, kResultCodeCommandCount> resultCodeCommands;
};

// Copies `text` into a fixed field, cut to the field's room. Returns false when it was cut.
template <std::size_t N> bool SetProfileText(char (&field)[N], std::string_view text) {
    std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
    return length == text.size();
}

// The plain "Hayes compatible" modem used when no installed modem's profile is given.
const ModemProfile& DefaultModemProfile();

} // namespace comm
