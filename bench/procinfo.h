// Figures of another process. Under Wine a Windows process is a Linux
// process, and the Windows calls that would report on it fall short:
// GetProcessHandleCount gives 0, PrivateUsage is 0, and GetProcessTimes misses
// the time of a thread that is running. So the handles come from the system's
// handle table and everything else from /proc/<linux pid> (read through Z:).
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace bench {

// The Linux pid of the Wine process whose command line names `imagePath`
// (case ignored); 0 when there is none.
DWORD FindLinuxPid(const std::wstring& imagePath);

struct LinuxFigures {
    unsigned long long cpuTicks = 0;         // utime + stime, clock ticks (1/100 s)
    unsigned long long contextSwitches = 0;  // voluntary + involuntary, all threads
    long long privateKb = 0;                 // Private_Clean + Private_Dirty
    long long rssKb = 0;
    int threads = 0;
};
std::optional<LinuxFigures> ReadLinuxFigures(DWORD linuxPid);

// Open handles of a process, counted in the system's handle table.
std::optional<long> CountHandles(DWORD windowsPid);

// User and kernel time as GetProcessTimes reports it, in 100 ns units.
std::optional<unsigned long long> ProcessTimes(HANDLE process);

}  // namespace bench
