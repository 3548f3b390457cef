// The Telephony API calls the program uses to list the installed modems: one line device per
// modem entry of the HKEY_LOCAL_MACHINE hive. Calls are never placed through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace platform {

using HLINEAPP = std::uint32_t;
using HINSTANCE = void*;
using LINECALLBACK = void (*)(DWORD device, DWORD message, DWORD instance, DWORD param1,
                              DWORD param2, DWORD param3);

inline constexpr LONG LINEERR_BADDEVICEID = static_cast<LONG>(0x80000002u);
inline constexpr LONG LINEERR_INCOMPATIBLEAPIVERSION = static_cast<LONG>(0x8000000Cu);
inline constexpr LONG LINEERR_INVALAPPHANDLE = static_cast<LONG>(0x80000015u);
inline constexpr LONG LINEERR_INVALPOINTER = static_cast<LONG>(0x80000035u);
inline constexpr LONG LINEERR_STRUCTURETOOSMALL = static_cast<LONG>(0x8000004Du);

inline constexpr DWORD STRINGFORMAT_ASCII = 1;
inline constexpr DWORD LINEMEDIAMODE_DATAMODEM = 0x00000010;

// The versions this layer speaks: 1.3 up to 2.0.
inline constexpr DWORD kTapiLowestVersion = 0x00010003;
inline constexpr DWORD kTapiHighestVersion = 0x00020000;

// The fixed part of a line device's capabilities; variable-size texts follow it in the same
// buffer, found by their offsets from the start of the record.
struct LINEDEVCAPS {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwProviderInfoSize;
    DWORD dwProviderInfoOffset;
    DWORD dwSwitchInfoSize;
    DWORD dwSwitchInfoOffset;
    DWORD dwPermanentLineID;
    DWORD dwLineNameSize;
    DWORD dwLineNameOffset;
    DWORD dwStringFormat;
    DWORD dwAddressModes;
    DWORD dwNumAddresses;
    DWORD dwBearerModes;
    DWORD dwMaxRate;
    DWORD dwMediaModes;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
};
using LPLINEDEVCAPS = LINEDEVCAPS*;

// Takes a snapshot of the installed modems: devices added later show only to a later
// application handle. *numDevs receives the number of line devices.
LONG lineInitialize(HLINEAPP* lineApp, HINSTANCE instance, LINECALLBACK callback,
                    const char* appName, DWORD* numDevs);

LONG lineNegotiateAPIVersion(HLINEAPP lineApp, DWORD deviceId, DWORD lowVersion, DWORD highVersion,
                             DWORD* apiVersion, void* extensionId);

// Fills `caps`, whose dwTotalSize the caller sets to the buffer's size. When the buffer is too
// small for the texts the fixed part is still filled, dwNeededSize says what would fit all,
// and the call succeeds, as the original does.
LONG lineGetDevCaps(HLINEAPP lineApp, DWORD deviceId, DWORD apiVersion, DWORD extVersion,
                    LPLINEDEVCAPS caps);

LONG lineShutdown(HLINEAPP lineApp);

// Where the line names come from: every subkey of the modem class key, named by the
// "FriendlyName" of the plug-and-play instance whose "Driver" points at it, else by its own
// "DriverDesc". Subkeys without either are not listed.
inline constexpr const char* kModemClassKey = "System\\CurrentControlSet\\Services\\Class\\Modem";
inline constexpr const char* kDriverClassKey = "System\\CurrentControlSet\\Services\\Class\\";

// One installed modem as the line devices list it.
struct InstalledModemEntry {
    std::string subkey;      // below kModemClassKey, e.g. "0001"
    std::string name;        // the line name
    std::string pnpInstance; // the plug-and-play instance key naming it, or empty
};

// The names of the subkeys of `root`\`path` in creation order; empty when it does not open.
std::vector<std::string> RegistrySubkeyNames(HKEY root, const std::string& path);

// The installed modems in the order line devices are numbered.
std::vector<InstalledModemEntry> InstalledModemEntries();

} // namespace platform
