// The arrival decision over every management option (with and without "skip if absent"),
// every kind of local entry, crash recovery on and off, the user's leave to overwrite, a named
// station or a stranger, and every answer the sender can give to ZCRC: first the rules that
// must hold in every combination, then the exact action of the cases a user meets.
#include "protocol/Arrival.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace protocol;

namespace {

constexpr int kDate = 1100000000;
constexpr int kOlder = 1000000000;
constexpr int kSize = 300;

struct LocalState {
    const char* what;
    LocalEntry entry;
};

std::vector<LocalState> LocalStates() {
    auto file = [](std::int64_t size, int date) {
        LocalEntry e;
        e.kind = LocalKind::File;
        e.size = size;
        e.date = date;
        return e;
    };
    LocalEntry thisCall = file(kSize, kDate);
    thisCall.arrivedThisCall = true;
    LocalEntry linked = file(100, kDate);
    linked.linked = true;
    return {
        {"none", LocalEntry{}},
        {"shorter same date", file(100, kDate)},
        {"shorter other date", file(100, kOlder)},
        {"equal", file(kSize, kDate)},
        {"longer", file(900, kDate)},
        {"empty", file(0, kOlder)},
        {"link", LocalEntry{LocalKind::Link, 100, kDate, false, false}},
        {"folder", LocalEntry{LocalKind::Folder, 0, kDate, false, false}},
        {"device", LocalEntry{LocalKind::Other, 0, kDate, false, false}},
        {"filed earlier in this call", thisCall},
        {"with other names", linked},
    };
}

std::vector<int> ManagementOptions() {
    std::vector<int> options;
    for (int option = 0; option <= kManageRename; ++option) {
        options.push_back(option);
        options.push_back(option | kManageSkipIfAbsent);
    }
    return options;
}

const Proof kProofs[] = {Proof::NotAsked, Proof::Same, Proof::Different, Proof::NoAnswer};

bool Writes(ArrivalAction a) {
    return a == ArrivalAction::Resume || a == ArrivalAction::Replace || a == ArrivalAction::Append;
}

} // namespace

TEST(Arrival, RulesThatHoldInEveryCombination) {
    const FiledFile filed{"report.txt", kSize, kDate, 0xABCD, 0};
    int combinations = 0;
    for (const LocalState& local : LocalStates())
        for (int management : ManagementOptions())
            for (int conversion : {0, kConvertResume})
                for (bool recovery : {false, true})
                    for (bool overwrite : {false, true})
                        for (bool known : {false, true})
                            for (bool hasFiled : {false, true})
                                for (Proof filedProof : kProofs)
                                    for (Proof copyProof : kProofs) {
                                        ++combinations;
                                        const OfferedFile offer{kSize, kDate, conversion,
                                                                management};
                                        const ArrivalPolicy policy{recovery, overwrite, known};
                                        const std::optional<FiledFile> record =
                                            hasFiled ? std::optional<FiledFile>(filed)
                                                     : std::nullopt;
                                        const ArrivalDecision d =
                                            DecideArrival(offer, local.entry, record, policy,
                                                          {filedProof, copyProof});
                                        const std::string at =
                                            std::string(local.what) +
                                            " M=" + std::to_string(management) +
                                            " C=" + std::to_string(conversion) +
                                            " R=" + std::to_string(recovery) +
                                            " O=" + std::to_string(overwrite) +
                                            " known=" + std::to_string(known) +
                                            " filed=" + std::to_string(hasFiled) + " proofs " +
                                            std::to_string(static_cast<int>(filedProof)) + "/" +
                                            std::to_string(static_cast<int>(copyProof)) + ": " +
                                            ArrivalActionName(d.action);
                                        const LocalEntry& e = local.entry;
                                        // What is filed is recognised by its bytes, or trusted from
                                        // a named station only.
                                        if (d.action == ArrivalAction::AlreadyFiled) {
                                            EXPECT_TRUE(hasFiled) << at;
                                            EXPECT_TRUE(filedProof == Proof::Same ||
                                                        (filedProof == Proof::NoAnswer && known))
                                                << at;
                                            EXPECT_EQ(d.position, kSize) << at;
                                        }
                                        if (hasFiled && filedProof == Proof::Same) {
                                            EXPECT_EQ(d.action, ArrivalAction::AlreadyFiled) << at;
                                        }
                                        if (d.action == ArrivalAction::Verify) {
                                            EXPECT_EQ(d.subject == VerifySubject::Filed ? filedProof
                                                                                        : copyProof,
                                                      Proof::NotAsked)
                                                << at;
                                            EXPECT_LE(d.position, kSize) << at;
                                        }
                                        // Only a plain file of an earlier call is ever written, and
                                        // only as far as it goes.
                                        if (Writes(d.action)) {
                                            EXPECT_EQ(e.kind, LocalKind::File) << at;
                                            EXPECT_FALSE(e.arrivedThisCall) << at;
                                            EXPECT_FALSE(e.linked) << at;
                                        }
                                        if (d.action == ArrivalAction::Replace ||
                                            d.action == ArrivalAction::Append) {
                                            EXPECT_TRUE(overwrite) << at;
                                        }
                                        if (d.action == ArrivalAction::Resume) {
                                            EXPECT_TRUE(recovery) << at;
                                            EXPECT_EQ(d.position, e.size) << at;
                                            EXPECT_LE(e.size, kSize) << at;
                                            // An empty copy has no bytes to differ in.
                                            if (e.size > 0) {
                                                EXPECT_NE(copyProof, Proof::Different) << at;
                                            }
                                            if (copyProof != Proof::Same && e.size > 0) {
                                                EXPECT_TRUE(known && e.date == kDate) << at;
                                            }
                                        }
                                        if (d.action == ArrivalAction::Receive) {
                                            EXPECT_EQ(e.kind, LocalKind::None) << at;
                                        }
                                        if ((management & kManageSkipIfAbsent) &&
                                            e.kind != LocalKind::File &&
                                            d.action != ArrivalAction::AlreadyFiled &&
                                            d.action != ArrivalAction::Verify) {
                                            EXPECT_EQ(d.action, ArrivalAction::Skip) << at;
                                        }
                                        if ((management & kManagementMask) == kManageProtect &&
                                            e.kind == LocalKind::File &&
                                            d.action != ArrivalAction::AlreadyFiled &&
                                            d.action != ArrivalAction::Verify &&
                                            !(recovery && conversion == kConvertResume)) {
                                            EXPECT_EQ(d.action, ArrivalAction::Skip) << at;
                                        }
                                    }
    EXPECT_EQ(combinations, 11 * 18 * 2 * 2 * 2 * 2 * 2 * 4 * 4);
}

namespace {

struct Case {
    const char* what;
    LocalEntry local;
    int management;
    ArrivalPolicy policy;
    ArrivalProofs proofs;
    bool filed;
    ArrivalAction action;
    std::int64_t position;
};

LocalEntry File(std::int64_t size, int date) {
    return LocalEntry{LocalKind::File, size, date, false, false};
}

const ArrivalPolicy kJob{true, false, true};       // a receive job, named station
const ArrivalPolicy kStranger{true, false, false}; // a receive job, caller without a name
const ArrivalPolicy kPlain{false, false, true};    // sendari-zmodem receive
const ArrivalPolicy kClobber{false, true, true};   // sendari-zmodem receive --overwrite
const ArrivalProofs kAsked{};
const ArrivalProofs kCopySame{Proof::NotAsked, Proof::Same};
const ArrivalProofs kCopyDiffers{Proof::NotAsked, Proof::Different};
const ArrivalProofs kCopySilent{Proof::NotAsked, Proof::NoAnswer};
const ArrivalProofs kFiledSame{Proof::Same, Proof::NotAsked};
const ArrivalProofs kFiledDiffers{Proof::Different, Proof::NotAsked};
const ArrivalProofs kFiledSilent{Proof::NoAnswer, Proof::NotAsked};

using A = ArrivalAction;

const Case kCases[] = {
    {"new file", LocalEntry{}, 0, kJob, kAsked, false, A::Receive, 0},
    {"shorter copy: proven first", File(100, kDate), 0, kJob, kAsked, false, A::Verify, 100},
    {"shorter copy proven", File(100, kOlder), 0, kJob, kCopySame, false, A::Resume, 100},
    {"shorter copy differs", File(100, kDate), 0, kJob, kCopyDiffers, false, A::ReceiveCopy, 0},
    {"no answer, same date", File(100, kDate), 0, kJob, kCopySilent, false, A::Resume, 100},
    {"no answer, other date", File(100, kOlder), 0, kJob, kCopySilent, false, A::ReceiveCopy, 0},
    {"stranger without proof", File(100, kDate), 0, kStranger, kCopySilent, false, A::ReceiveCopy,
     0},
    {"stranger with proof", File(100, kDate), 0, kStranger, kCopySame, false, A::Resume, 100},
    {"complete copy proven: its end", File(kSize, kDate), 0, kJob, kCopySame, false, A::Resume,
     kSize},
    {"longer copy", File(900, kDate), 0, kJob, kAsked, false, A::ReceiveCopy, 0},
    {"empty copy needs no proof", File(0, kOlder), 0, kJob, kAsked, false, A::Resume, 0},
    {"replace asked, not allowed", File(kSize, kDate), kManageReplace, kJob, kAsked, false,
     A::ReceiveCopy, 0},
    {"replace allowed", File(kSize, kDate), kManageReplace, kClobber, kAsked, false, A::Replace, 0},
    {"plain receive keeps files", File(100, kOlder), 0, kPlain, kAsked, false, A::ReceiveCopy, 0},
    {"overwrite without an option", File(100, kOlder), 0, kClobber, kAsked, false, A::Replace, 0},
    {"newer, allowed", File(100, kOlder), kManageNewer, kClobber, kAsked, false, A::Replace, 0},
    {"newer: local is newer", File(100, kDate + 1), kManageNewer, kClobber, kAsked, false, A::Skip,
     0},
    {"newer or longer: longer", File(100, kDate + 1), kManageNewerOrLonger, kClobber, kAsked, false,
     A::Replace, 0},
    {"newer or longer: neither", File(kSize, kDate), kManageNewerOrLonger, kClobber, kAsked, false,
     A::Skip, 0},
    {"different: same", File(kSize, kDate), kManageDifferent, kClobber, kAsked, false, A::Skip, 0},
    {"different: dates differ", File(kSize, kOlder), kManageDifferent, kPlain, kAsked, false,
     A::ReceiveCopy, 0},
    {"crc option: proven first", File(kSize, kDate), kManageCrc, kClobber, kAsked, false, A::Verify,
     kSize},
    {"crc option: same", File(kSize, kDate), kManageCrc, kClobber, kCopySame, false, A::Skip, 0},
    {"crc option: differs", File(kSize, kDate), kManageCrc, kClobber, kCopyDiffers, false,
     A::Replace, 0},
    {"append, allowed", File(100, kDate), kManageAppend, kClobber, kAsked, false, A::Append, 100},
    {"append, not allowed", File(100, kDate), kManageAppend, kPlain, kAsked, false, A::ReceiveCopy,
     0},
    {"protect", File(100, kDate), kManageProtect, kClobber, kAsked, false, A::Skip, 0},
    {"rename", File(100, kDate), kManageRename, kClobber, kAsked, false, A::ReceiveCopy, 0},
    {"skip if absent: absent", LocalEntry{}, kManageSkipIfAbsent, kJob, kAsked, false, A::Skip, 0},
    {"skip if absent: present", File(100, kDate), kManageSkipIfAbsent | kManageReplace, kClobber,
     kAsked, false, A::Replace, 0},
    {"an option over crash recovery", File(100, kDate), kManageReplace, kJob, kCopySame, false,
     A::ReceiveCopy, 0},
    {"link, even with leave", LocalEntry{LocalKind::Link, 100, kDate, false, false}, kManageReplace,
     kClobber, kAsked, false, A::ReceiveCopy, 0},
    {"folder", LocalEntry{LocalKind::Folder, 0, kDate, false, false}, 0, kJob, kAsked, false,
     A::ReceiveCopy, 0},
    {"this call's file", LocalEntry{LocalKind::File, kSize, kDate, true, false}, 0, kClobber,
     kCopySame, false, A::ReceiveCopy, 0},
    {"hard-linked file", LocalEntry{LocalKind::File, 100, kDate, false, true}, kManageReplace,
     kClobber, kAsked, false, A::ReceiveCopy, 0},
    {"filed: proven first", LocalEntry{}, 0, kJob, kAsked, true, A::Verify, kSize},
    {"filed and proven", LocalEntry{}, 0, kStranger, kFiledSame, true, A::AlreadyFiled, kSize},
    {"filed, no answer, named", LocalEntry{}, 0, kJob, kFiledSilent, true, A::AlreadyFiled, kSize},
    {"filed, no answer, stranger", LocalEntry{}, 0, kStranger, kFiledSilent, true, A::Receive, 0},
    {"filed but differs", File(100, kDate), 0, kJob, kFiledDiffers, true, A::Verify, 100},
};

} // namespace

class ArrivalCases : public testing::TestWithParam<Case> {};

TEST_P(ArrivalCases, Decide) {
    const Case& c = GetParam();
    const OfferedFile offer{kSize, kDate, 0, c.management};
    const std::optional<FiledFile> filed =
        c.filed ? std::optional<FiledFile>(FiledFile{"x", kSize, kDate, 1, 0}) : std::nullopt;
    const ArrivalDecision d = DecideArrival(offer, c.local, filed, c.policy, c.proofs);
    EXPECT_EQ(ArrivalActionName(d.action), std::string(ArrivalActionName(c.action)));
    EXPECT_EQ(d.position, c.position);
}

INSTANTIATE_TEST_SUITE_P(Offers, ArrivalCases, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                             std::string name = info.param.what;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

TEST(Arrival, AFiledFileIsOnlyRecognisedUnderItsOwnSizeAndDate) {
    const OfferedFile offer{kSize, kDate, 0, 0};
    for (const FiledFile& other :
         {FiledFile{"x", kSize + 1, kDate, 1, 0}, FiledFile{"x", kSize, kOlder, 1, 0}}) {
        const ArrivalDecision d = DecideArrival(offer, LocalEntry{}, other, kJob, kFiledSilent);
        EXPECT_EQ(d.action, ArrivalAction::Receive);
    }
    const OfferedFile undated{kSize, kNoDate, 0, 0};
    EXPECT_EQ(DecideArrival(undated, LocalEntry{}, FiledFile{"x", kSize, kNoDate, 1, 0}, kJob,
                            kFiledSilent)
                  .action,
              ArrivalAction::Receive);
}

TEST(Arrival, SizesBeyondTwoGibibytesAreComparedWhole) {
    constexpr std::int64_t kThreeGiB = 3LL << 30;
    const OfferedFile offer{kThreeGiB, kDate, 0, 0};
    // A copy 2 GiB long is a shorter copy of a 3 GiB offer, not a longer one.
    LocalEntry copy = File(2LL << 30, kDate);
    ArrivalDecision d = DecideArrival(offer, copy, std::nullopt, kJob, kCopySame);
    EXPECT_EQ(d.action, ArrivalAction::Resume);
    EXPECT_EQ(d.position, 2LL << 30);
    copy.size = kThreeGiB + 1;
    EXPECT_EQ(DecideArrival(offer, copy, std::nullopt, kJob, kAsked).action,
              ArrivalAction::ReceiveCopy);
}
