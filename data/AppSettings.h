// The process-wide settings record and its mirror in the registry under HKEY_CURRENT_USER
// "Software\Korvane\Sendari\1.0", one value per field.
#pragma once

#include "platform/Registry.h"

#include <array>
#include <cstdint>
#include <string>

namespace data {

inline constexpr const char* kSettingsKey = "Software\\Korvane\\Sendari\\1.0";

// Choice values of the numbered settings.
inline constexpr std::uint32_t kMacBinaryOff = 0;
inline constexpr std::uint32_t kMacBinaryConvertKeep = 1;
inline constexpr std::uint32_t kMacBinaryConvertDelete = 2;
inline constexpr std::uint32_t kFlowHardware = 0;
inline constexpr std::uint32_t kFlowSoftware = 1;
inline constexpr std::uint32_t kModemStandard = 0;
inline constexpr std::uint32_t kModemSvd = 1;
inline constexpr std::uint32_t kModemDsvd = 2;

// The rates that "MaximumSpeed" selects, in list order.
inline constexpr std::array<std::uint32_t, 7> kPortSpeeds = {2400,  4800,  9600,  19200,
                                                             38400, 57600, 115200};

struct AppSettings {
    std::string stationName;        // at most 63 bytes
    std::string stationPhoneNumber; // at most 63 bytes
    std::uint32_t numberOfAttempts{0};
    std::uint32_t delayBetweenRedials{0}; // minutes
    std::string generalReceiveFolder;     // at most 259 bytes
    std::uint32_t answerAfterRings{0};
    std::uint32_t macBinary{0};
    std::string modemSelection;    // at most 127 bytes
    std::uint32_t maximumSpeed{0}; // index into kPortSpeeds
    std::uint32_t speakerVolume{0};
    std::uint32_t flowControl{0};
    std::string extraSettings; // at most 63 bytes
    std::uint32_t modemType{0};
    std::uint32_t telephoneCheck{0};
};

// One entry of the table that drives loading and saving: a text setting has `text` set, a
// number setting `number`. Stored numbers outside [minimum, maximum] take the default.
struct SettingDescriptor {
    const char* name;
    platform::DWORD type;
    std::string AppSettings::*text;
    std::uint32_t AppSettings::*number;
    std::size_t capacity; // bytes with the NUL, texts only
    const char* defaultText;
    std::uint32_t defaultNumber;
    std::uint32_t minimum;
    std::uint32_t maximum;
};

// The descriptor table, in the order of every read and write.
extern const std::array<SettingDescriptor, 14> kSettingDescriptors;

// Fills `settings` from the registry and writes back the default of every missing value, except
// "ModemSelection", which stays empty for the automatic modem selection to fill in.
void LoadSettings(AppSettings& settings);

// Writes every value of `settings`. Returns ERROR_SUCCESS or the first failure, so the caller
// can tell the user that the settings were not kept.
platform::LONG SaveSettings(const AppSettings& settings);

// The folder files to send were last picked from ("LastSendFolder" beside the settings), or
// empty; remembered when files are picked.
std::string LastSendFolder();
void RememberSendFolder(const std::string& folder);

// The port rate that `settings.maximumSpeed` selects (57600 for a value outside the list).
std::uint32_t PortSpeedOf(const AppSettings& settings);

} // namespace data
