// The configuration and data folders, following the XDG base directory rules.
#include "platform/Paths.h"

#include "platform/ResourceStrings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

constexpr int kReceivedFilesFolderId = 50304;
constexpr const char* kAppFolder = "Sendari";

// The XDG rules ignore a relative path in these variables.
std::string AbsoluteEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value && value[0] == '/')
        return value;
    return {};
}

const passwd* PasswordEntry(std::vector<char>& buffer, passwd& entry) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    buffer.resize(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd* result = nullptr;
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return result;
}

// Reads XDG_DOCUMENTS_DIR="$HOME/Documents" from user-dirs.dirs.
std::string UserDirsDocuments(const std::string& configHome, const std::string& home) {
    std::FILE* file = std::fopen((configHome + "/user-dirs.dirs").c_str(), "r");
    if (!file)
        return {};
    std::string found;
    char line[4096];
    while (std::fgets(line, sizeof line, file)) {
        std::string_view s(line);
        constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=\"";
        if (s.substr(0, kKey.size()) != kKey)
            continue;
        s.remove_prefix(kKey.size());
        std::size_t end = s.find('"');
        if (end == std::string_view::npos)
            continue;
        s = s.substr(0, end);
        if (s.substr(0, 5) == "$HOME")
            found = home + std::string(s.substr(5));
        else if (!s.empty() && s.front() == '/')
            found = std::string(s);
    }
    std::fclose(file);
    return found;
}

std::string ConfigHome() {
    std::string config = AbsoluteEnv("XDG_CONFIG_HOME");
    return config.empty() ? HomeDirectory() + "/.config" : config;
}

} // namespace

namespace {

// Whether the folder at `path` is ours alone: a real folder (not a link), owned by this user,
// closed to everyone else.
bool IsPrivateFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool mine = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
    // A folder of ours that others may enter is closed to them first.
    const bool closed = mine && ((st.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0);
    ::close(fd);
    return closed;
}

} // namespace

std::string PrivateRuntimeDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        struct stat st {};
        if (::lstat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid())
            return runtime;
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::string base =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/sendari-" + std::to_string(::getuid());
    constexpr int kCandidates = 4; // another user may have taken a name before us
    for (int n = 1; n <= kCandidates; ++n) {
        const std::string folder = n == 1 ? base : base + "-" + std::to_string(n);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            continue;
        if (IsPrivateFolder(folder))
            return folder;
    }
    return {};
}

bool IsOwnSocket(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::getuid();
}

std::string HomeDirectory() {
    std::string home = AbsoluteEnv("HOME");
    if (!home.empty())
        return home;
    std::vector<char> buffer;
    passwd entry{};
    if (const passwd* pw = PasswordEntry(buffer, entry); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        return pw->pw_dir;
    return "/";
}

std::string ConfigDirectory() {
    return ConfigHome() + "/" + kAppFolder;
}

std::string DataDirectory() {
    // A portable setup may name its folder relative to where the program is started.
    const char* portable = std::getenv("SENDARI_HOME");
    std::string dir;
    if (portable && portable[0] != '\0') {
        std::error_code ec;
        dir = std::filesystem::absolute(portable, ec).lexically_normal().string();
    }
    if (dir.empty()) {
        std::string data = AbsoluteEnv("XDG_DATA_HOME");
        dir = (data.empty() ? HomeDirectory() + "/.local/share" : data) + "/" + kAppFolder;
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    return dir;
}

std::string DefaultReceiveFolder() {
    return DataDirectory() + "/" + std::string(LoadResourceString(kReceivedFilesFolderId));
}

std::string RegisteredOwner() {
    std::vector<char> buffer;
    passwd entry{};
    const passwd* pw = PasswordEntry(buffer, entry);
    if (!pw || !pw->pw_gecos)
        return {};
    std::string gecos = pw->pw_gecos;
    return gecos.substr(0, gecos.find(','));
}

std::string DocumentsFolder() {
    std::string home = HomeDirectory();
    std::string documents = UserDirsDocuments(ConfigHome(), home);
    std::error_code ec;
    if (!documents.empty() && std::filesystem::is_directory(documents, ec))
        return documents;
    return home;
}

std::string NumberedPath(const std::string& path, int number) {
    constexpr std::size_t kMaxExtensionLength = 4; // the dot and three characters
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const bool hasExtension = dot != std::string::npos &&
                              (slash == std::string::npos || dot > slash) &&
                              dot + kMaxExtensionLength >= path.size();
    const std::size_t at = hasExtension ? dot : path.size();
    return path.substr(0, at) + "#" + std::to_string(number) + path.substr(at);
}

} // namespace platform
