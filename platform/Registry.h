// The registry calls the program expects, kept over two hive files in REGEDIT4 text under the
// configuration folder: one for HKEY_CURRENT_USER, one for HKEY_LOCAL_MACHINE.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using LONG = std::int32_t;
using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using REGSAM = std::uint32_t;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;
using LPSTR = char*;
using LPCSTR = const char*;

// An open key. The two predefined roots are fixed values that are never closed for real.
struct RegistryKey;
using HKEY = RegistryKey*;
using PHKEY = HKEY*;

inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001u});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002u});

// Value types. Any other number is kept and written back as hex(n).
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

// Access rights and options are accepted for the calls' shape; every handle may read and write.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

// Dispositions reported by RegCreateKeyEx.
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Results.
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_WRITE_FAULT = 29;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_BAD_PATHNAME = 161;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_KEY_DELETED = 1018;
inline constexpr LONG ERROR_NOT_ENOUGH_QUOTA = 1816; // the hive would grow past its size limit

// Opens `subKey` below `key`, creating every missing key on the way (saved at once).
LONG RegCreateKeyEx(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                    REGSAM access, const void* securityAttributes, PHKEY result,
                    LPDWORD disposition);

// Opens an existing key; ERROR_FILE_NOT_FOUND when it is missing. An empty or null `subKey`
// opens a second handle to `key` itself.
LONG RegOpenKeyEx(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);

// Reads value `name` (null or "" for the key's default value). With `data` null only the type
// and size are reported; a buffer smaller than the value gives ERROR_MORE_DATA and the size
// needed in *dataSize. REG_SZ data counts its terminating NUL, as it was stored.
LONG RegQueryValueEx(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                     LPDWORD dataSize);

// Stores value `name` with `type` and the `size` bytes at `data`; the hive is saved at once.
LONG RegSetValueEx(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);

// The value at `index` in the order the values were created. *nameLength holds the name buffer's
// size in characters and receives the name's length without its NUL.
LONG RegEnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                  LPDWORD type, LPBYTE data, LPDWORD dataSize);

// The subkey at `index` in the order the subkeys were created; `keyClass` is always empty and
// `lastWriteTime` (a FILETIME on the original system) is left untouched.
LONG RegEnumKeyEx(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                  LPSTR keyClass, LPDWORD classLength, void* lastWriteTime);

LONG RegDeleteValue(HKEY key, LPCSTR name);

// Deletes `subKey` with everything below it; handles still open on it then fail with
// ERROR_KEY_DELETED.
LONG RegDeleteKey(HKEY key, LPCSTR subKey);

LONG RegCloseKey(HKEY key);

// The ANSI names the original calls carried.
inline constexpr auto& RegCreateKeyExA = RegCreateKeyEx;
inline constexpr auto& RegOpenKeyExA = RegOpenKeyEx;
inline constexpr auto& RegQueryValueExA = RegQueryValueEx;
inline constexpr auto& RegSetValueExA = RegSetValueEx;
inline constexpr auto& RegEnumValueA = RegEnumValue;
inline constexpr auto& RegEnumKeyExA = RegEnumKeyEx;
inline constexpr auto& RegDeleteValueA = RegDeleteValue;
inline constexpr auto& RegDeleteKeyA = RegDeleteKey;

// Forgets the hives in memory so that the next call reads them again from the configuration
// folder (which follows XDG_CONFIG_HOME at the time of that call).
void ReloadRegistry();

// Makes the changes done while it lives one save per hive at its end (or at Commit): the hive's
// lock is held from the first change to the end, so another process sees all of them or none,
// and a settings save costs one file write instead of one per value. Transactions nest; the
// outermost one saves. Changes inside report success; Commit reports the save.
class RegistryTransaction {
  public:
    RegistryTransaction();
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    LONG Commit();

  private:
    bool m_committed{false};
};

// Merges a REGEDIT4 file's text ("[-key]" and "name"=- delete) into the hives it names.
// Returns ERROR_SUCCESS, ERROR_INVALID_PARAMETER when some lines could not be read (the readable
// ones are still merged) or the error of the save.
LONG RegImportText(std::string_view text);

// The same for a text already read (see RegistryHive.h). A hive that would grow past its size
// limit is left as it was: ERROR_NOT_ENOUGH_QUOTA.
struct RegistryDocument;
LONG RegImportDocument(const RegistryDocument& document);

// What happened to the hive files since the last call, one sentence each, naming the file: a
// hive that could not be read (its settings are not used and nothing is saved over it), or a
// damaged one repaired (and where the file as it was is kept). For the user to be told.
std::vector<std::string> TakeRegistryNotices();

// Small readers for code that only needs one value: nullopt when the key or value is missing or
// the value has another type.
std::optional<std::string> ReadRegistryString(HKEY root, std::string_view subKey,
                                              std::string_view name);
std::optional<DWORD> ReadRegistryNumber(HKEY root, std::string_view subKey, std::string_view name);

// Writers matching the readers: the key is created when missing.
LONG WriteRegistryString(HKEY root, std::string_view subKey, std::string_view name,
                         std::string_view text);
LONG WriteRegistryNumber(HKEY root, std::string_view subKey, std::string_view name, DWORD number);

// The hive file that holds `root` ("HKEY_CURRENT_USER.reg" in the configuration folder).
std::string RegistryHivePath(HKEY root);

} // namespace platform
