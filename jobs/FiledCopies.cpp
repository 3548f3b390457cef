// The remembered copies of filed files: hard links in the station's folder and their list.
#include "jobs/FiledCopies.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <utility>

#include "data/FileUtilities.h"

namespace jobs {
namespace {

using Entry = std::pair<std::string, std::string>; // received name, filed path

std::vector<Entry> ReadList(const std::string& folder) {
    std::vector<Entry> entries;
    std::ifstream in(folder + "/" + kFiledListName);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos || tab == 0 || tab + 1 >= line.size())
            continue;
        // A name is one file of this folder; anything else in a damaged list is ignored.
        std::string name = line.substr(0, tab);
        if (name.find('/') != std::string::npos || name == "." || name == "..")
            continue;
        entries.emplace_back(std::move(name), line.substr(tab + 1));
    }
    return entries;
}

void WriteList(const std::string& folder, const std::vector<Entry>& entries) {
    const std::string path = folder + "/" + kFiledListName;
    if (entries.empty()) {
        ::unlink(path.c_str());
        return;
    }
    std::ofstream out(path, std::ios::trunc);
    for (const Entry& e : entries)
        out << e.first << '\t' << e.second << '\n';
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace

void DropRefiledCopies(const std::string& stationFolder, std::vector<data::FileRecord>& records) {
    std::vector<Entry> entries = ReadList(stationFolder);
    if (entries.empty())
        return;
    for (auto record = records.begin(); record != records.end();) {
        bool again = false;
        if (record->Completed() && data::FolderPart(record->path) == stationFolder) {
            const std::string name = data::FileNamePart(record->path);
            for (const Entry& e : entries)
                if (e.first == name && SameFile(record->path, e.second))
                    again = true;
        }
        if (again) {
            ::unlink(record->path.c_str());
            record = records.erase(record);
        } else {
            ++record;
        }
    }
}

void RememberFiledCopies(const std::string& stationFolder,
                         const std::vector<std::string>& pathsBefore,
                         const std::vector<data::FileRecord>& records, bool sessionClosed) {
    std::vector<Entry> entries = ReadList(stationFolder);
    if (sessionClosed) {
        // A link goes only while it is still the filed file: a partial copy of the same name
        // that came later is another file.
        for (const Entry& e : entries) {
            const std::string link = stationFolder + "/" + e.first;
            if (SameFile(link, e.second))
                ::unlink(link.c_str());
        }
        WriteList(stationFolder, {});
        return;
    }
    for (std::size_t i = 0; i < records.size() && i < pathsBefore.size(); ++i) {
        const data::FileRecord& record = records[i];
        if (!record.Completed() || record.path == pathsBefore[i] ||
            data::FolderPart(pathsBefore[i]) != stationFolder)
            continue;
        if (::link(record.path.c_str(), pathsBefore[i].c_str()) == 0)
            entries.emplace_back(data::FileNamePart(pathsBefore[i]), record.path);
    }
    WriteList(stationFolder, entries);
}

} // namespace jobs
