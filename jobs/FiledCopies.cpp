// The remembered files of broken calls: one line per file in the station's folder.
#include "jobs/FiledCopies.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "data/FileUtilities.h"
#include "platform/AtomicFile.h"
#include "protocol/FileEngine.h"
#include "protocol/LocalFileEngine.h"

namespace jobs {
namespace {

using protocol::FiledFile;

// A list far beyond what is ever written is damaged, or not ours: it is not read.
constexpr std::size_t kLongestList = 256 * 1024;
constexpr std::size_t kFields = 5;

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

bool ParseNumber(const std::string& text, int base, long long& value) {
    if (text.empty() || text.size() > 20)
        return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, base);
    return end && *end == '\0' && value >= 0;
}

// One line as a record; false for anything that is not exactly one (the list may be damaged).
bool ParseEntry(const std::string& line, FiledFile& entry) {
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() != kFields)
        return false;
    const std::string& name = f[0];
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return false;
    long long size = 0, date = 0, crc = 0, filedAt = 0;
    if (!ParseNumber(f[1], 10, size) || !ParseNumber(f[2], 10, date) ||
        !ParseNumber(f[3], 16, crc) || !ParseNumber(f[4], 10, filedAt) || date > INT32_MAX ||
        crc > UINT32_MAX || size > protocol::kMaxTransferFileSize)
        return false;
    entry = FiledFile{name, size, static_cast<int>(date), static_cast<std::uint32_t>(crc), filedAt};
    return true;
}

std::string FormatEntry(const FiledFile& e) {
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "\t%lld\t%d\t%08x\t%lld\n",
                  static_cast<long long>(e.size), e.date, static_cast<unsigned>(e.crc),
                  static_cast<long long>(e.filedAt));
    return e.name + numbers;
}

void WriteList(const std::string& folder, const std::vector<FiledFile>& entries) {
    const std::string path = folder + "/" + kFiledListName;
    if (entries.empty()) {
        ::unlink(path.c_str());
        return;
    }
    std::string text;
    for (const FiledFile& e : entries)
        text += FormatEntry(e);
    platform::WriteFileAtomically(path, text);
}

// Size, date and CRC-32 of a file this call filed; false when it cannot be read. Looked at
// and read as the receiver looks at its copies: inside its folder, never through a link.
bool Describe(const std::string& path, FiledFile& entry) {
    protocol::LocalFileEngine engine;
    if (!engine.SetFolder(data::FolderPart(path)))
        return false;
    const std::string name = data::FileNamePart(path);
    const protocol::LocalEntry local = engine.Examine(name);
    if (local.kind != protocol::LocalKind::File || local.size > protocol::kMaxTransferFileSize)
        return false;
    entry.size = local.size;
    entry.date = local.date;
    return engine.PrefixCrc(name, local.size, entry.crc);
}

// The list's text: only a plain file of this folder (never through a link, never a FIFO that
// would hold the job), and only while it is no longer than a list of ours can be.
bool ReadList(const std::string& path, std::string& text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<std::size_t>(info.st_size) <= kLongestList;
    text.assign(ok ? static_cast<std::size_t>(info.st_size) : 0, '\0');
    std::size_t have = 0;
    while (ok && have < text.size()) {
        ssize_t got = ::read(fd, text.data() + have, text.size() - have);
        if (got <= 0)
            ok = got == 0;
        if (got <= 0)
            break;
        have += static_cast<std::size_t>(got);
    }
    ::close(fd);
    text.resize(have);
    return ok;
}

} // namespace

std::vector<FiledFile> LoadFiledFiles(const std::string& stationFolder, std::time_t now) {
    std::vector<FiledFile> entries;
    std::string text;
    if (!ReadList(stationFolder + "/" + kFiledListName, text))
        return entries;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        FiledFile entry;
        if (ParseEntry(text.substr(start, end - start), entry) && entry.filedAt <= now &&
            now - entry.filedAt <= kFiledMemorySeconds)
            entries.push_back(std::move(entry));
        start = end + 1;
    }
    if (entries.size() > kFiledMemoryEntries)
        entries.erase(entries.begin(), entries.end() - kFiledMemoryEntries);
    return entries;
}

void RememberFiledCopies(const std::string& stationFolder,
                         const std::vector<std::string>& pathsBefore,
                         const std::vector<data::FileRecord>& records, bool sessionClosed,
                         std::time_t now, const std::vector<protocol::ArrivedFile>& arrivals) {
    if (sessionClosed) {
        WriteList(stationFolder, {});
        return;
    }
    std::vector<FiledFile> entries = LoadFiledFiles(stationFolder, now);
    bool changed = false;
    for (std::size_t i = 0; i < records.size() && i < pathsBefore.size(); ++i) {
        const data::FileRecord& record = records[i];
        if (!record.Completed() || record.path == pathsBefore[i] ||
            data::FolderPart(pathsBefore[i]) != stationFolder)
            continue;
        FiledFile entry;
        entry.name = data::FileNamePart(pathsBefore[i]);
        entry.filedAt = now;
        if (!Describe(record.path, entry))
            continue;
        // A numbered copy is offered again under its own name, and a move to another disk
        // need not keep the date: the offer's name and date are what a re-offer carries.
        for (const protocol::ArrivedFile& arrived : arrivals) {
            if (arrived.storedName != entry.name)
                continue;
            entry.name = arrived.offeredName;
            if (arrived.date != protocol::kNoDate)
                entry.date = arrived.date;
        }
        // The newest record of a name is the one a re-offer is held against.
        std::erase_if(entries, [&](const FiledFile& e) { return e.name == entry.name; });
        entries.push_back(std::move(entry));
        changed = true;
    }
    if (entries.size() > kFiledMemoryEntries)
        entries.erase(entries.begin(), entries.end() - kFiledMemoryEntries);
    if (changed)
        WriteList(stationFolder, entries);
}

} // namespace jobs
