// Modem entries written to and removed from the HKEY_LOCAL_MACHINE hive.
#include "comm/ModemInstaller.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/Telephony.h"
#include "platform/VirtualModem.h"

namespace comm {
namespace {

using platform::HKEY_LOCAL_MACHINE;

// The shipped definitions, embedded at build time from resources/modems.
#include "comm/ModemDefinitions.inc"

constexpr const char* kModemKeyPrefix =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\";
constexpr int kMaxModemNumber = 9999;

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string ModemPath(const std::string& subkey) {
    return std::string(platform::kModemClassKey) + "\\" + subkey;
}

std::string ComName(int port) {
    return "COM" + std::to_string(port);
}

std::set<std::string> ExistingSubkeys() {
    std::set<std::string> names;
    for (const std::string& name :
         platform::RegistrySubkeyNames(HKEY_LOCAL_MACHINE, platform::kModemClassKey))
        names.insert(Lower(name));
    return names;
}

std::string NextFreeSubkey(const std::set<std::string>& taken) {
    for (int n = 0; n <= kMaxModemNumber; ++n) {
        char name[8];
        std::snprintf(name, sizeof name, "%04d", n);
        if (!taken.count(name))
            return name;
    }
    return {};
}

// The modem already attached to port `port`, if any.
std::optional<InstalledModem> ModemOnPort(int port) {
    for (const InstalledModem& modem : ListInstalledModems()) {
        if (ParseComPort(modem.port) == port)
            return modem;
    }
    return std::nullopt;
}

// Which modem subkey a key line of a REGEDIT4 text names ("[HKEY_...\Modem\0003\Init]"), with
// the position and length of that number in the line.
struct KeyLineModem {
    std::size_t at{0};
    std::size_t length{0};
};

std::optional<KeyLineModem> ModemInKeyLine(const std::string& line) {
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] != '[')
        return std::nullopt;
    std::size_t keyAt = start + 1;
    if (keyAt < line.size() && line[keyAt] == '-')
        ++keyAt;
    const std::string prefix = kModemKeyPrefix;
    if (Lower(line.substr(keyAt, prefix.size())) != Lower(prefix))
        return std::nullopt;
    std::size_t numberAt = keyAt + prefix.size();
    std::size_t end = line.find_first_of("\\]", numberAt);
    if (end == std::string::npos || end == numberAt)
        return std::nullopt;
    return KeyLineModem{numberAt, end - numberAt};
}

// The first line of `text` a modem definition may not hold, else empty: a key outside the
// modem class, or a line that deletes a key or a value. A definition adds modems; it never
// removes any or touches the user's settings.
std::string RefusedLine(const std::string& text) {
    static const std::regex deletesValue(R"re(^\s*("([^"\\]|\\.)*"|@)\s*=\s*-\s*$)re");
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos)
            continue;
        if (line[start] == '[') {
            if (line.compare(start, 2, "[-") == 0 || !ModemInKeyLine(line))
                return line;
        } else if (std::regex_match(line, deletesValue)) {
            return line;
        }
    }
    return {};
}

// Gives every modem entry of `text` a free number; `renamed` receives the new subkeys in the
// order they first appear.
std::string Renumber(const std::string& text, std::vector<std::string>& renamed) {
    std::set<std::string> taken = ExistingSubkeys();
    std::map<std::string, std::string> mapping;
    std::istringstream in(text);
    std::string out;
    std::string line;
    while (std::getline(in, line)) {
        if (auto modem = ModemInKeyLine(line)) {
            std::string old = Lower(line.substr(modem->at, modem->length));
            auto found = mapping.find(old);
            if (found == mapping.end()) {
                std::string fresh = NextFreeSubkey(taken);
                taken.insert(fresh);
                renamed.push_back(fresh);
                found = mapping.emplace(old, fresh).first;
            }
            line.replace(modem->at, modem->length, found->second);
        }
        out += line;
        out += '\n';
    }
    return out;
}

// Gives the new entries names no other modem has, and the port when one is given.
void FinishNewEntries(const std::vector<std::string>& subkeys,
                      const std::set<std::string>& usedNames, const std::string& port,
                      InstallResult& result) {
    std::set<std::string> names = usedNames;
    for (const std::string& subkey : subkeys) {
        const std::string path = ModemPath(subkey);
        if (!port.empty())
            platform::WriteRegistryString(HKEY_LOCAL_MACHINE, path, "AttachedTo", port);
        std::string name =
            platform::ReadRegistryString(HKEY_LOCAL_MACHINE, path, "DriverDesc").value_or("");
        if (name.empty())
            name = "Modem";
        std::string unique = name;
        for (int n = 2; names.count(unique); ++n)
            unique = name + " #" + std::to_string(n);
        platform::WriteRegistryString(HKEY_LOCAL_MACHINE, path, "DriverDesc", unique);
        names.insert(unique);
        result.names.push_back(unique);
        auto attached = platform::ReadRegistryString(HKEY_LOCAL_MACHINE, path, "AttachedTo");
        if (!attached || ParseComPort(*attached) == 0)
            result.message += "'" + unique +
                              "' names no port COM1 to COM9, so Sendari cannot use it; give it "
                              "one with --port.\n";
    }
}

std::set<std::string> InstalledNames() {
    std::set<std::string> names;
    for (const auto& entry : platform::InstalledModemEntries())
        names.insert(entry.name);
    return names;
}

std::optional<std::string> DescriptionOf(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    const std::string key = "\"DriverDesc\"=\"";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            std::size_t end = line.rfind('"');
            if (end > key.size())
                return line.substr(key.size(), end - key.size());
        }
    }
    return std::nullopt;
}

InstallResult Import(const std::string& text, const std::string& port) {
    InstallResult result;
    if (const std::string refused = RefusedLine(text); !refused.empty()) {
        result.message = "Nothing was imported: a modem definition may only add modem entries, "
                         "and this line does not: " +
                         refused;
        return result;
    }
    std::set<std::string> used = InstalledNames();
    std::vector<std::string> subkeys;
    std::string renumbered = Renumber(text, subkeys);
    if (subkeys.empty()) {
        // An import that installs nothing is no success, whatever else the file held.
        result.message = "Nothing was imported: the file holds no modem definition.";
        return result;
    }
    if (std::find(subkeys.begin(), subkeys.end(), std::string()) != subkeys.end()) {
        result.message = "There is no free number left for another modem.";
        return result;
    }
    platform::RegistryTransaction transaction;
    platform::LONG imported = platform::RegImportText(renumbered);
    if (imported != platform::ERROR_SUCCESS && imported != platform::ERROR_INVALID_PARAMETER) {
        result.message = "The registry could not be written.";
        return result;
    }
    if (imported == platform::ERROR_INVALID_PARAMETER)
        result.message += "Some lines of the file could not be read and were left out.\n";
    FinishNewEntries(subkeys, used, port, result);
    if (transaction.Commit() != platform::ERROR_SUCCESS) {
        result.message = "The registry could not be written.";
        result.names.clear();
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace

std::string UserModemDefinitionFolder() {
    return platform::ConfigDirectory() + "/modems";
}

std::vector<ModemDefinition> ModemDefinitions() {
    std::vector<ModemDefinition> definitions;
    for (const auto& [type, text] : kBuiltInModemDefinitions)
        definitions.push_back({type, DescriptionOf(text).value_or(type), text});

    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (const auto& entry :
         std::filesystem::directory_iterator(UserModemDefinitionFolder(), error)) {
        if (entry.path().extension() == ".reg")
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        ModemDefinition definition{file.stem().string(), {}, text.str()};
        definition.description = DescriptionOf(definition.text).value_or(definition.type);
        auto same =
            std::find_if(definitions.begin(), definitions.end(),
                         [&](const ModemDefinition& d) { return d.type == definition.type; });
        if (same != definitions.end())
            *same = std::move(definition);
        else
            definitions.push_back(std::move(definition));
    }
    return definitions;
}

std::optional<ModemDefinition> FindModemDefinition(const std::string& type) {
    for (ModemDefinition& definition : ModemDefinitions()) {
        if (Lower(definition.type) == Lower(type))
            return std::move(definition);
    }
    return std::nullopt;
}

std::vector<InstalledModem> ListInstalledModems() {
    std::vector<InstalledModem> modems;
    for (const auto& entry : platform::InstalledModemEntries()) {
        InstalledModem modem;
        modem.name = entry.name;
        modem.driverKey = "Modem\\" + entry.subkey;
        std::optional<std::string> port;
        if (!entry.pnpInstance.empty())
            port = platform::ReadRegistryString(HKEY_LOCAL_MACHINE, entry.pnpInstance, "PORTNAME");
        if (!port)
            port = platform::ReadRegistryString(HKEY_LOCAL_MACHINE, ModemPath(entry.subkey),
                                                "AttachedTo");
        modem.port = port.value_or("");
        if (!modem.port.empty())
            modem.portTarget =
                platform::ReadRegistryString(HKEY_LOCAL_MACHINE, kPortMapKey, modem.port)
                    .value_or("");
        modems.push_back(std::move(modem));
    }
    return modems;
}

int ParseComPort(const std::string& text) {
    if (text.size() != 4 || Lower(text.substr(0, 3)) != "com" || text[3] < '1' || text[3] > '9')
        return 0;
    return text[3] - '0';
}

InstallResult InstallModem(const std::string& definitionText, const std::string& port,
                           const std::string& portTarget) {
    InstallResult result;
    int number = ParseComPort(port);
    if (number == 0) {
        result.message = "'" + port + "' is not a port Sendari can use: choose COM1 to COM9.";
        return result;
    }
    if (auto existing = ModemOnPort(number)) {
        result.message =
            ComName(number) + " already has a modem, '" + existing->name + "'. Remove it first.";
        return result;
    }
    std::vector<std::string> subkeys;
    Renumber(definitionText, subkeys);
    if (subkeys.size() != 1) {
        result.message = "A modem definition must hold exactly one modem entry.";
        return result;
    }
    platform::RegistryTransaction transaction;
    result = Import(definitionText, ComName(number));
    if (!result.ok)
        return result;
    if ((!portTarget.empty() &&
         platform::WriteRegistryString(HKEY_LOCAL_MACHINE, kPortMapKey, ComName(number),
                                       portTarget) != platform::ERROR_SUCCESS) ||
        transaction.Commit() != platform::ERROR_SUCCESS) {
        result.ok = false;
        result.names.clear();
        result.message = "The registry could not be written.";
    }
    return result;
}

std::string VirtualModemMapValue(const std::string& listen, const std::string& rate) {
    std::string value = "vmodem:listen=" + listen + ";rate=" + rate;
    platform::VirtualModemConfig config;
    return platform::ParseVirtualModemMapValue(value, config) ? value : std::string();
}

InstallResult ImportModems(const std::string& regText, const std::string& portOverride) {
    if (!portOverride.empty()) {
        InstallResult result;
        int number = ParseComPort(portOverride);
        if (number == 0) {
            result.message =
                "'" + portOverride + "' is not a port Sendari can use: choose COM1 to COM9.";
            return result;
        }
        if (auto existing = ModemOnPort(number)) {
            result.message = ComName(number) + " already has a modem, '" + existing->name +
                             "'. Remove it first.";
            return result;
        }
        return Import(regText, ComName(number));
    }
    return Import(regText, {});
}

InstallResult RemoveModem(const std::string& nameOrPort) {
    InstallResult result;
    auto modems = ListInstalledModems();
    auto match = std::find_if(modems.begin(), modems.end(),
                              [&](const InstalledModem& m) { return m.name == nameOrPort; });
    if (match == modems.end()) {
        match = std::find_if(modems.begin(), modems.end(), [&](const InstalledModem& m) {
            return Lower(m.name) == Lower(nameOrPort);
        });
    }
    if (match == modems.end() && ParseComPort(nameOrPort) != 0) {
        match = std::find_if(modems.begin(), modems.end(), [&](const InstalledModem& m) {
            return ParseComPort(m.port) == ParseComPort(nameOrPort);
        });
    }
    if (match == modems.end()) {
        result.message = "No modem named '" + nameOrPort + "' is installed.";
        return result;
    }

    platform::RegistryTransaction transaction;
    const std::string subkey = match->driverKey.substr(match->driverKey.find('\\') + 1);
    for (const auto& entry : platform::InstalledModemEntries()) {
        if (entry.subkey == subkey && !entry.pnpInstance.empty())
            platform::RegDeleteKey(HKEY_LOCAL_MACHINE, entry.pnpInstance.c_str());
    }
    platform::RegDeleteKey(HKEY_LOCAL_MACHINE, ModemPath(subkey).c_str());

    // A virtual modem exists only through its map value; a real port's value stays, since the
    // device is still there for the next modem installed on it.
    int port = ParseComPort(match->port);
    if (port != 0 && match->portTarget.rfind("vmodem:", 0) == 0 && !ModemOnPort(port)) {
        platform::HKEY map = nullptr;
        if (platform::RegOpenKeyEx(HKEY_LOCAL_MACHINE, kPortMapKey, 0, platform::KEY_WRITE, &map) ==
            platform::ERROR_SUCCESS) {
            platform::RegDeleteValue(map, ComName(port).c_str());
            platform::RegCloseKey(map);
        }
    }
    if (transaction.Commit() != platform::ERROR_SUCCESS) {
        result.message = "The registry could not be written.";
        return result;
    }
    result.ok = true;
    result.names.push_back(match->name);
    return result;
}

} // namespace comm
