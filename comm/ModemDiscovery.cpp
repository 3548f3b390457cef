// Installed-modem listing, automatic selection, port lookup, profile and response table.
#include "comm/ModemDiscovery.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstring>

#include "platform/Registry.h"
#include "platform/RegistryHive.h"
#include "platform/ResourceStrings.h"

namespace comm {
namespace {

using platform::DWORD;
using platform::HKEY;
using platform::HKEY_LOCAL_MACHINE;

constexpr DWORD kTapiVersion14 = 0x00010004;
constexpr DWORD kFirstCapsSize = 240;
constexpr int kProductNameId = 57344;
constexpr int kNoModemsId = 50207;
constexpr int kModemChosenId = 50222;
constexpr std::size_t kMaxInitLength = 201;
constexpr std::size_t kResponseDataSize = 10;
constexpr DWORD kEnumBufferSize = 256; // name and data buffers of the response enumeration

constexpr std::array<const char*, 4> kPnpEnumerators = {"Enum\\ISAPNP", "Enum\\MF", "Enum\\PCI",
                                                        "Enum\\PCMCIA"};

struct SpeakerValue {
    const char* name;
    const char* fallback;
};
constexpr std::array<SpeakerValue, ModemProfile::kSpeakerCommandCount> kSpeakerValues{{
    {"SpeakerMode_Off", "M0"},
    {"SpeakerVolume_Low", "L1"},
    {"SpeakerVolume_Med", "L2"},
    {"SpeakerVolume_High", "L3"},
    {"NotDefined", "L3"},
}};

// An open registry key, closed with the object.
class OpenKey {
  public:
    OpenKey(HKEY root, const std::string& path) {
        if (platform::RegOpenKeyEx(root, path.c_str(), 0, platform::KEY_READ, &m_key) !=
            platform::ERROR_SUCCESS)
            m_key = nullptr;
    }
    ~OpenKey() {
        if (m_key)
            platform::RegCloseKey(m_key);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    explicit operator bool() const { return m_key != nullptr; }
    HKEY Get() const { return m_key; }

  private:
    HKEY m_key{nullptr};
};

std::optional<std::string> ReadString(const std::string& path, const char* name) {
    return platform::ReadRegistryString(HKEY_LOCAL_MACHINE, path, name);
}

bool KeyOpens(const std::string& path) {
    return static_cast<bool>(OpenKey(HKEY_LOCAL_MACHINE, path));
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return platform::RegistryNamesEqual(a, b);
}

bool StartsWithCom(std::string_view text) {
    return text.size() >= 3 && EqualNoCase(text.substr(0, 3), "com");
}

// The port digit of a "COMn" text, or 0. A further digit means a port above COM9, which the
// one-digit port numbering cannot reach: such a text must not pass for COM1.
int PortDigit(std::string_view text) {
    if (!StartsWithCom(text) || text.size() < 4 || text[3] < '1' || text[3] > '9')
        return 0;
    if (text.size() > 4 && std::isdigit(static_cast<unsigned char>(text[4])))
        return 0;
    return text[3] - '0';
}

// A modem name such as "COM2" or "COM2: Modem" names its port instead of a modem.
int RequestedPort(std::string_view name) {
    int digit = PortDigit(name);
    if (digit == 0)
        return 0;
    if (name.size() == 4)
        return digit;
    unsigned char fifth = static_cast<unsigned char>(name[4]);
    return fifth == ':' || fifth < '!' ? digit : 0;
}

int FindPnpModem(const std::string& modemName, int requested, std::string& driverKey) {
    for (const char* enumerator : kPnpEnumerators) {
        for (const std::string& device :
             platform::RegistrySubkeyNames(HKEY_LOCAL_MACHINE, enumerator)) {
            std::string devicePath = std::string(enumerator) + "\\" + device;
            for (const std::string& instance :
                 platform::RegistrySubkeyNames(HKEY_LOCAL_MACHINE, devicePath)) {
                std::string path = devicePath + "\\" + instance;
                auto cls = ReadString(path, "Class");
                if (!cls || !EqualNoCase(*cls, "Modem"))
                    continue;
                auto portName = ReadString(path, "PORTNAME");
                int digit = portName ? PortDigit(*portName) : 0;
                if (digit == 0)
                    continue;
                if (requested != 0) {
                    if (digit != requested)
                        continue;
                } else {
                    auto friendly = ReadString(path, "FriendlyName");
                    if (!friendly || !EqualNoCase(*friendly, modemName))
                        continue;
                }
                auto driver = ReadString(path, "Driver");
                if (!driver || driver->empty() || !KeyOpens(platform::kDriverClassKey + *driver))
                    continue;
                driverKey = *driver;
                return digit;
            }
        }
    }
    return 0;
}

int FindLegacyModem(const std::string& modemName, int requested, std::string& driverKey) {
    const std::string classKey = platform::kModemClassKey;
    for (const std::string& subkey : platform::RegistrySubkeyNames(HKEY_LOCAL_MACHINE, classKey)) {
        std::string path = classKey + "\\" + subkey;
        auto attachedTo = ReadString(path, "AttachedTo");
        int digit = attachedTo ? PortDigit(*attachedTo) : 0;
        if (digit == 0)
            continue;
        auto desc = ReadString(path, "DriverDesc");
        if (digit == requested || (desc && *desc == modemName)) {
            driverKey = "Modem\\" + subkey;
            return digit;
        }
    }
    return 0;
}

int RateFrom(const unsigned char* bytes) {
    std::uint32_t rate =
        static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return rate > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(rate);
}

} // namespace

TapiLineApp::TapiLineApp() {
    std::string appName(platform::LoadResourceString(kProductNameId));
    if (platform::lineInitialize(
            &m_lineApp, nullptr, [](DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) {}, appName.c_str(),
            &m_deviceCount) != 0) {
        m_lineApp = 0;
        m_deviceCount = 0;
    }
}

TapiLineApp::~TapiLineApp() {
    if (m_lineApp != 0)
        platform::lineShutdown(m_lineApp);
}

ModemListModel::ModemListModel() {
    std::vector<unsigned char> buffer;
    for (DWORD id = 0; id < m_lineApp.DeviceCount(); ++id) {
        DWORD version = 0;
        platform::LONG result = platform::lineNegotiateAPIVersion(
            m_lineApp.Handle(), id, kTapiVersion14, kTapiVersion14, &version, nullptr);
        if (result == platform::LINEERR_INCOMPATIBLEAPIVERSION || version == 0)
            continue;

        buffer.assign(kFirstCapsSize, 0);
        platform::LINEDEVCAPS* caps = nullptr;
        for (;;) {
            caps = reinterpret_cast<platform::LINEDEVCAPS*>(buffer.data());
            caps->dwTotalSize = static_cast<DWORD>(buffer.size());
            result = platform::lineGetDevCaps(m_lineApp.Handle(), id, version, 0, caps);
            if (result != 0 || caps->dwTotalSize >= caps->dwNeededSize)
                break;
            buffer.assign(caps->dwNeededSize, 0);
        }
        if (result != 0 && result != platform::LINEERR_STRUCTURETOOSMALL)
            continue;
        if (caps->dwLineNameSize == 0 || caps->dwLineNameOffset == 0 ||
            caps->dwStringFormat != platform::STRINGFORMAT_ASCII)
            continue;
        // The offsets come from the provider: a name outside the buffer is not read.
        if (caps->dwLineNameOffset > buffer.size() ||
            caps->dwLineNameSize > buffer.size() - caps->dwLineNameOffset)
            continue;
        char* name = reinterpret_cast<char*>(buffer.data() + caps->dwLineNameOffset);
        if (name[0] == '\0')
            continue;
        name[caps->dwLineNameSize - 1] = '\0';
        m_names.emplace_back(name);
        m_deviceIds.push_back(id);
    }
}

int ModemListModel::SelectedIndex() const {
    if (m_names.empty())
        return -1;
    auto match = std::find(m_names.begin(), m_names.end(), m_preselected);
    return match == m_names.end() ? 0 : static_cast<int>(match - m_names.begin());
}

namespace {

void ShowSelectionMessage(const ModemSelectionHooks& hooks, ModemSelectionHooks::Icon icon, int id,
                          const std::string& insert) {
    if (hooks.showMessage)
        hooks.showMessage(icon, id,
                          platform::FormatMessage1(platform::LoadResourceString(id), insert));
}

// The only modem installed, or the user's choice among several; nullopt when the user chose none.
std::optional<std::string> ChooseModem(const ModemListModel& modems,
                                       const ModemSelectionHooks& hooks) {
    if (modems.Names().size() == 1) {
        ShowSelectionMessage(hooks, ModemSelectionHooks::Icon::Information, kModemChosenId,
                             modems.Names().front());
        return modems.Names().front();
    }
    return hooks.selectModem ? hooks.selectModem(modems) : std::nullopt;
}

} // namespace

bool AutoSelectModem(std::string& modemSelection, const ModemSelectionHooks& hooks) {
    std::optional<ModemListModel> modems(std::in_place);
    if (modems->Names().empty()) {
        ShowSelectionMessage(hooks, ModemSelectionHooks::Icon::Stop, kNoModemsId, {});
        modemSelection.clear();
        if (hooks.runControlPanel)
            hooks.runControlPanel();
        else
            RunModemControlPanel();
        // A panel that waits (the desktop's Modems window) may have added one: the job the user
        // asked for goes on with it. A panel started alone leaves the list as it was.
        modems.emplace();
        if (modems->Names().empty())
            return false;
    }
    std::optional<std::string> chosen = ChooseModem(*modems, hooks);
    if (!chosen)
        return false;

    // The stored name is the one the field keeps, so the next start reads back what is used now.
    *chosen = platform::CutToBytes(*chosen, kModemSelectionMaxBytes);
    platform::WriteRegistryString(platform::HKEY_CURRENT_USER, kModemSelectionKey,
                                  kModemSelectionValue, *chosen);
    modemSelection = *chosen;
    return true;
}

int FindModemPort(const std::string& modemName, std::string& driverKey) {
    driverKey.clear();
    int requested = RequestedPort(modemName);
    int port = FindPnpModem(modemName, requested, driverKey);
    if (port == 0)
        port = FindLegacyModem(modemName, requested, driverKey);
    if (port == 0)
        driverKey.clear();
    return port;
}

std::string CleanModemCommand(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* marker : {"<CR>", "<LF>"}) {
        for (std::size_t at; (at = text.find(marker)) != std::string::npos;)
            text.erase(at, 4);
    }
    if (text.rfind("AT", 0) == 0)
        text.erase(0, 2);
    return text;
}

void BuildModemProfile(const std::string& driverKey, const std::string& extraSettingsSetting,
                       ModemProfile& profile, std::string& extraSettings) {
    // The plain Hayes profile, with what a profile built for an installed modem starts from
    // in place of its name, initialisation, result-code and speaker commands.
    profile = DefaultModemProfile();
    SetProfileText(profile.name, "Default");
    SetProfileText(profile.initialization, "&F X4 V1 S0=0 W2 &D2");
    for (int n = 0; n < ModemProfile::kResultCodeCommandCount; ++n)
        profile.resultCodeCommands[static_cast<std::size_t>(n)] = "X" + std::to_string(n);
    profile.speakerCommands = {};
    extraSettings.clear();

    const std::string path = platform::kDriverClassKey + driverKey;
    if (driverKey.empty() || !KeyOpens(path))
        return;

    if (auto desc = ReadString(path, "DriverDesc"); desc && !desc->empty())
        SetProfileText(profile.name, *desc);

    if (OpenKey initKey(HKEY_LOCAL_MACHINE, path + "\\Init"); initKey) {
        std::string init;
        for (int n = 1;; ++n) {
            std::string name = std::to_string(n);
            DWORD type = 0;
            DWORD size = 0;
            if (platform::RegQueryValueEx(initKey.Get(), name.c_str(), nullptr, &type, nullptr,
                                          &size) != platform::ERROR_SUCCESS)
                break;
            auto value = ReadString(path + "\\Init", name.c_str());
            if (value && !value->empty())
                init += CleanModemCommand(*value);
            // A hive can hold any amount of text; what could never fit is not gathered.
            if (init.size() > kMaxInitLength)
                init.resize(kMaxInitLength);
        }
        SetProfileText(profile.initialization, init);
    }

    extraSettings = extraSettingsSetting;

    if (KeyOpens(path + "\\Settings")) {
        for (std::size_t i = 0; i < kSpeakerValues.size(); ++i) {
            auto value = ReadString(path + "\\Settings", kSpeakerValues[i].name);
            profile.speakerCommands[i] =
                value && !value->empty() ? *value : kSpeakerValues[i].fallback;
        }
    }
}

bool LoadModemResponses(const std::string& driverKey, ResponseTable& table) {
    OpenKey key(HKEY_LOCAL_MACHINE, platform::kDriverClassKey + driverKey + "\\Responses");
    if (!key)
        return false;
    table.clear();
    char name[kEnumBufferSize];
    unsigned char data[kEnumBufferSize];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = sizeof name;
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        platform::LONG result = platform::RegEnumValue(key.Get(), index, name, &nameLength, nullptr,
                                                       &type, data, &dataSize);
        // A value too long for the buffers is one bad entry, not the end of the table.
        if (result == platform::ERROR_MORE_DATA)
            continue;
        if (result != platform::ERROR_SUCCESS)
            break;
        if (type != platform::REG_BINARY || dataSize != kResponseDataSize)
            continue;
        auto entry = std::make_unique<ModemResponse>();
        entry->text = CleanModemCommand(std::string(name, nameLength));
        entry->code = data[0];
        entry->flags = data[1];
        entry->dceRate = RateFrom(data + 2);
        entry->dteRate = RateFrom(data + 6);
        table.push_back(std::move(entry));
    }
    return true;
}

} // namespace comm
