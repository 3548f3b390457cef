// Loading and saving the settings record through its descriptor table.
#include "data/AppSettings.h"

#include "data/RegistryKey.h"
#include "platform/Paths.h"

#include <optional>

namespace data {

using namespace platform;

namespace {

constexpr const char* kOwnerKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kOwnerValue = "RegisteredOwner";
constexpr std::size_t kOwnerCapacity = 64;
constexpr std::uint32_t kDefaultSpeedIndex = 5;
constexpr std::uint32_t kAny = 0xFFFFFFFFu;

constexpr SettingDescriptor Text(const char* name, std::string AppSettings::*field,
                                 std::size_t capacity) {
    return {name, REG_SZ, field, nullptr, capacity, "", 0, 0, 0};
}

constexpr SettingDescriptor Number(const char* name, std::uint32_t AppSettings::*field,
                                   std::uint32_t defaultNumber, std::uint32_t minimum,
                                   std::uint32_t maximum) {
    return {name, REG_DWORD, nullptr, field, 0, "", defaultNumber, minimum, maximum};
}

// The station name a first start proposes: the owner recorded in the machine hive (which an
// administrator may set, as on the original system), else the user's full name.
std::string DefaultStationName() {
    std::optional<std::string> owner =
        ReadRegistryString(HKEY_LOCAL_MACHINE, kOwnerKey, kOwnerValue);
    return CutToBytes(owner ? *owner : RegisteredOwner(), kOwnerCapacity - 1);
}

} // namespace

constexpr std::array<SettingDescriptor, 14> kSettingDescriptors = {
    Text("StationName", &AppSettings::stationName, 64),
    Text("StationPhoneNumber", &AppSettings::stationPhoneNumber, 64),
    Number("NumberOfAttempts", &AppSettings::numberOfAttempts, 3, 1, 9),
    Number("DelayBetweenRedials", &AppSettings::delayBetweenRedials, 1, 1, 45),
    Text("GeneralReceiveFolder", &AppSettings::generalReceiveFolder, 260),
    Number("AnswerAfterRings", &AppSettings::answerAfterRings, 1, 1, 4),
    Number("MacBinary", &AppSettings::macBinary, kMacBinaryConvertDelete, 0, 2),
    Text("ModemSelection", &AppSettings::modemSelection, 128),
    Number("TelephoneCheck", &AppSettings::telephoneCheck, 1, 0, kAny),
    Number("ModemType", &AppSettings::modemType, kModemStandard, 0, 2),
    Number("MaximumSpeed", &AppSettings::maximumSpeed, kDefaultSpeedIndex, 0,
           kPortSpeeds.size() - 1),
    Number("SpeakerVolume", &AppSettings::speakerVolume, 1, 0, 3),
    Number("FlowControl", &AppSettings::flowControl, kFlowHardware, 0, 1),
    Text("ExtraSettings", &AppSettings::extraSettings, 64),
};

void LoadSettings(AppSettings& settings) {
    RegistryTransaction transaction; // the defaults of a first start land in one save
    CRegistryKey key;
    key.OpenKey(HKEY_CURRENT_USER, kSettingsKey);
    for (const SettingDescriptor& d : kSettingDescriptors) {
        if (d.number) {
            std::uint32_t value = 0;
            if (key.QueryNumber(d.name, value) != ERROR_SUCCESS) {
                key.SetNumber(d.name, d.defaultNumber);
                value = d.defaultNumber;
            } else if (value < d.minimum || value > d.maximum) {
                // A hand-edited or foreign value outside its list: use the default for this
                // run but leave the stored value for the user to see and correct.
                value = d.defaultNumber;
            }
            settings.*d.number = value;
            continue;
        }
        std::string text;
        if (key.QueryText(d.name, text, d.capacity) == ERROR_SUCCESS) {
            settings.*d.text = text;
            continue;
        }
        std::string_view name = d.name;
        if (name == "ModemSelection") {
            settings.*d.text = std::string();
            continue;
        }
        if (name == "GeneralReceiveFolder")
            text = CutToBytes(DefaultReceiveFolder(), d.capacity - 1);
        else if (name == "StationName")
            text = DefaultStationName();
        else
            text = d.defaultText;
        key.SetText(d.name, text);
        settings.*d.text = text;
    }
}

LONG SaveSettings(const AppSettings& settings) {
    // One save for all values: a crash never leaves half of the new settings behind.
    RegistryTransaction transaction;
    CRegistryKey key;
    LONG first = key.OpenKey(HKEY_CURRENT_USER, kSettingsKey);
    for (const SettingDescriptor& d : kSettingDescriptors) {
        LONG r = d.number ? key.SetNumber(d.name, settings.*d.number)
                          : key.SetText(d.name, settings.*d.text);
        if (first == ERROR_SUCCESS)
            first = r;
    }
    key.CloseKey();
    LONG saved = transaction.Commit();
    return first == ERROR_SUCCESS ? saved : first;
}

std::string LastSendFolder() {
    return ReadRegistryString(HKEY_CURRENT_USER, kSettingsKey, "LastSendFolder").value_or("");
}

void RememberSendFolder(const std::string& folder) {
    constexpr std::size_t kMostBytes = 4096; // a path the system can open
    if (folder.size() < kMostBytes)
        WriteRegistryString(HKEY_CURRENT_USER, kSettingsKey, "LastSendFolder", folder);
}

std::uint32_t PortSpeedOf(const AppSettings& settings) {
    return settings.maximumSpeed < kPortSpeeds.size() ? kPortSpeeds[settings.maximumSpeed]
                                                      : kPortSpeeds[kDefaultSpeedIndex];
}

} // namespace data
