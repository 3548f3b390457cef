// Path and file helpers over POSIX calls; names are bytes and "/" separates folders.
#include "data/FileUtilities.h"

#include "data/UserMessages.h"
#include "platform/Paths.h"
#include "platform/ResourceStrings.h"
#include "platform/Shell.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace data {
namespace {

constexpr int kCannotCreateFolderId = 50206;
constexpr int kNoFileManagerId = 50246;
constexpr int kCannotMoveFileId = 50223;
constexpr int kAddMoreFilesId = 50238;
constexpr int kDatedFolderId = 50303;
constexpr int kMaxUniqueNumber = 100000;
constexpr std::size_t kAskAtCounts[] = {100, 1000};
constexpr int kMoveAttempts = 5;

bool Fits(const std::string& path) {
    return !path.empty() && path.size() < MaxPathLength();
}

// Whether anything (even a dangling link) occupies `path`; an unknown answer counts as taken.
bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Fills each "%d" of a string-table format with the next number.
std::string FormatNumbers(std::string_view format, std::initializer_list<int> numbers) {
    std::string out;
    auto next = numbers.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format.substr(i, 2) == "%d" && next != numbers.end()) {
            out += std::to_string(*next++);
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

int CopyFileExclusive(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    struct stat st {};
    ::fstat(in, &st);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        int e = errno;
        ::close(in);
        return e;
    }
    int error = 0;
    char buffer[65536];
    while (error == 0) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        for (ssize_t done = 0; done < n && error == 0;) {
            ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno != EINTR)
                error = errno;
            else if (w > 0)
                done += w;
        }
    }
    if (error == 0 && ::fsync(out) != 0)
        error = errno;
    if (::close(out) != 0 && error == 0)
        error = errno;
    ::close(in);
    if (error != 0)
        ::unlink(to.c_str());
    return error;
}

bool AddFileToList(const std::string& path, std::vector<std::string>& list) {
    if (!OpenForQuery(path).IsValid())
        return true; // busy or unreadable: left out without a word
    list.push_back(path);
    if (std::find(std::begin(kAskAtCounts), std::end(kAskAtCounts), list.size()) ==
        std::end(kAskAtCounts))
        return true;
    if (ShowMessage(MessageKind::QuestionOkCancel, kAddMoreFilesId, std::to_string(list.size())) ==
        MessageAnswer::Cancel) {
        list.clear();
        return false;
    }
    return true;
}

// Walks a folder in name order. A folder already walked (reached again through a link) is
// skipped, so a link loop cannot recurse for ever and no file is listed twice.
bool AddFolderToList(const std::string& folder, std::vector<std::string>& list,
                     std::set<std::pair<dev_t, ino_t>>& visited) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !visited.insert({st.st_dev, st.st_ino}).second)
        return true;
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string_view name = entry->d_name;
            if (name != "." && name != "..")
                names.emplace_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = folder == "/" ? "/" + name : folder + "/" + name;
        if (!Fits(path))
            continue;
        bool ok = IsFolder(path) ? AddFolderToList(path, list, visited) : AddFileToList(path, list);
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

std::size_t MaxPathLength() {
    return PATH_MAX;
}

std::string ReceiveFolderProblem(const std::string& folder) {
    if (folder.empty() || folder.front() != '/')
        return "it is not a full folder path";
    std::string existing = folder;
    struct stat st {};
    while (::stat(existing.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return std::strerror(errno);
        const std::size_t slash = existing.find_last_of('/');
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
    if (!S_ISDIR(st.st_mode))
        return existing == folder ? "it is not a folder" : existing + " is not a folder";
    if (::access(existing.c_str(), W_OK | X_OK) != 0)
        return std::string(existing == folder ? "" : existing + ": ") + std::strerror(errno);
    return {};
}

bool CreateFolderPath(const std::string& path) {
    if (!Fits(path))
        return false;
    // Each prefix ending before a "/" is a folder on the way; the leading "/" names the root.
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (prefix.back() == '/')
            continue;
        if (!Exists(prefix) && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    if (!Exists(path) && ::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
        return false;
    return IsFolder(path);
}

void OpenFolderInShell(const std::string& folder) {
    if (!IsFolder(folder) && !CreateFolderPath(folder))
        ShowMessage(MessageKind::Exclamation, kCannotCreateFolderId, folder);
    // Without a file manager the user is at least told where the files are.
    if (!platform::ShellOpen(folder))
        ShowMessage(MessageKind::Exclamation, kNoFileManagerId, folder);
}

std::string MakeUniquePath(const std::string& path) {
    if (!Fits(path))
        return {};
    if (!Exists(path))
        return path;
    for (int n = 2; n <= kMaxUniqueNumber; ++n) {
        std::string candidate = platform::NumberedPath(path, n);
        if (!Fits(candidate))
            return {};
        if (!Exists(candidate))
            return candidate;
    }
    return {};
}

std::string FileNamePart(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string FolderPart(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(0, slash));
}

std::string SanitizeFileName(std::string_view text, bool wholeName) {
    std::string_view forbidden = wholeName ? "\\/:*?<>|" : "/*?<>|";
    std::string name(text);
    for (char& c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || forbidden.find(c) != std::string_view::npos)
            c = '_';
    }
    if (name.empty() || name == "." || name == "..")
        name = "_";
    return name;
}

QueryHandle::~QueryHandle() {
    if (m_fd >= 0)
        ::close(m_fd); // also drops the lock
}

QueryHandle& QueryHandle::operator=(QueryHandle&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

QueryHandle OpenForQuery(const std::string& path) {
    if (!Fits(path))
        return QueryHandle{};
    // Non-blocking so that a FIFO named by mistake cannot hang the caller.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return QueryHandle{};
    QueryHandle handle(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return QueryHandle{};
    return handle;
}

std::int64_t FileSizeOf(const std::string& path) {
    QueryHandle handle = OpenForQuery(path);
    struct stat st {};
    if (!handle.IsValid() || ::fstat(handle.Descriptor(), &st) != 0)
        return -1;
    return st.st_size;
}

bool FileTimesOf(const std::string& path, std::time_t& creation, std::time_t& lastAccess,
                 std::time_t& lastWrite) {
    QueryHandle handle = OpenForQuery(path);
    if (!handle.IsValid())
        return false;
    struct statx sx {};
    if (::statx(handle.Descriptor(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return false;
    lastAccess = sx.stx_atime.tv_sec;
    lastWrite = sx.stx_mtime.tv_sec;
    creation = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : lastWrite;
    return true;
}

int MoveFileNoReplace(const std::string& from, const std::string& to) {
    if (!Fits(from) || !Fits(to))
        return ENAMETOOLONG;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // A file system without the no-replace rename: check first (a narrow race remains).
        if (Exists(to))
            return EEXIST;
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    }
    if (error != EXDEV)
        return error;
    if (int copyError = CopyFileExclusive(from, to); copyError != 0)
        return copyError;
    if (::unlink(from.c_str()) != 0) {
        error = errno;
        ::unlink(to.c_str());
        return error;
    }
    return 0;
}

std::string DatedFolderName(std::time_t now) {
    std::tm local{};
    ::localtime_r(&now, &local);
    return FormatNumbers(platform::LoadResourceString(kDatedFolderId),
                         {local.tm_mon + 1, local.tm_mday, local.tm_year + 1900});
}

void MoveToDatedFolder(std::vector<FileRecord>& records, const std::string& receiveFolder,
                       std::time_t now) {
    std::string folder = receiveFolder + "/" + DatedFolderName(now);
    if (!CreateFolderPath(folder)) {
        ShowMessage(MessageKind::Exclamation, kCannotCreateFolderId, folder);
        return;
    }
    for (FileRecord& record : records) {
        if (!record.Completed())
            continue;
        std::string wanted = folder + "/" + FileNamePart(record.path);
        std::string target;
        int error = ENAMETOOLONG;
        // Another program may take the free name between the check and the move; the move
        // never replaces a file, so try the next free name then.
        for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
            target = MakeUniquePath(wanted);
            error = target.empty() ? ENAMETOOLONG : MoveFileNoReplace(record.path, target);
            if (error != EEXIST)
                break;
        }
        if (error == 0)
            record.path = target;
        else
            ShowMessage(MessageKind::Exclamation, kCannotMoveFileId, record.path,
                        target.empty() ? wanted : target);
    }
    ::rmdir(folder.c_str()); // succeeds only when nothing was moved in
}

bool AddPathToList(const std::string& path, std::vector<std::string>& list) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec)
        return true;
    std::string full = absolute.lexically_normal().string();
    while (full.size() > 1 && full.back() == '/')
        full.pop_back();
    if (!Fits(full))
        return true;
    if (IsFolder(full)) {
        std::set<std::pair<dev_t, ino_t>> visited;
        return AddFolderToList(full, list, visited);
    }
    return AddFileToList(full, list);
}

} // namespace data
