// The file engine over this computer's file system: POSIX files with an exclusive advisory
// lock, and a directory walk with "*" and "?" wildcards and optional sub-folders.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/FileEngine.h"

namespace protocol {

// FindFirst mode that accepts folders as well as files.
inline constexpr int kFindAnyEntry = 16;
// FindFirst mode that accepts files only.
inline constexpr int kFindFilesOnly = 0;
// Deepest sub-folder level the list walk enters below an entry's folder.
inline constexpr int kMaxFolderDepth = 9;

// Whether `name` matches a pattern of "*" (any run) and "?" (any one character). As in the
// desktop's own directory search, a pattern ending in ".*" also matches the name without any
// extension, so "*.*" matches every name.
bool WildcardMatch(const char* pattern, const char* name);

class LocalFileEngine : public FileEngine {
  public:
    LocalFileEngine();
    ~LocalFileEngine() override;

    int BeginList(const char* list, int subFolders) override;
    int Open(std::string& name, const char* mode) override;
    int Close() override;
    int Seek(std::int64_t offset, int origin) override;
    std::int64_t Tell() override;
    int ApplyDate() override;
    int LoadDate() override;
    std::int64_t Size() override;
    int NextFile() override;
    int Write(const void* buffer, int count) override;
    int Read(void* buffer, int count) override;
    int PutByte(int c) override;
    int GetByte(unsigned char& c) override;
    int Flush() override;
    LocalEntry Examine(const std::string& name) override;
    std::int64_t StoredSize() override;
    bool PrefixCrc(const std::string& name, std::int64_t length, std::uint32_t& crc) override;

    // Confines the engine to `folder`: from now on a name without a folder is opened,
    // examined and read inside it, relative to a descriptor of the folder and never through a
    // symbolic link; a name with a "/" in it is refused, and no file with other names (hard
    // links) is written. False when the folder cannot be opened.
    bool SetFolder(const std::string& folder);

    virtual int FindFirst(const std::string& pattern, int mode);
    virtual int FindNext();
    virtual int NextName();

    bool IsOpen() const { return m_file != nullptr; }

  protected:
    // One folder level of the walk: the matching names of a directory search, read at once
    // and sorted so that a walk always yields the same order.
    struct FindRecord {
        std::vector<std::string> names;
        std::size_t next{0};
        std::string found;
    };

    // Where the walk of a send list stands.
    enum class SearchStep {
        NextEntry,   // take the next entry of the list
        FirstMatch,  // the first file matching the pattern in the current folder
        NextMatch,   // the next matching file
        FirstFolder, // the first entry of the current folder, looking for subfolders
        NextFolder,  // the next entry, looking for subfolders
        EnterFolder, // the entry found is a folder: walk it
        LeaveFolder, // the current folder is done: back to its parent
    };
    struct SearchState {
        FindRecord levels[kMaxFolderDepth + 1];
        std::size_t parsePosition{0};
        std::string prefix;
        std::string pattern;
        std::size_t prefixLength[kMaxFolderDepth + 1]{};
        SearchStep step{SearchStep::NextEntry};
        int depth{0};
    };

    std::unique_ptr<SearchState> m_search;
    // One step of the walk; 0 or 1 when it ends NextFile with that result.
    std::optional<int> Advance(SearchState& s);
    // Walks into the entry just found when it is a folder, else goes on to the next entry.
    void EnterFoundFolder(SearchState& s);

    // Whether `c` parts two entries of a send list: blanks, commas and semicolons here.
    virtual bool IsEntrySeparator(char c) const;
    // Makes `entry` the search's next folder and pattern (or, in a single lookup, the path to
    // look up): 0 for a single lookup, else the pattern's length plus one.
    int UseEntry(const std::string& entry);

  private:
    enum class LastOp { None, Read, Write };
    // Switching between reading and writing on one stream needs a repositioning in between.
    void SwitchTo(LastOp op);
    bool ExistsAsFile(const std::string& path) const;
    // A descriptor of `name` (inside the folder when one is set), or -1.
    int OpenDescriptor(const std::string& name, int flags) const;
    bool InFolder(const std::string& name) const;

    std::FILE* m_file{nullptr};
    std::unique_ptr<char[]> m_streamBuffer; // outlives every stream that uses it
    LastOp m_lastOp{LastOp::None};
    int m_folderFd{-1};
    bool m_confined{false}; // SetFolder was called, whether or not the folder opened
};

} // namespace protocol
