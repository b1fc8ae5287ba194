// Taking a job over: the path of its job description file, from a hand-over
// value under HKLM\Software\Lumvane.
#pragma once

#include <windows.h>

#include <span>

namespace lmvn {

inline constexpr wchar_t kSharedValueName[] = L"Shared";
inline constexpr wchar_t kSystemValueName[] = L"SYSTEM";
inline constexpr wchar_t kNT4ValueName[] = L"Print Job";

// The first value name to try for a job: "Print Job" with NT4Mode, else
// "Shared" for a job of the shared printing event, else the user's name.
const wchar_t* FirstHandOverName(BOOL nt4Mode, DWORD argument, const wchar_t* userName);

// Claims the job: reads the path (at most 520 bytes) under the first name,
// else under "SYSTEM", and deletes the value that was read, in one step among
// this agent's threads; then logs the job number. Returns TRUE with the path
// and the name that was deleted.
//
// Returns FALSE, having reported 0xF006 or 0xF005, when the key cannot be
// opened, when neither value exists, or when the value found cannot be read
// as a path (longer than 520 bytes, filling them without a terminator, or not
// text): such a value is deleted like a job, so that its producer is not
// held up, and the error is reported by the thread whose deletion took it.
//
// Returns FALSE quietly, with a log line, when another agent deleted the
// value between this thread's read and its deletion, when a shared job finds
// nothing (the agent of another session took it), for a producer's late
// signal of a job served at start-up, and when that stored job names no file
// any more (see FindStoredJob).
BOOL RetrieveJobInfo(DWORD argument, const wchar_t* keyPath, const wchar_t* userName,
                     std::span<wchar_t> jobPath, const wchar_t*& handOverName);

// A job stored under this agent's own name ("Print Job" with NT4Mode) before
// the agent ran: a job printed before logon, or one left by an agent that
// ended between the signal and the claim. Its producer waits for the value to
// go, so it is served at start-up. Returns TRUE when such a value exists: the
// caller then serves it as a signal of its print event. Only the registry is
// read here (start-up must stay prompt, and the path may name a host on the
// network); the thread that claims the stored path drops it quietly, with a
// log line, when it names no file. The producer's own signal, should it come
// late and find the value gone, is then taken quietly once (within a minute).
// "Shared" and "SYSTEM" are left to their signals.
BOOL FindStoredJob(const wchar_t* keyPath, const wchar_t* userName);

}  // namespace lmvn
