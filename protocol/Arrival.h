// What an offered file does to the receive folder: received new, resumed, replaced, appended
// to, received under a numbered name, skipped, or recognised as a file that is already here.
// One pure function decides it from the offer, what the folder holds under the offered name,
// what an earlier broken call filed, the receiver's policy and the proof the sender gave.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/TransferStatus.h"

namespace protocol {

// The management options a sender puts into ZF1 of its ZFILE header (low five bits), and the
// modifier bit "skip this file unless the receiver already has it".
inline constexpr int kManageNewerOrLonger = 1;
inline constexpr int kManageCrc = 2;
inline constexpr int kManageAppend = 3;
inline constexpr int kManageReplace = 4;
inline constexpr int kManageNewer = 5;
inline constexpr int kManageDifferent = 6;
inline constexpr int kManageProtect = 7;
inline constexpr int kManageRename = 8;
inline constexpr int kManagementMask = 0x1F;
inline constexpr int kManageSkipIfAbsent = 0x80;
// ZF0 of a ZFILE: the sender asks the receiver to resume an interrupted file.
inline constexpr int kConvertResume = 3;

struct OfferedFile {
    std::int64_t size{0};
    int date{kNoDate};
    int conversion{0}; // ZF0
    int management{0}; // ZF1, modifier bits included
};

enum class LocalKind { None, File, Link, Folder, Other };

// What the receive folder holds under the offered name.
struct LocalEntry {
    LocalKind kind{LocalKind::None};
    std::int64_t size{0};
    int date{kNoDate};
    // Written by this receiver earlier in the same call: a file that arrived moments ago,
    // never a partial copy of the offer.
    bool arrivedThisCall{false};
    // Has other names (hard links): it may be a file already filed elsewhere, and is never
    // written.
    bool linked{false};
};

// A file that an earlier call filed whole before it broke without the sender's ZFIN.
struct FiledFile {
    std::string name;
    std::int64_t size{0};
    int date{kNoDate};
    std::uint32_t crc{0};
    std::int64_t filedAt{0}; // seconds since 1970, universal time
};

// A file that arrived whole in this run: the name it is stored under, the name and date it
// was offered with.
struct ArrivedFile {
    std::string storedName;
    std::string offeredName;
    int date{kNoDate};
};

struct ArrivalPolicy {
    // Resume a shorter copy (crash recovery).
    bool crashRecovery{true};
    // The user lets an offer replace or extend an existing file; without it the offer is
    // received under a numbered name.
    bool overwrite{false};
    // The caller is a station that named itself: when it cannot prove a copy with ZCRC, name,
    // size and date decide. A stranger's copy is resumed only on proof.
    bool knownStation{true};
};

// What the sender's CRC of its first bytes said about a local copy or a filed file.
enum class Proof { NotAsked, Same, Different, NoAnswer };

struct ArrivalProofs {
    Proof filed{Proof::NotAsked};
    Proof copy{Proof::NotAsked};
};

enum class ArrivalAction {
    Receive,      // a new file under the offered name (created exclusively)
    ReceiveCopy,  // a new file under a free numbered name; what is here stays as it is
    Resume,       // the local copy is the start of the offer: data from `position`
    Replace,      // the local file is emptied and written from the start
    Append,       // the offer is added to the end of the local file, at `position`
    Skip,         // answered with ZSKIP
    AlreadyFiled, // filed whole by an earlier call: ZRPOS at the end, nothing written
    Verify,       // ask the sender for the CRC of its first `position` bytes first
};

enum class VerifySubject { Copy, Filed };

struct ArrivalDecision {
    ArrivalAction action{ArrivalAction::Receive};
    std::int64_t position{0};
    VerifySubject subject{VerifySubject::Copy}; // with Verify: what the answer is held against
};

[[nodiscard]] ArrivalDecision DecideArrival(const OfferedFile& offer, const LocalEntry& local,
                                            const std::optional<FiledFile>& filed,
                                            const ArrivalPolicy& policy,
                                            const ArrivalProofs& proofs);

// The text of an action, for trace lines and test names.
const char* ArrivalActionName(ArrivalAction action);

} // namespace protocol
