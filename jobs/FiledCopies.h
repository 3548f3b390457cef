// What a broken call has already filed in the dated folder, remembered in the station's folder.
// When the line breaks between a file's end and the receiver's confirmation, the file is whole
// and filed here while the sender never saw it confirmed: it offers the file again after the
// redial, and the receiver must recognise it instead of filing it a second time.
#pragma once

#include <string>
#include <vector>

#include "data/FileRecord.h"

namespace jobs {

// The list in a station's folder: "name<TAB>filed path" lines. The "|" keeps it apart from
// every received file, whose names never hold one.
inline constexpr const char* kFiledListName = "filed|list";

// Before the files of a call are moved: a record whose file is a remembered copy (a hard link
// to a file already filed) is the same file offered again; its link is removed and the record
// taken out, so the file is filed and logged once.
void DropRefiledCopies(const std::string& stationFolder, std::vector<data::FileRecord>& records);

// After the move. `pathsBefore` are the records' paths before it. A session that ended with
// ZFIN has had every file confirmed: everything remembered goes. Otherwise each file this call
// filed is remembered by a hard link of its received name.
void RememberFiledCopies(const std::string& stationFolder,
                         const std::vector<std::string>& pathsBefore,
                         const std::vector<data::FileRecord>& records, bool sessionClosed);

} // namespace jobs
