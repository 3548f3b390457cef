// Installing and removing modems in the HKEY_LOCAL_MACHINE hive, in the layout the modem
// discovery reads: what the "sendari-modems" command and its window do.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace comm {

// The port map: value "COMn" = a device path or a "vmodem:..." specification.
inline constexpr const char* kPortMapKey = "Hardware\\DeviceMap\\SerialComm";

// A modem type that can be installed: a REGEDIT4 text holding one modem entry under
// "...\Class\Modem\<any number>" (its "Init", "Settings" and "Responses" subkeys included).
struct ModemDefinition {
    std::string type;        // "hayes", "virtual", or a user file's name without ".reg"
    std::string description; // its "DriverDesc"
    std::string text;
};

// The built-in types and the user's own files in <configuration folder>/modems/*.reg; a user
// file named like a built-in type replaces it.
std::vector<ModemDefinition> ModemDefinitions();
std::optional<ModemDefinition> FindModemDefinition(const std::string& type);

// The folder searched for the user's own definitions.
std::string UserModemDefinitionFolder();

struct InstalledModem {
    std::string name;       // as the modem lists show it
    std::string driverKey;  // "Modem\0001"
    std::string port;       // "COM3", or empty when the entry names none
    std::string portTarget; // the port map value, or empty when the port has no entry
};

std::vector<InstalledModem> ListInstalledModems();

struct InstallResult {
    bool ok{false};
    std::string message;            // what went wrong, or notes for the user
    std::vector<std::string> names; // names of the modems installed
};

// The port number 1 to 9 of "COMn" (any case), else 0: the program finds no modem above COM9.
int ParseComPort(const std::string& text);

// Installs a copy of the modem entry in `definitionText` under the next free number, attached
// to `port` ("COMn"). A non-empty `portTarget` becomes the port's map value. A name already in
// use gets " #2", " #3", ... so every modem can be told apart in the lists.
InstallResult InstallModem(const std::string& definitionText, const std::string& port,
                           const std::string& portTarget);

// The map value of a virtual modem that answers calls at `listen` ("ADDR:PORT") and runs its
// line at `rate` bits per second; empty when either is not valid.
std::string VirtualModemMapValue(const std::string& listen, const std::string& rate);

// Merges a REGEDIT4 file. Its modem entries are renumbered to free numbers so that they add to
// the installed modems instead of overwriting them; `portOverride` ("COMn" or empty) replaces
// their "AttachedTo".
InstallResult ImportModems(const std::string& regText, const std::string& portOverride);

// ImportModems on the file at `path`, read as far as a registry text may go (a larger file is
// refused unread).
InstallResult ImportModemFile(const std::string& path, const std::string& portOverride);

// Removes the modem listed as `nameOrPort` (or the one attached to that "COMn" port) with its
// plug-and-play instance; a virtual modem's port map value goes with it.
InstallResult RemoveModem(const std::string& nameOrPort);

} // namespace comm
