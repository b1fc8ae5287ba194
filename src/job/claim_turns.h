// Threads that have yet to claim their job, at most one per kind of signal.
//
// A signal of a job event costs a thread, and any account that may set the
// event can send thousands. But a hand-over value holds one job at a time,
// and its producer stores the next only once the value has gone: of the
// threads that have yet to read the value, one finds the job and every other
// finds nothing. So for each kind (0: the user's print event, 1: the shared
// printing event) one thread at a time is before its claim. A signal that
// comes meanwhile is noted, not lost: once that thread's claim is over, the
// kind's turn event is set, and the main loop serves the signal with a new
// thread, which finds whatever has been stored since. A flood thus runs one
// thread at a time per kind, each for the few milliseconds of a claim, and a
// real job stored during it is taken by the next claim.
#pragma once

#include <windows.h>

namespace lmvn {

inline constexpr DWORD kClaimKinds = 2;

// Creates the two turn events (auto-reset, unnamed). Without them (creation
// failed), every signal is served at once, as if there were no turns.
void CreateClaimTurnEvents();
// The turn event of `kind`, for the main loop to wait on; null without one.
HANDLE ClaimTurnEvent(DWORD kind);
// Closes the turn events (the end of the agent, or of a test).
void CloseClaimTurnEvents();

enum class ClaimTurn {
    Start,  // no thread of the kind is before its claim: start one
    Noted,  // one is: the signal is served once that claim is over
    Again,  // as Noted, and a signal had been noted already
};

// The main loop's decision for a signal of `kind`. Start reserves the turn
// for the thread about to be started: hand it over with AdoptClaimTurn, or
// give it back with CancelClaimTurn when the thread cannot start.
ClaimTurn ReserveClaimTurn(DWORD kind);
void CancelClaimTurn(DWORD kind);

// Called first by the thread the turn was reserved for.
void AdoptClaimTurn(DWORD kind);
// Called by that thread once its claim is over, before it reports anything
// (a report may wait for the user): the turn passes on. Does nothing on a
// thread that holds no turn, or has ended it already.
void EndClaimTurn();

}  // namespace lmvn
