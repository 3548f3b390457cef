// Temporary file, fsync, rename: the classic crash-safe replacement.
#include "platform/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::atomic<unsigned> g_tempCounter{0};

int WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::string ParentOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

int WriteFileAtomically(const std::string& path, std::string_view content) {
    std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." +
                       std::to_string(g_tempCounter.fetch_add(1));
    // 0666 lets the umask decide, as for any new file; an existing file keeps its own mode.
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0)
        (void)::fchmod(fd, old.st_mode & 07777);
    int error = WriteAll(fd, content);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return error;
    }
    // The rename itself must reach the disk too, or a crash could bring back the old file.
    int dir = ::open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return 0;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            content.clear();
            return false;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

} // namespace platform
