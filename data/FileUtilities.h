// Shared path and file helpers: safe and unique names, folder chains, the dated folder of
// received files, opening a folder on the desktop, file queries, and the send list built from
// named files and folders.
#pragma once

#include "data/FileRecord.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace data {

// Longest path the system accepts, terminating NUL included; longer paths are refused.
std::size_t MaxPathLength();

// Creates `path` and every missing folder above it; true when it is a folder afterwards.
bool CreateFolderPath(const std::string& path);

// Why files could not be received in `folder`, or empty when they can: it is a writable folder,
// or the nearest folder above it that exists is one (so it can be created).
std::string ReceiveFolderProblem(const std::string& folder);

// Shows `folder` in the file manager, creating it first when missing (50206 when that fails;
// the file manager is asked in any case and reports the missing folder itself). When no file
// manager can be started, 50246 names the folder.
void OpenFolderInShell(const std::string& folder);

// `path` itself when nothing exists there, else the first free of base#2.ext, base#3.ext, ...
// where ext is a final "." with at most three characters after it in the last name. Returns
// an empty text when no free path fits within MaxPathLength().
std::string MakeUniquePath(const std::string& path);

// The part after the last "/" (the whole path when it has none).
std::string FileNamePart(std::string_view path);
// The part before the last "/" (the whole path when it has none).
std::string FolderPart(std::string_view path);

// Makes `text` a safe single file name: "\/:*?<>|" (whole name) or "/*?<>|" (a received name,
// which may keep colons and backslashes) and control characters become "_", and a name that is
// empty, "." or ".." becomes "_", so the name never leaves its folder.
std::string SanitizeFileName(std::string_view text, bool wholeName);

// A regular file opened for reading with an exclusive advisory lock: invalid when the file is
// missing, unreadable, not a regular file, or busy (locked by someone else).
class QueryHandle {
  public:
    QueryHandle() = default;
    explicit QueryHandle(int fd) : m_fd{fd} {}
    ~QueryHandle();
    QueryHandle(QueryHandle&& other) noexcept : m_fd{other.m_fd} { other.m_fd = -1; }
    QueryHandle& operator=(QueryHandle&& other) noexcept;
    QueryHandle(const QueryHandle&) = delete;
    QueryHandle& operator=(const QueryHandle&) = delete;

    bool IsValid() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }

  private:
    int m_fd{-1};
};

QueryHandle OpenForQuery(const std::string& path);

// Size in bytes, or -1 when the file cannot be opened for query.
std::int64_t FileSizeOf(const std::string& path);

// Creation (birth time where the file system keeps one, else last change of contents), last
// access and last write; false when the file cannot be opened for query.
bool FileTimesOf(const std::string& path, std::time_t& creation, std::time_t& lastAccess,
                 std::time_t& lastWrite);

// Moves `from` to `to` without ever replacing an existing `to`, across file systems too.
// Returns 0 or the errno of the failure (EEXIST when `to` exists).
int MoveFileNoReplace(const std::string& from, const std::string& to);

// "Received 3-7-1996" for the local date of `now`.
std::string DatedFolderName(std::time_t now);

// Moves the completed files of `records` into receiveFolder/"Received m-d-yyyy" of `now`,
// updating their paths; reports 50206 and 50223; removes the dated folder when it stayed empty.
void MoveToDatedFolder(std::vector<FileRecord>& records, const std::string& receiveFolder,
                       std::time_t now = std::time(nullptr));

// Adds the file `path`, or every file below the folder `path`, to `list` as absolute paths;
// busy or unreadable files are left out. At 100 and 1000 files the user is asked (50238)
// whether to go on; Cancel empties the whole list and gives false.
bool AddPathToList(const std::string& path, std::vector<std::string>& list);

} // namespace data
