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

// Reads the job path (at most 520 bytes) under the first name, else under
// "SYSTEM", deletes the value that was read, and logs the job number. Reports
// and returns FALSE when the key or both values cannot be read; returns FALSE
// quietly (with a log line) when another thread took the job first, when a
// shared job finds nothing (the agent of another session took it), and for a
// producer's late signal of a job served at start-up (see FindStoredJob).
BOOL RetrieveJobInfo(DWORD argument, const wchar_t* keyPath, const wchar_t* userName,
                     std::span<wchar_t> jobPath, const wchar_t*& handOverName);

// A job stored under this agent's own name ("Print Job" with NT4Mode) before
// the agent ran: a job printed before logon, or one left by an agent that
// ended between the signal and the claim. Its producer waits for the value to
// go, so it is served at start-up. Returns TRUE when such a job is stored and
// its job description file exists: the caller then serves it as a signal of
// its print event, and the producer's own signal, should it come late and find
// the value gone, is then taken quietly once (within a minute). A stored path
// whose file no longer exists names nothing to deliver: the value is deleted
// with a log line, so that the user's next job is not held up, and FALSE is
// returned. "Shared" and "SYSTEM" are left to their signals.
BOOL FindStoredJob(const wchar_t* keyPath, const wchar_t* userName);

}  // namespace lmvn
