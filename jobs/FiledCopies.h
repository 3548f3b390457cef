// What a broken call has already filed in the dated folder, remembered in the station's folder.
// When the line breaks after a file arrived whole but before the call ended with ZFIN, the
// sender never learnt that the file was filed: it offers the file again, in a redial of the
// same job or in a new job, and the receiver must recognise it instead of filing it twice.
// The memory is a small list of records (name, size, date, CRC-32); it never links to or
// names the user's files, so nothing filed can be reached through it.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "data/FileRecord.h"
#include "protocol/Arrival.h"

namespace jobs {

// The list in a station's folder. The "|" keeps it apart from every received file, whose
// names never hold one.
inline constexpr const char* kFiledListName = "filed|list";
// How much is remembered for one station, and for how long.
inline constexpr std::size_t kFiledMemoryEntries = 300;
inline constexpr std::time_t kFiledMemorySeconds = 7 * 24 * 3600;

// The files remembered for the station, newest last; entries older than the memory lasts,
// beyond its size, or damaged are left out.
std::vector<protocol::FiledFile> LoadFiledFiles(const std::string& stationFolder, std::time_t now);

// After the call's files were moved. `pathsBefore` are the records' paths before the move. A
// session that ended with ZFIN has had every file confirmed: everything remembered goes.
// Otherwise each file this call filed out of the station's folder is remembered by the name
// and date it was offered with (from `arrivals`; without an entry there, the name it was
// stored under and its file date), its size and CRC-32.
void RememberFiledCopies(const std::string& stationFolder,
                         const std::vector<std::string>& pathsBefore,
                         const std::vector<data::FileRecord>& records, bool sessionClosed,
                         std::time_t now, const std::vector<protocol::ArrivedFile>& arrivals = {});

} // namespace jobs
