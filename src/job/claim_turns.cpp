#include "job/claim_turns.h"

#include "win/unique.h"

#include <mutex>

namespace lmvn {
namespace {

struct Turns {
    std::mutex lock;
    bool reserved[kClaimKinds] = {};  // a thread of the kind is before its claim
    bool noted[kClaimKinds] = {};     // a signal came meanwhile
    UniqueHandle event[kClaimKinds];
};
Turns turns;

// The kind of the turn this thread holds, or kClaimKinds for none.
thread_local DWORD heldTurn = kClaimKinds;

DWORD KindOf(DWORD argument) { return argument != 0 ? 1 : 0; }

}  // namespace

void CreateClaimTurnEvents() {
    std::lock_guard<std::mutex> hold(turns.lock);
    for (DWORD kind = 0; kind < kClaimKinds; ++kind) {
        turns.reserved[kind] = false;
        turns.noted[kind] = false;
        turns.event[kind].reset(Win32().CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
}

HANDLE ClaimTurnEvent(DWORD kind) {
    std::lock_guard<std::mutex> hold(turns.lock);
    return turns.event[KindOf(kind)].get();
}

void CloseClaimTurnEvents() {
    std::lock_guard<std::mutex> hold(turns.lock);
    for (DWORD kind = 0; kind < kClaimKinds; ++kind) turns.event[kind].reset();
}

ClaimTurn ReserveClaimTurn(DWORD argument) {
    const DWORD kind = KindOf(argument);
    std::lock_guard<std::mutex> hold(turns.lock);
    if (!turns.event[kind]) return ClaimTurn::Start;  // nothing to serve a noted signal by
    if (!turns.reserved[kind]) {
        turns.reserved[kind] = true;
        return ClaimTurn::Start;
    }
    const bool again = turns.noted[kind];
    turns.noted[kind] = true;
    return again ? ClaimTurn::Again : ClaimTurn::Noted;
}

void CancelClaimTurn(DWORD argument) {
    const DWORD kind = KindOf(argument);
    std::lock_guard<std::mutex> hold(turns.lock);
    turns.reserved[kind] = false;
    if (turns.noted[kind]) {
        turns.noted[kind] = false;
        Win32().SetEvent(turns.event[kind].get());
    }
}

void AdoptClaimTurn(DWORD argument) { heldTurn = KindOf(argument); }

void EndClaimTurn() {
    const DWORD kind = heldTurn;
    if (kind >= kClaimKinds) return;
    heldTurn = kClaimKinds;
    CancelClaimTurn(kind);
}

}  // namespace lmvn
