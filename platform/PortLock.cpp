// Port locks: one file per device in the user's private runtime folder, locked with flock and
// holding the name of the process that locked it.
#include "platform/PortLock.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Paths.h"
#include "platform/VirtualModem.h"

namespace platform {
namespace {

constexpr std::size_t kHolderMaxBytes = 200;
std::mutex g_holderMutex;
std::string g_lastHolder;

// The name of the lock file for `target`, or empty when the target shares nothing.
std::string LockKey(const std::string& target) {
    VirtualModemConfig config;
    if (target.rfind("vmodem:", 0) == 0) {
        if (!ParseVirtualModemMapValue(target, config) || !config.listen || config.listenPort == 0)
            return {};
        return "vmodem-" + config.listenAddress + "-" + std::to_string(config.listenPort);
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    return "device-" + std::to_string(static_cast<unsigned long long>(st.st_rdev));
}

// "sendari-cli receive, process 1234": the program and its command word, from this process's
// own command line.
std::string ThisProcess() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string program, command;
    std::getline(in, program, '\0');
    std::getline(in, command, '\0');
    program = program.substr(program.rfind('/') + 1);
    std::string name = program;
    if (command == "send" || command == "receive")
        name += " " + command;
    return name + ", process " + std::to_string(::getpid());
}

// What the holder wrote, printable characters only.
std::string ReadHolder(int fd) {
    char buffer[kHolderMaxBytes];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    std::string holder;
    for (ssize_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(buffer[i]);
        if (std::isprint(c))
            holder += static_cast<char>(c);
    }
    return holder.empty() ? "another program" : holder;
}

} // namespace

std::optional<PortLock> PortLock::Take(const std::string& target, std::string& holder) {
    holder.clear();
    const std::string key = LockKey(target);
    const std::string folder = key.empty() ? std::string() : PrivateRuntimeDirectory();
    if (folder.empty())
        return PortLock(-1);
    std::string name = key;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.')
            c = '_';
    }
    const std::string path = folder + "/port-" + name + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return PortLock(-1);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        holder = ReadHolder(fd);
        ::close(fd);
        return std::nullopt;
    }
    const std::string me = ThisProcess();
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, me.data(), me.size(), 0) < 0) {
        // The lock holds without the name; a second opener is told "another program".
    }
    return PortLock(fd);
}

PortLock& PortLock::operator=(PortLock&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

PortLock::~PortLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::string LastPortHolder() {
    std::lock_guard lock(g_holderMutex);
    return g_lastHolder;
}

void SetLastPortHolder(std::string holder) {
    std::lock_guard lock(g_holderMutex);
    g_lastHolder = std::move(holder);
}

} // namespace platform
