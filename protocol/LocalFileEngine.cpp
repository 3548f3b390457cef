// The file engine over the local file system.
#include "protocol/LocalFileEngine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "comm/StatusCodes.h"
#include "protocol/Checksum.h"

namespace protocol {

using namespace comm;

namespace {

constexpr char kFolderSeparator = '/';
constexpr std::size_t kStreamBufferSize = 64 * 1024;

bool IsListSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == ',' ||
           c == ';';
}

bool IsFolder(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

bool WildcardMatch(const char* pattern, const char* name) {
    // Iterative match with one back-track point for the last "*".
    const char* p = pattern;
    const char* n = name;
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*n) {
        if (*p == '*') {
            star = p++;
            resume = n;
        } else if (*p == '?' || *p == *n) {
            ++p;
            ++n;
        } else if (star) {
            p = star + 1;
            n = ++resume;
        } else {
            break;
        }
    }
    if (!*n) {
        while (*p == '*')
            ++p;
        if (!*p)
            return true;
    }
    std::size_t length = std::strlen(pattern);
    if (length >= 2 && std::strcmp(pattern + length - 2, ".*") == 0 && !std::strchr(name, '.')) {
        std::string stem(pattern, length - 2);
        return WildcardMatch(stem.c_str(), name);
    }
    return false;
}

LocalFileEngine::LocalFileEngine() = default;

LocalFileEngine::~LocalFileEngine() {
    if (m_file)
        std::fclose(m_file);
    if (m_folderFd >= 0)
        ::close(m_folderFd);
}

std::int64_t LocalFileEngine::StoredSize() {
    if (!m_file)
        return -1;
    std::fflush(m_file);
    struct stat info;
    return ::fstat(::fileno(m_file), &info) == 0 ? info.st_size : -1;
}

LocalEntry LocalFileEngine::Examine(const std::string& name) {
    LocalEntry entry;
    struct stat info;
    int at = InFolder(name) ? m_folderFd : AT_FDCWD;
    if (InFolder(name) && (m_folderFd < 0 || name.find(kFolderSeparator) != std::string::npos)) {
        entry.kind = LocalKind::Other; // never looked up outside the folder
        return entry;
    }
    if (::fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        entry.kind = errno == ENOENT ? LocalKind::None : LocalKind::Other;
        return entry;
    }
    if (S_ISLNK(info.st_mode))
        entry.kind = LocalKind::Link;
    else if (S_ISDIR(info.st_mode))
        entry.kind = LocalKind::Folder;
    else if (!S_ISREG(info.st_mode))
        entry.kind = LocalKind::Other;
    else
        entry.kind = LocalKind::File;
    entry.size = info.st_size;
    entry.date = SecondsFromLocalTime(info.st_mtime);
    entry.linked = info.st_nlink > 1;
    return entry;
}

bool LocalFileEngine::PrefixCrc(const std::string& name, std::int64_t length, std::uint32_t& crc) {
    int fd = OpenDescriptor(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= length;
    std::uint32_t value = Crc32::kSeed;
    const Crc32 crc32;
    std::vector<unsigned char> buffer(ok ? kStreamBufferSize : 0);
    for (std::int64_t left = length; ok && left > 0;) {
        std::size_t want = static_cast<std::size_t>(
            std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.size())));
        ssize_t got = ::read(fd, buffer.data(), want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = false;
            break;
        }
        value = crc32.Update(buffer.data(), static_cast<int>(got), value);
        left -= got;
    }
    ::close(fd);
    crc = ~value;
    return ok;
}

int LocalFileEngine::BeginList(const char* list, int subFolders) {
    m_currentPath.clear();
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_search) {
        m_search.reset(new (std::nothrow) SearchState);
        if (!m_search)
            return kEngineNoMemory;
    }
    if (list)
        m_list = list;
    for (FindRecord& level : m_search->levels)
        level = FindRecord{};
    m_search->parsePosition = 0;
    m_search->prefix.clear();
    m_search->pattern.clear();
    m_search->step = SearchStep::NextEntry;
    m_search->depth = 0;
    m_subFolders = subFolders;
    return kSuccess;
}

namespace {
struct OpenMode {
    int flags{O_CLOEXEC};
    const char* stream{"r+b"};
    bool writes{false};
    bool truncate{false};
    bool toEnd{false};
};

// A C-style mode: "a" read and write, created if missing, at the end; "w" created and emptied
// ("x": only a file that does not exist yet); "r+" read and write, never created; "r" read.
OpenMode ParseMode(const std::string& m) {
    OpenMode mode;
    const bool append = m.find('a') != std::string::npos;
    const bool write = m.find('w') != std::string::npos;
    const bool read = m.find('r') != std::string::npos;
    const bool plus = m.find('+') != std::string::npos;
    if (append || (write && (read || plus))) {
        mode.flags |= O_RDWR | O_CREAT;
    } else if (write || !read) {
        mode.flags |= O_WRONLY | O_CREAT;
        mode.stream = "wb";
    } else if (plus) {
        mode.flags |= O_RDWR;
    } else {
        // A file that is only to be read is never created: an empty stand-in for a missing
        // file would be sent as if it were the real one.
        mode.flags |= O_RDONLY;
        mode.stream = "rb";
    }
    mode.writes = (mode.flags & O_ACCMODE) != O_RDONLY;
    mode.truncate = write && !append;
    mode.toEnd = append;
    if (write && m.find('x') != std::string::npos)
        mode.flags |= O_EXCL;
    return mode;
}
} // namespace

bool LocalFileEngine::InFolder(const std::string& name) const {
    return m_confined && !name.empty() && name.front() != kFolderSeparator;
}

int LocalFileEngine::OpenDescriptor(const std::string& name, int flags) const {
    // Non-blocking, so that a FIFO or a device under the name cannot hold the transfer.
    flags |= O_NONBLOCK | O_NOCTTY;
    if (!InFolder(name))
        return ::open(name.c_str(), flags, 0666);
    // A folder that could not be opened confines all the same: nothing is opened elsewhere.
    if (m_folderFd < 0 || name.find(kFolderSeparator) != std::string::npos)
        return -1;
    return ::openat(m_folderFd, name.c_str(), flags | O_NOFOLLOW, 0666);
}

bool LocalFileEngine::SetFolder(const std::string& folder) {
    m_confined = true;
    if (m_folderFd >= 0)
        ::close(m_folderFd);
    m_folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_folderFd >= 0;
}

int LocalFileEngine::Open(std::string& name, const char* modeText) {
    if (m_file)
        return kEngineNotNull;
    const std::string m = modeText ? modeText : "";
    const OpenMode mode = ParseMode(m);
    int fd = OpenDescriptor(name, mode.flags);
    if (fd < 0)
        return kEngineOpenFailed;
    struct stat info;
    // Only plain files are moved, and a file that has other names (it may be one filed
    // elsewhere) is never written inside a confined folder. The lock comes before the
    // emptying, so that a file in use elsewhere is not emptied.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        (mode.writes && InFolder(name) && info.st_nlink > 1) ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0 || (mode.truncate && ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return kEngineOpenFailed;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const char* streamMode = mode.stream;
    m_file = ::fdopen(fd, streamMode);
    if (!m_file) {
        ::close(fd);
        return kEngineOpenFailed;
    }
    // Transfers move a subpacket at a time; a larger buffer saves a system call per few.
    // The buffer is our own: given none, the C library keeps its own 4 KiB and ignores the
    // size.
    if (!m_streamBuffer)
        m_streamBuffer = std::make_unique<char[]>(kStreamBufferSize);
    std::setvbuf(m_file, m_streamBuffer.get(), _IOFBF, kStreamBufferSize);
    m_lastOp = LastOp::None;
    if (mode.toEnd && ::fseeko(m_file, 0, SEEK_END) != 0) {
        Close();
        return kEngineOpenFailed;
    }
    return kSuccess;
}

int LocalFileEngine::Close() {
    if (!m_file)
        return kEngineInvalidPointer;
    int result = std::fclose(m_file);
    m_file = nullptr;
    return result == 0 ? kSuccess : kEngineCloseFailed;
}

int LocalFileEngine::Seek(std::int64_t offset, int origin) {
    if (!m_file)
        return kEngineInvalidPointer;
    static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin < 0 || origin > 2 || ::fseeko(m_file, offset, kWhence[origin]) != 0)
        return kEngineSeekFailed;
    m_lastOp = LastOp::None;
    return kSuccess;
}

std::int64_t LocalFileEngine::Tell() {
    if (!m_file)
        return kEngineInvalidPointer;
    off_t position = ::ftello(m_file);
    // A position the transfer cannot carry is an error, never a wrapped number.
    if (position < 0 || position > kMaxTransferFileSize)
        return kEngineTellFailed;
    return position;
}

int LocalFileEngine::ApplyDate() {
    if (!m_file)
        return kEngineInvalidPointer;
    std::fflush(m_file);
    std::tm fields = DateAsCalendar();
    // The fields already hold universal time (the zone was applied when they were set).
    std::time_t when = ::timegm(&fields);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = when;
    times[1].tv_nsec = 0;
    if (::futimens(::fileno(m_file), times) != 0)
        return kEngineDateError;
    return kSuccess;
}

int LocalFileEngine::LoadDate() {
    struct stat info;
    if (::stat(m_currentPath.c_str(), &info) != 0)
        return kEngineNoMemory;
    std::tm local{};
    if (!::localtime_r(&info.st_mtime, &local))
        return kEngineNoMemory;
    SetDateFields(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    return kSuccess;
}

std::int64_t LocalFileEngine::Size() {
    if (m_cachedSize >= 0)
        return m_cachedSize;
    struct stat info;
    if (::stat(m_currentPath.c_str(), &info) != 0)
        return kEngineNoMemory;
    // Too large for the transfer's 32-bit sizes: refused rather than cut short.
    if (info.st_size > kMaxTransferFileSize)
        return kEngineTellFailed;
    m_cachedSize = info.st_size;
    return m_cachedSize;
}

void LocalFileEngine::SwitchTo(LastOp op) {
    if (m_lastOp != op && m_lastOp != LastOp::None)
        ::fseeko(m_file, 0, SEEK_CUR);
    m_lastOp = op;
}

int LocalFileEngine::Write(const void* buffer, int count) {
    if (!m_file)
        return kEngineInvalidPointer;
    if (count <= 0 || !buffer)
        return 0;
    SwitchTo(LastOp::Write);
    off_t position = ::ftello(m_file);
    if (position < 0)
        return 0;
    // Never grow a file beyond what a transfer can address; the caller sees a short write.
    std::int64_t room = kMaxTransferFileSize - position;
    std::size_t n =
        static_cast<std::size_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(room, count)));
    return static_cast<int>(std::fwrite(buffer, 1, n, m_file));
}

int LocalFileEngine::Read(void* buffer, int count) {
    if (!m_file)
        return kEngineInvalidPointer;
    if (count <= 0 || !buffer)
        return 0;
    SwitchTo(LastOp::Read);
    return static_cast<int>(std::fread(buffer, 1, static_cast<std::size_t>(count), m_file));
}

int LocalFileEngine::PutByte(int c) {
    unsigned char byte = static_cast<unsigned char>(c);
    return Write(&byte, 1);
}

int LocalFileEngine::GetByte(unsigned char& c) {
    return Read(&c, 1);
}

int LocalFileEngine::Flush() {
    if (!m_file)
        return 0;
    return std::fflush(m_file) == 0 ? 1 : 0;
}

int LocalFileEngine::FindFirst(const std::string& pattern, int mode) {
    FindRecord& level = m_search->levels[m_search->depth];
    level = FindRecord{};
    std::size_t split = pattern.rfind(kFolderSeparator);
    std::string folder = split == std::string::npos ? "" : pattern.substr(0, split + 1);
    std::string wildcard = split == std::string::npos ? pattern : pattern.substr(split + 1);
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir)
        return 0;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (!WildcardMatch(wildcard.c_str(), name))
            continue;
        if (mode != kFindAnyEntry) {
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
                IsFolder(folder + name))
                continue;
        }
        level.names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(level.names.begin(), level.names.end());
    return FindNext();
}

int LocalFileEngine::FindNext() {
    FindRecord& level = m_search->levels[m_search->depth];
    if (level.next >= level.names.size())
        return 0;
    level.found = level.names[level.next++];
    return 1;
}

bool LocalFileEngine::IsEntrySeparator(char c) const {
    return IsListSeparator(c);
}

int LocalFileEngine::NextName() {
    SearchState& s = *m_search;
    while (s.parsePosition < m_list.size() && IsEntrySeparator(m_list[s.parsePosition]))
        ++s.parsePosition;
    std::size_t start = s.parsePosition;
    while (s.parsePosition < m_list.size() && !IsEntrySeparator(m_list[s.parsePosition]))
        ++s.parsePosition;
    return UseEntry(m_list.substr(start, s.parsePosition - start));
}

int LocalFileEngine::UseEntry(const std::string& entry) {
    SearchState& s = *m_search;
    std::size_t split = entry.rfind(kFolderSeparator);
    s.prefix = split == std::string::npos ? "" : entry.substr(0, split + 1);
    s.pattern = split == std::string::npos ? entry : entry.substr(split + 1);
    if (m_singleLookup) {
        m_currentPath = s.prefix + s.pattern;
        return 0;
    }
    return static_cast<int>(s.pattern.size()) + 1;
}

bool LocalFileEngine::ExistsAsFile(const std::string& path) const {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

int LocalFileEngine::NextFile() {
    if (!m_search)
        return 0;
    SearchState& s = *m_search;
    if (m_singleLookup) {
        NextName();
        return !s.pattern.empty() && ExistsAsFile(s.prefix + s.pattern) ? 1 : 0;
    }
    for (;;) {
        if (const std::optional<int> result = Advance(s))
            return *result;
    }
}

void LocalFileEngine::EnterFoundFolder(SearchState& s) {
    const std::string& name = s.levels[s.depth].found;
    s.step = SearchStep::NextFolder;
    if (name == "." || name == ".." || !IsFolder(s.prefix + name))
        return;
    s.prefix += name;
    s.prefix += kFolderSeparator;
    ++s.depth;
    s.prefixLength[s.depth] = s.prefix.size();
    s.step = SearchStep::FirstMatch;
}

std::optional<int> LocalFileEngine::Advance(SearchState& s) {
    switch (s.step) {
    case SearchStep::NextEntry:
        NextName();
        if (s.pattern.empty())
            return 0;
        s.depth = 0;
        s.prefixLength[0] = s.prefix.size();
        s.step = SearchStep::FirstMatch;
        break;
    case SearchStep::FirstMatch:
        if (FindFirst(s.prefix + s.pattern, kFindFilesOnly)) {
            m_currentPath = s.prefix + s.levels[s.depth].found;
            s.step = SearchStep::NextMatch;
            return 1;
        }
        s.step = SearchStep::FirstFolder;
        // A file named without wildcards that is not there (deleted since it was listed, or
        // no plain file) is still the caller's: its open fails and it is reported.
        if (s.depth == 0 && s.pattern.find_first_of("*?") == std::string::npos) {
            m_currentPath = s.prefix + s.pattern;
            return 1;
        }
        break;
    case SearchStep::NextMatch:
        if (FindNext()) {
            m_currentPath = s.prefix + s.levels[s.depth].found;
            return 1;
        }
        s.step = SearchStep::FirstFolder;
        break;
    case SearchStep::FirstFolder:
        s.step =
            s.depth < kMaxFolderDepth && m_subFolders && FindFirst(s.prefix + "*.*", kFindAnyEntry)
                ? SearchStep::EnterFolder
                : SearchStep::LeaveFolder;
        break;
    case SearchStep::NextFolder:
        s.step = FindNext() ? SearchStep::EnterFolder : SearchStep::LeaveFolder;
        break;
    case SearchStep::EnterFolder:
        EnterFoundFolder(s);
        break;
    case SearchStep::LeaveFolder:
        s.step = s.depth > 0 ? SearchStep::NextFolder : SearchStep::NextEntry;
        if (s.depth > 0) {
            --s.depth;
            s.prefix.resize(s.prefixLength[s.depth]);
        }
        break;
    }
    return std::nullopt;
}

} // namespace protocol
