// The list of files to send.
#include "jobs/SelectFilesWindow.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "data/FileUtilities.h"
#include "data/UserMessages.h"
#include "platform/ResourceStrings.h"

namespace jobs {
namespace {

constexpr int kSecondsPerHour = 3600;
constexpr int kSecondsPerMinute = 60;

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string UpperCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A type name when the desktop gives none: the extension in capitals and "File".
std::string PlainTypeName(const std::string& path) {
    std::string name = data::FileNamePart(path);
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return "File";
    return UpperCase(name.substr(dot + 1)) + " File";
}

} // namespace

std::int64_t RoundedKilobytes(std::int64_t bytes) {
    return bytes <= 0 ? 0 : (bytes + 1023) / 1024;
}

std::string KilobytesText(std::int64_t kilobytes) {
    return std::to_string(kilobytes) + "KB";
}

std::string SendTimeText(std::int64_t totalKilobytes) {
    const std::int64_t seconds = totalKilobytes * 1024 / kEstimateBytesPerSecond;
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld",
                  static_cast<long long>(seconds / kSecondsPerHour),
                  static_cast<long long>(seconds % kSecondsPerHour / kSecondsPerMinute),
                  static_cast<long long>(seconds % kSecondsPerMinute));
    return text;
}

std::string ModifiedText(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    // Noon is 12 PM and midnight 12 AM.
    const bool pm = local.tm_hour >= 12;
    int hour = local.tm_hour % 12;
    if (hour == 0)
        hour = 12;
    char text[64];
    std::snprintf(text, sizeof text, "%d/%d/%d %d:%02d %s", local.tm_mon + 1, local.tm_mday,
                  local.tm_year % 100, hour, local.tm_min, pm ? "PM" : "AM");
    return text;
}

std::string SendFileItem::Text(int column) const {
    switch (column) {
    case kColumnName:
        return name;
    case kColumnSize:
        return KilobytesText(kilobytes);
    case kColumnType:
        return type;
    case kColumnModified:
        return modifiedKnown ? ModifiedText(modified) : std::string();
    case kColumnPath:
        return path;
    default:
        return {};
    }
}

SelectFilesLogic::SelectFilesLogic(std::vector<std::string>& sendList, TypeNamer typeNamer)
    : m_sendList{sendList}, m_typeNamer{std::move(typeNamer)} {}

void SelectFilesLogic::Open() {
    m_confirmed = false;
    m_items.clear();
    m_totalKilobytes = 0;
    // A file put on the list earlier that has gone since is said, not dropped without a word.
    std::vector<std::string> gone;
    for (const std::string& path : m_sendList)
        if (AddFile(path) == AddResult::Failed)
            gone.push_back(path);
    ReportFailures(gone, kMsgFilesGone);
}

SelectFilesLogic::AddResult SelectFilesLogic::AddFile(const std::string& path) {
    if (path.empty() || EndsWith(path, "/.") || EndsWith(path, "/.."))
        return AddResult::PassedOver;
    if (!Exists(path))
        return AddResult::Failed;
    if (IsFolder(path))
        return AddResult::PassedOver;
    // Busy: another program holds the file's lock.
    if (!data::OpenForQuery(path).IsValid())
        return AddResult::Failed;
    if (std::any_of(m_items.begin(), m_items.end(),
                    [&](const SendFileItem& item) { return item.path == path; }))
        return AddResult::PassedOver;
    const std::int64_t bytes = data::FileSizeOf(path);
    if (bytes < 0)
        return AddResult::Failed;
    SendFileItem item;
    item.path = path;
    item.name = data::FileNamePart(path);
    item.kilobytes = RoundedKilobytes(bytes);
    item.type = m_typeNamer ? m_typeNamer(path) : PlainTypeName(path);
    std::time_t creation = 0, access = 0;
    item.modifiedKnown = data::FileTimesOf(path, creation, access, item.modified);
    m_totalKilobytes += item.kilobytes;
    m_items.push_back(std::move(item));
    return AddResult::Added;
}

void SelectFilesLogic::ReportFailures(const std::vector<std::string>& names, int id) const {
    if (names.empty())
        return;
    std::string text = platform::ResourceText(id);
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i ? ", " : "") + names[i];
    text += ".";
    data::ShowMessageText(data::MessageKind::Exclamation, id, text);
}

int SelectFilesLogic::AddSelection(const std::vector<std::string>& paths) {
    int added = 0;
    std::vector<std::string> failed;
    for (const std::string& path : paths) {
        AddResult result = AddFile(path);
        if (result == AddResult::Added)
            ++added;
        else if (result == AddResult::Failed)
            failed.push_back(data::FileNamePart(path));
    }
    ReportFailures(failed);
    return added;
}

int SelectFilesLogic::AddAll(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir))
            names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    const std::string prefix = EndsWith(folder, "/") ? folder : folder + "/";
    for (const std::string& name : names)
        paths.push_back(prefix + name);
    return AddSelection(paths);
}

void SelectFilesLogic::Remove(std::vector<std::size_t> indices) {
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    for (auto it = indices.rbegin(); it != indices.rend(); ++it) {
        if (*it >= m_items.size())
            continue;
        // The size read when the file was added, so the total never drifts.
        m_totalKilobytes -= m_items[*it].kilobytes;
        m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(*it));
    }
}

void SelectFilesLogic::RemoveAll() {
    m_items.clear();
    m_totalKilobytes = 0;
}

void SelectFilesLogic::Sort(int column) {
    if (column < 0 || column >= kFileColumns)
        return;
    const bool ascending = m_ascending[column];
    m_ascending[column] = !ascending;
    auto compare = [column](const SendFileItem& a, const SendFileItem& b) -> int {
        switch (column) {
        case kColumnSize:
            return a.kilobytes < b.kilobytes ? -1 : a.kilobytes > b.kilobytes ? 1 : 0;
        case kColumnModified: {
            // By the real time; an unknown time sorts first.
            const std::time_t ta = a.modifiedKnown ? a.modified : 0;
            const std::time_t tb = b.modifiedKnown ? b.modified : 0;
            return ta < tb ? -1 : ta > tb ? 1 : 0;
        }
        default: {
            const std::string ua = UpperCase(a.Text(column));
            const std::string ub = UpperCase(b.Text(column));
            return ua.compare(ub) < 0 ? -1 : ua.compare(ub) > 0 ? 1 : 0;
        }
        }
    };
    std::stable_sort(m_items.begin(), m_items.end(),
                     [&](const SendFileItem& a, const SendFileItem& b) {
                         const int result = compare(a, b);
                         return ascending ? result < 0 : result > 0;
                     });
}

void SelectFilesLogic::Confirm() {
    m_sendList.clear();
    for (const SendFileItem& item : m_items)
        m_sendList.push_back(item.path);
    m_confirmed = true;
}

} // namespace jobs
