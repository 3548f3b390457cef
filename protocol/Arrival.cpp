// The arrival rules, in the order they are asked: a file filed by a broken call, a name that
// is not a plain file, no local file, a file of this call or with other names, crash
// recovery, and last the sender's management option.
#include "protocol/Arrival.h"

namespace protocol {

namespace {

ArrivalDecision Act(ArrivalAction action, std::int64_t position = 0) {
    return ArrivalDecision{action, position, VerifySubject::Copy};
}

ArrivalDecision Verify(VerifySubject subject, std::int64_t bytes) {
    return ArrivalDecision{ArrivalAction::Verify, bytes, subject};
}

// A re-offer of what a broken call filed: recognised by its bytes, or, from a station that
// named itself and cannot prove them, by name, size and date. Empty when the offer is not it.
std::optional<ArrivalDecision> FiledAgain(const OfferedFile& offer,
                                          const std::optional<FiledFile>& filed,
                                          const ArrivalPolicy& policy, Proof proof) {
    if (!filed || filed->size != offer.size || offer.date == kNoDate || filed->date != offer.date)
        return std::nullopt;
    if (offer.size == 0)
        proof = Proof::Same; // no bytes to differ in
    switch (proof) {
    case Proof::NotAsked:
        return Verify(VerifySubject::Filed, offer.size);
    case Proof::Same:
        return Act(ArrivalAction::AlreadyFiled, offer.size);
    case Proof::NoAnswer:
        if (policy.knownStation)
            return Act(ArrivalAction::AlreadyFiled, offer.size);
        return std::nullopt;
    case Proof::Different:
        break;
    }
    return std::nullopt;
}

// A shorter local copy is the start of the offer when the sender's CRC says so; without an
// answer, only a named station's copy of the same date is taken on trust.
ArrivalDecision ResumeOrCopy(const OfferedFile& offer, const LocalEntry& local,
                             const ArrivalPolicy& policy, Proof proof) {
    if (local.size > offer.size)
        return Act(ArrivalAction::ReceiveCopy);
    if (local.size == 0)
        proof = Proof::Same;
    switch (proof) {
    case Proof::NotAsked:
        return Verify(VerifySubject::Copy, local.size);
    case Proof::Same:
        return Act(ArrivalAction::Resume, local.size);
    case Proof::NoAnswer:
        if (policy.knownStation && offer.date != kNoDate && local.date == offer.date)
            return Act(ArrivalAction::Resume, local.size);
        break;
    case Proof::Different:
        break;
    }
    return Act(ArrivalAction::ReceiveCopy);
}

// The offer is to take the local file's place: only where the user allows it.
ArrivalDecision Replace(const ArrivalPolicy& policy) {
    return Act(policy.overwrite ? ArrivalAction::Replace : ArrivalAction::ReceiveCopy);
}

bool Newer(int offered, int local) {
    return offered != kNoDate && (local == kNoDate || offered > local);
}

// What the sender's management option asks for an existing plain file.
ArrivalDecision Manage(const OfferedFile& offer, const LocalEntry& local,
                       const ArrivalPolicy& policy, Proof proof) {
    const int option = offer.management & kManagementMask;
    switch (option) {
    case kManageProtect:
        return Act(ArrivalAction::Skip);
    case kManageRename:
        return Act(ArrivalAction::ReceiveCopy);
    case kManageAppend:
        if (policy.overwrite)
            return Act(ArrivalAction::Append, local.size);
        return Act(ArrivalAction::ReceiveCopy);
    case kManageNewer:
        return Newer(offer.date, local.date) ? Replace(policy) : Act(ArrivalAction::Skip);
    case kManageNewerOrLonger:
        if (Newer(offer.date, local.date) || offer.size > local.size)
            return Replace(policy);
        return Act(ArrivalAction::Skip);
    case kManageDifferent:
        if (offer.date != local.date || offer.size != local.size)
            return Replace(policy);
        return Act(ArrivalAction::Skip);
    case kManageCrc:
        if (offer.size != local.size)
            return Replace(policy);
        if (proof == Proof::NotAsked && local.size > 0)
            return Verify(VerifySubject::Copy, local.size);
        return proof == Proof::Same || local.size == 0 ? Act(ArrivalAction::Skip) : Replace(policy);
    default:
        return Replace(policy);
    }
}

} // namespace

ArrivalDecision DecideArrival(const OfferedFile& offer, const LocalEntry& local,
                              const std::optional<FiledFile>& filed, const ArrivalPolicy& policy,
                              const ArrivalProofs& proofs) {
    if (auto again = FiledAgain(offer, filed, policy, proofs.filed))
        return *again;
    const bool skipIfAbsent = (offer.management & kManageSkipIfAbsent) != 0;
    if (local.kind != LocalKind::File) {
        if (skipIfAbsent)
            return Act(ArrivalAction::Skip);
        // A link, a folder or a device under the name is never followed or written.
        return Act(local.kind == LocalKind::None ? ArrivalAction::Receive
                                                 : ArrivalAction::ReceiveCopy);
    }
    const int option = offer.management & kManagementMask;
    if (local.arrivedThisCall || local.linked)
        return Act(option == kManageProtect ? ArrivalAction::Skip : ArrivalAction::ReceiveCopy);
    // An explicit management option decides unless the sender asked to resume; without one,
    // crash recovery does.
    if (policy.crashRecovery && (offer.conversion == kConvertResume || option == 0))
        return ResumeOrCopy(offer, local, policy, proofs.copy);
    return Manage(offer, local, policy, proofs.copy);
}

const char* ArrivalActionName(ArrivalAction action) {
    switch (action) {
    case ArrivalAction::Receive:
        return "receive";
    case ArrivalAction::ReceiveCopy:
        return "receive as a numbered copy";
    case ArrivalAction::Resume:
        return "resume";
    case ArrivalAction::Replace:
        return "replace";
    case ArrivalAction::Append:
        return "append";
    case ArrivalAction::Skip:
        return "skip";
    case ArrivalAction::AlreadyFiled:
        return "already filed";
    case ArrivalAction::Verify:
        return "verify";
    }
    return "?";
}

} // namespace protocol
