// Log throughput: WriteLog against a plain WriteFile loop on a file opened
// with the same access and flags (append-only, write-through).
#pragma once

#include <windows.h>

#include <string>

namespace bench {

struct LogFigures {
    double writeLogPerSecond = 0;  // lines per second, median of the rounds
    double plainPerSecond = 0;
    // WriteLog with the lock between agents of several sessions left out (its
    // named mutex could not be created): where the difference goes.
    double withoutMutexPerSecond = 0;
    // WriteLog while another owner holds that mutex for good: each line only
    // tries it (the one short wait before is not counted).
    double heldElsewherePerSecond = 0;
    long long linesWritten = 0;  // WriteLog calls made over all rounds
    long long linesFound = 0;    // whole lines in the files afterwards
};

// The agents' named log mutex, held by the calling thread (as another process
// would hold it) until ReleaseLogMutex; null when it could not be had.
HANDLE HoldLogMutex();
void ReleaseLogMutex(HANDLE mutex);

// `threads` threads write for `seconds` per round, `rounds` rounds of each
// kind, alternating. Files go to `dir`.
LogFigures MeasureLog(const std::wstring& dir, int threads, double seconds, int rounds);

}  // namespace bench
