// Modem entries written to and removed from the HKEY_LOCAL_MACHINE hive.
#include "comm/ModemInstaller.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <utility>

#include "platform/Paths.h"
#include "platform/Win32Comm.h"
#include "platform/Registry.h"
#include "platform/RegistryHive.h"
#include "platform/Telephony.h"
#include "platform/VirtualModem.h"

namespace comm {
namespace {

using platform::HKEY_LOCAL_MACHINE;

// The shipped definitions, embedded at build time from resources/modems.
#include "comm/ModemDefinitions.inc"

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

// Reads at most one byte more than a registry text may hold, so a larger file shows as such.
bool ReadBounded(const std::filesystem::path& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.resize(platform::kMaxRegistryTextSize + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return !in.bad();
}

std::string WriteFailure(platform::LONG error) {
    return error == platform::ERROR_NOT_ENOUGH_QUOTA
               ? "Nothing was imported: the modem settings would grow larger than 16 MiB."
               : "The registry could not be written.";
}

// Whether a section lies in a modem entry: "HKEY_LOCAL_MACHINE\...\Class\Modem\<n>[\...]".
// Its path's piece at kModemClassDepth is then the entry's number.
const std::vector<std::string_view> kModemClassPath =
    platform::SplitRegistryPath(platform::kModemClassKey);
const std::size_t kModemClassDepth = kModemClassPath.size();

bool InModemEntry(const platform::RegistrySection& section) {
    if (!platform::RegistryNamesEqual(section.root, "HKEY_LOCAL_MACHINE") &&
        !platform::RegistryNamesEqual(section.root, "HKLM"))
        return false;
    if (section.path.size() <= kModemClassDepth)
        return false;
    for (std::size_t i = 0; i < kModemClassDepth; ++i)
        if (!platform::RegistryNamesEqual(section.path[i], kModemClassPath[i]))
            return false;
    return true;
}

// Why a definition may not be imported, else empty: it goes past a limit, names a key outside
// the modem entries, or deletes a key or a value. A definition adds modems; it never removes
// any or touches the user's settings. Decided on what the reader read, so that no spelling of
// a line (a byte-order mark, a continued line) reads one way here and another way there.
std::string RefusalOf(const platform::RegistryDocument& document) {
    if (!document.overLimit.empty())
        return "Nothing was imported: " + document.overLimit + ".";
    for (const platform::RegistrySection& section : document.sections) {
        if (section.remove || !InModemEntry(section))
            return "Nothing was imported: a modem definition may only add modem entries, and "
                   "this line does not: " +
                   section.line;
        for (const platform::RegistryValueChange& change : section.changes)
            if (change.remove)
                return "Nothing was imported: a modem definition may not delete values, and it "
                       "deletes \"" +
                       change.value.name + "\" under " + section.line;
    }
    return {};
}

// Gives every modem entry of `document` a free number; `renamed` receives the new subkeys in
// the order they first appear (an empty one when no number is left).
platform::RegistryDocument Renumber(platform::RegistryDocument document,
                                    std::vector<std::string>& renamed) {
    std::set<std::string> taken = ExistingSubkeys();
    std::map<std::string, std::string> mapping;
    for (platform::RegistrySection& section : document.sections) {
        if (!InModemEntry(section))
            continue;
        std::string& number = section.path[kModemClassDepth];
        auto found = mapping.find(Lower(number));
        if (found == mapping.end()) {
            std::string fresh = NextFreeSubkey(taken);
            taken.insert(fresh);
            renamed.push_back(fresh);
            found = mapping.emplace(Lower(number), fresh).first;
        }
        number = found->second;
    }
    return document;
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
    for (const auto& section : platform::ReadRegistryDocument(text).sections) {
        for (const auto& change : section.changes) {
            const auto& data = change.value.data;
            if (platform::RegistryNamesEqual(change.value.name, "DriverDesc") && !change.remove &&
                change.value.type == platform::REG_SZ && !data.empty())
                return std::string(data.begin(), std::find(data.begin(), data.end(), 0));
        }
    }
    return std::nullopt;
}

InstallResult Import(const std::string& text, const std::string& port) {
    InstallResult result;
    const platform::RegistryDocument document = platform::ReadRegistryDocument(text);
    if (std::string refused = RefusalOf(document); !refused.empty()) {
        result.message = std::move(refused);
        return result;
    }
    std::set<std::string> used = InstalledNames();
    std::vector<std::string> subkeys;
    const platform::RegistryDocument renumbered = Renumber(document, subkeys);
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
    platform::LONG imported = platform::RegImportDocument(renumbered);
    if (imported != platform::ERROR_SUCCESS && imported != platform::ERROR_INVALID_PARAMETER) {
        result.message = "The registry could not be written.";
        return result;
    }
    if (imported == platform::ERROR_INVALID_PARAMETER)
        result.message += "Some lines of the file could not be read and were left out.\n";
    FinishNewEntries(subkeys, used, port, result);
    if (const platform::LONG saved = transaction.Commit(); saved != platform::ERROR_SUCCESS) {
        result.message = WriteFailure(saved);
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
        std::string text;
        if (!ReadBounded(file, text))
            continue;
        ModemDefinition definition{file.stem().string(), {}, std::move(text)};
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
    // The ports a modem can be installed on: COM1 to COM9, as the user writes them.
    const int number = text.size() == 4 ? platform::ComPortNumber(text) : 0;
    return number >= 1 && number <= 9 ? number : 0;
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
    Renumber(platform::ReadRegistryDocument(definitionText), subkeys);
    if (subkeys.size() != 1) {
        result.message = "A modem definition must hold exactly one modem entry.";
        return result;
    }
    platform::RegistryTransaction transaction;
    result = Import(definitionText, ComName(number));
    if (!result.ok)
        return result;
    platform::LONG saved = platform::ERROR_SUCCESS;
    if (!portTarget.empty())
        saved = platform::WriteRegistryString(HKEY_LOCAL_MACHINE, kPortMapKey, ComName(number),
                                              portTarget);
    if (saved == platform::ERROR_SUCCESS)
        saved = transaction.Commit();
    if (saved != platform::ERROR_SUCCESS) {
        result.ok = false;
        result.names.clear();
        result.message = WriteFailure(saved);
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

InstallResult ImportModemFile(const std::string& path, const std::string& portOverride) {
    InstallResult result;
    std::string text;
    if (!ReadBounded(path, text)) {
        result.message = path + " cannot be read.";
        return result;
    }
    if (text.size() > platform::kMaxRegistryTextSize) {
        result.message = "Nothing was imported: " + path + " is larger than 16 MiB.";
        return result;
    }
    return ImportModems(text, portOverride);
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
