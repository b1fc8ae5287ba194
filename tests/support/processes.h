// Looking at other processes: handle counts, and ending the programs a test
// left running in its folder.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace lmvntest {

// GetProcessHandleCount reports 0 under Wine (for every process, our own
// included), so the count comes from the system's handle table, which Wine
// fills from its server.

// Number of handles that process `pid` holds, or none when the system's
// handle table cannot be read.
std::optional<size_t> ProcessHandleCount(DWORD pid);

// Number of threads that process `pid` runs, or none.
std::optional<size_t> ProcessThreadCount(DWORD pid);

// The thread count of process `pid` once it has stayed the same for a second
// (at most 30 s of waiting); 0 when it cannot be read.
size_t SteadyThreadCount(DWORD pid);

// Terminates every process whose executable lies directly in `dir` (stage
// doubles or clients a test left running), never the calling process;
// returns how many it ended.
int TerminateProcessesIn(const std::wstring& dir);

// A running process whose executable is `exePath` (compared without regard
// to case), opened for querying, terminating and waiting; null when none
// runs. The caller closes the handle.
HANDLE FindRunningProgram(const std::wstring& exePath);

}  // namespace lmvntest
