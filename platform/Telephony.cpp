// Line devices over the modem entries of the HKEY_LOCAL_MACHINE hive.
#include "platform/Telephony.h"

#include "platform/RegistryHive.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace platform {
namespace {

struct LineApp {
    std::vector<std::string> names;
};

std::mutex g_appsMutex;
std::map<HLINEAPP, LineApp> g_apps;
HLINEAPP g_nextApp{1};

// The name of line device `deviceId` of `lineApp`, or the error that says why there is none.
LONG LineName(HLINEAPP lineApp, DWORD deviceId, std::string* name) {
    std::lock_guard lock(g_appsMutex);
    auto app = g_apps.find(lineApp);
    if (app == g_apps.end())
        return LINEERR_INVALAPPHANDLE;
    if (deviceId >= app->second.names.size())
        return LINEERR_BADDEVICEID;
    if (name)
        *name = app->second.names[deviceId];
    return 0;
}

struct PnpModem {
    std::string driver;
    std::string friendlyName;
    std::string instance;
};

// Plug-and-play instances of class "Modem" name their driver key ("Modem\0001").
std::vector<PnpModem> PnpModems() {
    std::vector<PnpModem> found;
    for (const std::string& enumerator : RegistrySubkeyNames(HKEY_LOCAL_MACHINE, "Enum")) {
        std::string enumPath = "Enum\\" + enumerator;
        for (const std::string& device : RegistrySubkeyNames(HKEY_LOCAL_MACHINE, enumPath)) {
            std::string devicePath = enumPath + "\\" + device;
            for (const std::string& instance :
                 RegistrySubkeyNames(HKEY_LOCAL_MACHINE, devicePath)) {
                std::string path = devicePath + "\\" + instance;
                auto cls = ReadRegistryString(HKEY_LOCAL_MACHINE, path, "Class");
                auto driver = ReadRegistryString(HKEY_LOCAL_MACHINE, path, "Driver");
                if (!cls || !RegistryNamesEqual(*cls, "Modem") || !driver)
                    continue;
                auto friendly = ReadRegistryString(HKEY_LOCAL_MACHINE, path, "FriendlyName");
                found.push_back({*driver, friendly.value_or(""), path});
            }
        }
    }
    return found;
}

} // namespace

std::vector<std::string> RegistrySubkeyNames(HKEY root, const std::string& path) {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyEx(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        if (RegEnumKeyEx(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

std::vector<InstalledModemEntry> InstalledModemEntries() {
    std::vector<InstalledModemEntry> entries;
    auto pnp = PnpModems();
    for (const std::string& subkey : RegistrySubkeyNames(HKEY_LOCAL_MACHINE, kModemClassKey)) {
        InstalledModemEntry entry{subkey, {}, {}};
        std::string driver = "Modem\\" + subkey;
        auto match = std::find_if(pnp.begin(), pnp.end(), [&](const PnpModem& modem) {
            return RegistryNamesEqual(modem.driver, driver);
        });
        if (match != pnp.end()) {
            entry.pnpInstance = match->instance;
            entry.name = match->friendlyName;
        }
        if (entry.name.empty()) {
            entry.name =
                ReadRegistryString(HKEY_LOCAL_MACHINE, std::string(kModemClassKey) + "\\" + subkey,
                                   "DriverDesc")
                    .value_or("");
        }
        if (!entry.name.empty())
            entries.push_back(std::move(entry));
    }
    return entries;
}

LONG lineInitialize(HLINEAPP* lineApp, HINSTANCE, LINECALLBACK, const char*, DWORD* numDevs) {
    if (!lineApp || !numDevs)
        return LINEERR_INVALPOINTER;
    LineApp app;
    for (InstalledModemEntry& entry : InstalledModemEntries())
        app.names.push_back(std::move(entry.name));
    std::lock_guard lock(g_appsMutex);
    HLINEAPP handle = g_nextApp++;
    if (handle == 0)
        handle = g_nextApp++;
    *numDevs = static_cast<DWORD>(app.names.size());
    g_apps.emplace(handle, std::move(app));
    *lineApp = handle;
    return 0;
}

LONG lineNegotiateAPIVersion(HLINEAPP lineApp, DWORD deviceId, DWORD lowVersion, DWORD highVersion,
                             DWORD* apiVersion, void*) {
    if (!apiVersion)
        return LINEERR_INVALPOINTER;
    if (LONG result = LineName(lineApp, deviceId, nullptr); result != 0)
        return result;
    DWORD version = std::min(highVersion, kTapiHighestVersion);
    if (version < lowVersion || version < kTapiLowestVersion) {
        *apiVersion = 0;
        return LINEERR_INCOMPATIBLEAPIVERSION;
    }
    *apiVersion = version;
    return 0;
}

LONG lineGetDevCaps(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, DWORD, LPLINEDEVCAPS caps) {
    if (!caps)
        return LINEERR_INVALPOINTER;
    const DWORD fixed = sizeof(LINEDEVCAPS);
    if (caps->dwTotalSize < fixed)
        return LINEERR_STRUCTURETOOSMALL;
    if (apiVersion < kTapiLowestVersion || apiVersion > kTapiHighestVersion)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    std::string name;
    if (LONG result = LineName(lineApp, deviceId, &name); result != 0)
        return result;
    const DWORD total = caps->dwTotalSize;
    std::memset(caps, 0, fixed);
    caps->dwTotalSize = total;
    caps->dwPermanentLineID = deviceId;
    caps->dwStringFormat = STRINGFORMAT_ASCII;
    caps->dwAddressModes = 1;
    caps->dwNumAddresses = 1;
    caps->dwMediaModes = LINEMEDIAMODE_DATAMODEM;
    const DWORD nameSize = static_cast<DWORD>(name.size() + 1);
    caps->dwNeededSize = fixed + nameSize;
    caps->dwUsedSize = fixed;
    if (total >= caps->dwNeededSize) {
        char* base = reinterpret_cast<char*>(caps);
        std::memcpy(base + fixed, name.c_str(), nameSize);
        caps->dwLineNameOffset = fixed;
        caps->dwLineNameSize = nameSize;
        caps->dwUsedSize = caps->dwNeededSize;
    }
    return 0;
}

LONG lineShutdown(HLINEAPP lineApp) {
    std::lock_guard lock(g_appsMutex);
    return g_apps.erase(lineApp) == 1 ? 0 : LINEERR_INVALAPPHANDLE;
}

} // namespace platform
