// The registry calls over the hive files. Every change is read-modify-write under an exclusive
// lock on a companion lock file, so two processes that save at once both keep their changes.
#include "platform/Registry.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/RegistryHive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace platform {

struct RegistryKey {
    int hive{0};
    std::string path; // below the hive's root, pieces joined by backslashes
};

namespace {

// What identifies one version of a hive file on disk.
struct FileIdentity {
    dev_t device{0};
    ino_t inode{0};
    off_t size{-1};
    timespec modified{};
    bool operator==(const FileIdentity& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

FileIdentity Identify(const std::string& path) {
    FileIdentity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        id.device = st.st_dev;
        id.inode = st.st_ino;
        id.size = st.st_size;
        id.modified = st.st_mtim;
    }
    return id;
}

std::mutex g_noticeMutex;
std::vector<std::string> g_notices;

void Notice(const std::string& text) {
    std::lock_guard lock(g_noticeMutex);
    if (std::find(g_notices.begin(), g_notices.end(), text) == g_notices.end())
        g_notices.push_back(text);
}

// Writes `content` beside `path` as path.damaged, or .damaged.2, .3, ... (never over an earlier
// copy); the name used, or empty when none could be written.
std::string KeepDamagedCopy(const std::string& path, const std::string& content) {
    constexpr int kMostCopies = 100;
    for (int n = 1; n <= kMostCopies; ++n) {
        const std::string name = path + ".damaged" + (n == 1 ? "" : "." + std::to_string(n));
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return {};
        }
        const bool written =
            ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
        ::close(fd);
        return written ? name : std::string();
    }
    return {};
}

class Hive {
  public:
    explicit Hive(const char* rootName) : m_rootName{rootName} {}

    const std::string& RootName() const { return m_rootName; }
    std::string FilePath() const { return ConfigDirectory() + "/" + m_rootName + ".reg"; }
    void Forget() {
        if (!m_held) // a transaction in progress keeps its tree until it saves
            m_loadedPath.clear();
    }

    // The tree as it is on disk now (read again when the file or its folder changed), or with
    // the changes of the open transaction while this process holds the hive's lock.
    RegistryNode& Current() {
        if (m_held)
            return m_root;
        std::string path = FilePath();
        FileIdentity id = Identify(path);
        if (path != m_loadedPath || !(id == m_identity))
            Load(path, id);
        return m_root;
    }

    // Applies `change` to the tree as it is on disk and saves it, holding the hive's lock across
    // both so that another process's save in between is never lost. `change` returns
    // ERROR_SUCCESS to save, or an error to leave the file alone. With `deferred` (inside a
    // transaction) the lock stays held and the save waits for Flush.
    LONG Change(const std::function<LONG(RegistryNode&)>& change, bool deferred) {
        if (!m_held) {
            m_held = true;
            std::string path = FilePath();
            std::error_code ec;
            std::filesystem::create_directories(ConfigDirectory(), ec);
            m_lock = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (m_lock >= 0) {
                while (::flock(m_lock, LOCK_EX) != 0 && errno == EINTR) {
                }
            }
            // Always read again under the lock: the file's identity alone could miss a save.
            Load(path, Identify(path));
        }
        LONG result = change(m_root);
        if (result == ERROR_SUCCESS)
            m_dirty = true;
        if (deferred)
            return result;
        LONG flushed = Flush();
        return result == ERROR_SUCCESS ? flushed : result;
    }

    // Saves what changed since the lock was taken and releases the lock.
    LONG Flush() {
        LONG result = m_dirty ? Save(m_loadedPath) : ERROR_SUCCESS;
        m_dirty = false;
        if (m_lock >= 0)
            ::close(m_lock); // releases the lock
        m_lock = -1;
        m_held = false;
        return result;
    }

  private:
    void Load(const std::string& path, const FileIdentity& id) {
        m_root = RegistryNode{};
        m_root.name = m_rootName;
        m_loadedPath = path;
        m_identity = id;
        m_damaged = 0;
        m_unreadable = false;
        std::string text;
        if (id.size > static_cast<off_t>(kMaxRegistryTextSize)) {
            // Not a hive this program wrote: reading it would only exhaust memory.
            m_unreadable = true;
            Notice(path + " is larger than 16 MiB, more than settings ever need: its settings "
                          "are not used, and nothing is saved over it.");
            return;
        }
        if (!ReadWholeFile(path, text)) {
            // A hive that is there but cannot be read (permissions, an I/O error, no
            // descriptors) holds the user's settings all the same: nothing is saved over it.
            const int error = errno;
            m_unreadable = error != ENOENT && error != ENOTDIR;
            if (m_unreadable)
                Notice(path + " could not be read (" + std::strerror(error) +
                       "): its settings are not used, and nothing is saved over it.");
            return;
        }
        RegistryParseResult parsed = ParseRegistryText(text, [this](std::string_view root) {
            return RegistryNamesEqual(root, m_rootName) ? &m_root : nullptr;
        });
        if (!text.empty() && !parsed.Clean())
            m_damaged = parsed.damagedLines > 0 ? parsed.damagedLines : 1;
        m_overLimit = parsed.overLimit;
        if (m_damaged > 0)
            Notice(path + " is damaged: " + DamageText() +
                   "; the rest is used, and the file as it is will be kept beside it when the "
                   "settings are next saved.");
    }

    std::string DamageText() const {
        return std::to_string(m_damaged) + " line(s) could not be read and were left out" +
               (m_overLimit.empty() ? std::string() : " (" + m_overLimit + ")");
    }

    LONG Save(const std::string& path) {
        if (m_unreadable)
            return ERROR_ACCESS_DENIED;
        const std::string text = FormatRegistryText(m_root, m_rootName);
        if (text.size() > kMaxRegistryTextSize) {
            m_loadedPath.clear(); // the change is dropped: read the file as it is again
            return ERROR_NOT_ENOUGH_QUOTA;
        }
        // A damaged hive is kept aside, a numbered copy for every repair, before its readable
        // part replaces it, so that whatever could not be read can still be recovered by hand.
        if (m_damaged > 0) {
            std::string old;
            if (ReadWholeFile(path, old)) {
                const std::string kept = KeepDamagedCopy(path, old);
                Notice(path + " was repaired: " + DamageText() +
                       (kept.empty() ? std::string(".")
                                     : "; the file as it was is kept as " + kept + "."));
            }
            m_damaged = 0;
        }
        if (WriteFileAtomically(path, text) != 0) {
            m_loadedPath.clear(); // what was not saved must not be read back as if it were
            return ERROR_WRITE_FAULT;
        }
        m_identity = Identify(path);
        return ERROR_SUCCESS;
    }

    std::string m_rootName;
    RegistryNode m_root;
    std::string m_loadedPath;
    FileIdentity m_identity;
    int m_damaged{0};         // lines of the loaded file that could not be read
    std::string m_overLimit;  // the first limit the loaded file went past, if any
    bool m_unreadable{false}; // the file is there but could not be read: never saved over
    bool m_dirty{false};
    int m_lock{-1};     // the lock file, while held
    bool m_held{false}; // from the first change to the save (a lock that could not be
                        // opened still counts, so the save reports the failure)
};

struct Store {
    std::recursive_mutex mutex;
    Hive hives[2]{Hive{"HKEY_CURRENT_USER"}, Hive{"HKEY_LOCAL_MACHINE"}};
    std::unordered_set<RegistryKey*> open;
    int transactions{0}; // open RegistryTransaction objects
};

Store& TheStore() {
    static Store store;
    return store;
}

// The hive and key path a handle names, or an error for an unknown handle.
LONG Resolve(Store& store, HKEY key, int& hive, std::string& path) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
        hive = key == HKEY_CURRENT_USER ? 0 : 1;
        path.clear();
        return ERROR_SUCCESS;
    }
    if (!key || !store.open.count(key))
        return ERROR_INVALID_HANDLE;
    hive = key->hive;
    path = key->path;
    return ERROR_SUCCESS;
}

std::string JoinPath(const std::string& base, LPCSTR subKey) {
    std::string path = base;
    if (subKey)
        for (std::string_view piece : SplitRegistryPath(subKey))
            path.append(path.empty() ? "" : "\\").append(piece);
    return path;
}

LONG CheckSubKey(LPCSTR subKey) {
    if (!subKey)
        return ERROR_SUCCESS;
    if (subKey[0] == '\\')
        return ERROR_BAD_PATHNAME;
    for (std::string_view piece : SplitRegistryPath(subKey)) {
        if (piece.size() > kMaxRegistryKeyNameLength)
            return ERROR_INVALID_PARAMETER;
        if (piece.find_first_of("\r\n") != std::string_view::npos)
            return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

HKEY NewHandle(Store& store, int hive, std::string path) {
    auto* handle = new RegistryKey{hive, std::move(path)};
    store.open.insert(handle);
    return handle;
}

// Copies `value` out in the caller's buffer the way RegQueryValueEx does.
LONG CopyValueOut(const RegistryValue& value, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (data && !dataSize)
        return ERROR_INVALID_PARAMETER;
    if (type)
        *type = value.type;
    DWORD size = static_cast<DWORD>(value.data.size());
    if (!dataSize)
        return ERROR_SUCCESS;
    if (!data) {
        *dataSize = size;
        return ERROR_SUCCESS;
    }
    if (*dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (size)
        std::memcpy(data, value.data.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

LONG CopyNameOut(const std::string& name, LPSTR out, LPDWORD length) {
    if (!out || !length)
        return ERROR_INVALID_PARAMETER;
    if (name.size() + 1 > *length)
        return ERROR_MORE_DATA;
    std::memcpy(out, name.c_str(), name.size() + 1);
    *length = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Runs `body` on the key a handle names, under the store's lock; with `modify` as one locked
// read-modify-write of its hive.
template <typename Body> LONG OnKey(HKEY key, bool modify, Body body) {
    Store& store = TheStore();
    std::lock_guard guard(store.mutex);
    int hive = 0;
    std::string path;
    if (LONG r = Resolve(store, key, hive, path); r != ERROR_SUCCESS)
        return r;
    auto onRoot = [&](RegistryNode& root) -> LONG {
        RegistryNode* node = root.Find(path);
        return node ? body(*node) : ERROR_KEY_DELETED;
    };
    Hive& h = store.hives[hive];
    return modify ? h.Change(onRoot, store.transactions > 0) : onRoot(h.Current());
}

template <typename Body> LONG WithKey(HKEY key, Body body) {
    return OnKey(key, false, body);
}
template <typename Body> LONG ChangeKey(HKEY key, Body body) {
    return OnKey(key, true, body);
}

// Opens (and with `create`, first creates) `subKey` below `key`.
LONG OpenKeyHandle(HKEY key, LPCSTR subKey, bool create, PHKEY result, LPDWORD disposition) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (LONG r = CheckSubKey(subKey); r != ERROR_SUCCESS)
        return r;
    Store& store = TheStore();
    std::lock_guard guard(store.mutex);
    int hive = 0;
    std::string base;
    if (LONG r = Resolve(store, key, hive, base); r != ERROR_SUCCESS)
        return r;
    std::string path = JoinPath(base, subKey);
    if (SplitRegistryPath(path).size() > kMaxRegistryKeyDepth)
        return ERROR_INVALID_PARAMETER;
    bool existed = store.hives[hive].Current().Find(path) != nullptr;
    if (!existed && !create)
        return ERROR_FILE_NOT_FOUND;
    if (!existed) {
        LONG r = store.hives[hive].Change(
            [&](RegistryNode& root) -> LONG {
                if (!root.Find(base))
                    return ERROR_KEY_DELETED;
                root.Create(path);
                return ERROR_SUCCESS;
            },
            store.transactions > 0);
        if (r != ERROR_SUCCESS)
            return r;
    }
    if (disposition)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *result = NewHandle(store, hive, path);
    return ERROR_SUCCESS;
}

} // namespace

LONG RegCreateKeyEx(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, const void*, PHKEY result,
                    LPDWORD disposition) {
    return OpenKeyHandle(key, subKey, true, result, disposition);
}

LONG RegOpenKeyEx(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
    return OpenKeyHandle(key, subKey, false, result, nullptr);
}

LONG RegQueryValueEx(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return WithKey(key, [&](RegistryNode& node) -> LONG {
        const RegistryValue* value = node.FindValue(name ? name : "");
        if (!value)
            return ERROR_FILE_NOT_FOUND;
        return CopyValueOut(*value, type, data, dataSize);
    });
}

LONG RegSetValueEx(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    if ((size && !data) || size > kMaxRegistryValueSize)
        return ERROR_INVALID_PARAMETER;
    std::string_view valueName = name ? name : "";
    if (valueName.size() > kMaxRegistryValueNameLength ||
        valueName.find_first_of("\r\n") != std::string_view::npos)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::uint8_t> bytes(data, data + size);
    return ChangeKey(key, [&](RegistryNode& node) -> LONG {
        node.SetValue(valueName, type, bytes);
        return ERROR_SUCCESS;
    });
}

LONG RegEnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPDWORD type,
                  LPBYTE data, LPDWORD dataSize) {
    return WithKey(key, [&](RegistryNode& node) -> LONG {
        if (index >= node.values.size())
            return ERROR_NO_MORE_ITEMS;
        const RegistryValue& value = node.values[index];
        if (LONG r = CopyNameOut(value.name, name, nameLength); r != ERROR_SUCCESS)
            return r;
        return CopyValueOut(value, type, data, dataSize);
    });
}

LONG RegEnumKeyEx(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPSTR keyClass,
                  LPDWORD classLength, void*) {
    return WithKey(key, [&](RegistryNode& node) -> LONG {
        if (index >= node.subkeys.size())
            return ERROR_NO_MORE_ITEMS;
        if (keyClass && classLength && *classLength > 0) {
            keyClass[0] = '\0';
            *classLength = 0;
        }
        return CopyNameOut(node.subkeys[index]->name, name, nameLength);
    });
}

LONG RegDeleteValue(HKEY key, LPCSTR name) {
    return ChangeKey(key, [&](RegistryNode& node) -> LONG {
        return node.RemoveValue(name ? name : "") ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegDeleteKey(HKEY key, LPCSTR subKey) {
    if (!subKey || SplitRegistryPath(subKey).empty())
        return ERROR_INVALID_PARAMETER;
    if (LONG r = CheckSubKey(subKey); r != ERROR_SUCCESS)
        return r;
    std::vector<std::string_view> pieces = SplitRegistryPath(subKey);
    std::string_view last = pieces.back();
    std::string parent(subKey, static_cast<std::size_t>(last.data() - subKey));
    return ChangeKey(key, [&](RegistryNode& node) -> LONG {
        RegistryNode* owner = node.Find(parent);
        return owner && owner->RemoveSubkey(last) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    Store& store = TheStore();
    std::lock_guard guard(store.mutex);
    if (!key || !store.open.erase(key))
        return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

void ReloadRegistry() {
    Store& store = TheStore();
    std::lock_guard guard(store.mutex);
    for (Hive& hive : store.hives)
        hive.Forget();
}

RegistryTransaction::RegistryTransaction() {
    Store& store = TheStore();
    std::lock_guard guard(store.mutex);
    ++store.transactions;
}

RegistryTransaction::~RegistryTransaction() {
    Commit();
}

LONG RegistryTransaction::Commit() {
    if (m_committed)
        return ERROR_SUCCESS;
    m_committed = true;
    Store& store = TheStore();
    std::lock_guard guard(store.mutex);
    if (--store.transactions > 0)
        return ERROR_SUCCESS;
    LONG result = ERROR_SUCCESS;
    for (Hive& hive : store.hives) {
        LONG r = hive.Flush();
        if (result == ERROR_SUCCESS)
            result = r;
    }
    return result;
}

std::vector<std::string> TakeRegistryNotices() {
    std::lock_guard lock(g_noticeMutex);
    std::vector<std::string> notices;
    notices.swap(g_notices);
    return notices;
}

LONG RegImportText(std::string_view text) {
    return RegImportDocument(ReadRegistryDocument(text));
}

LONG RegImportDocument(const RegistryDocument& document) {
    Store& store = TheStore();
    std::lock_guard guard(store.mutex);
    LONG result = ERROR_SUCCESS;
    bool damaged = false;
    for (Hive& hive : store.hives) {
        bool mentioned = false;
        LONG r = hive.Change(
            [&](RegistryNode& root) -> LONG {
                RegistryParseResult parsed =
                    ApplyRegistryDocument(document, [&](std::string_view name) -> RegistryNode* {
                        bool mine =
                            RegistryNamesEqual(name, hive.RootName()) ||
                            (RegistryNamesEqual(name, "HKCU") && &hive == &store.hives[0]) ||
                            (RegistryNamesEqual(name, "HKLM") && &hive == &store.hives[1]);
                        mentioned |= mine;
                        return mine ? &root : nullptr;
                    });
                damaged |= !parsed.Clean();
                return mentioned ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
            },
            store.transactions > 0);
        if (mentioned && r != ERROR_SUCCESS)
            result = r;
    }
    if (result == ERROR_SUCCESS && damaged)
        result = ERROR_INVALID_PARAMETER;
    return result;
}

std::optional<std::string> ReadRegistryString(HKEY root, std::string_view subKey,
                                              std::string_view name) {
    std::optional<std::string> text;
    std::string sub(subKey);
    std::string valueName(name);
    HKEY key = nullptr;
    if (RegOpenKeyEx(root, sub.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return text;
    WithKey(key, [&](RegistryNode& node) -> LONG {
        const RegistryValue* value = node.FindValue(valueName);
        if (value && (value->type == REG_SZ || value->type == REG_EXPAND_SZ)) {
            std::string s(value->data.begin(), value->data.end());
            text = s.substr(0, s.find('\0'));
        }
        return ERROR_SUCCESS;
    });
    RegCloseKey(key);
    return text;
}

std::optional<DWORD> ReadRegistryNumber(HKEY root, std::string_view subKey, std::string_view name) {
    std::string sub(subKey);
    std::string valueName(name);
    HKEY key = nullptr;
    if (RegOpenKeyEx(root, sub.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0;
    DWORD number = 0;
    DWORD size = sizeof number;
    LONG r = RegQueryValueEx(key, valueName.c_str(), nullptr, &type,
                             reinterpret_cast<LPBYTE>(&number), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || type != REG_DWORD || size != sizeof number)
        return std::nullopt;
    return number;
}

namespace {

LONG WriteValue(HKEY root, std::string_view subKey, std::string_view name, DWORD type,
                const void* data, std::size_t size) {
    std::string sub(subKey);
    std::string valueName(name);
    HKEY key = nullptr;
    LONG r = RegCreateKeyEx(root, sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS)
        return r;
    r = RegSetValueEx(key, valueName.c_str(), 0, type, static_cast<const BYTE*>(data),
                      static_cast<DWORD>(size));
    RegCloseKey(key);
    return r;
}

} // namespace

LONG WriteRegistryString(HKEY root, std::string_view subKey, std::string_view name,
                         std::string_view text) {
    std::string terminated(text);
    return WriteValue(root, subKey, name, REG_SZ, terminated.c_str(), terminated.size() + 1);
}

LONG WriteRegistryNumber(HKEY root, std::string_view subKey, std::string_view name, DWORD number) {
    return WriteValue(root, subKey, name, REG_DWORD, &number, sizeof number);
}

std::string RegistryHivePath(HKEY root) {
    Store& store = TheStore();
    return store.hives[root == HKEY_LOCAL_MACHINE ? 1 : 0].FilePath();
}

} // namespace platform
