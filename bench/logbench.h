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

// Several processes writing to one log through the agent's log code, as the
// agents of several sessions do, without a limit and with a LogMaxSize that
// makes the file move again and again.
struct LogMoveFigures {
    double unboundedPerSecond = 0;  // lines per second of all writers, median of the rounds
    double boundedPerSecond = 0;
    long long moves = 0;    // moves in the bounded rounds, from the bytes written
    long long written = 0;  // lines written in all rounds
    // Lines missing from what the files still hold: without a limit every line
    // written, with one every writer's lines from its first in vp_log.1.txt on.
    long long lost = 0;
    long long cut = 0;      // lines without a whole time stamp, or not a writer's
    long long doubled = 0;  // lines found more than once
};

// `writers` processes (this program, started with --log-writer) write for
// `seconds` per run; `rounds` rounds of an unbounded and a bounded run
// (`maxSizeKiB`). Files go to `dir`.
LogMoveFigures MeasureLogMove(const std::wstring& self, const std::wstring& dir, int writers,
                              double seconds, DWORD maxSizeKiB, int rounds);

// The role of one of those processes: `arguments` are "<dir> <ms> <KiB> <tag>".
// Writes "<tag> <n>." lines to <dir>\vp_log.txt for <ms> once the start event
// is set, then its count and milliseconds to <dir>\<tag>.count. Exit code 0
// when it ran.
int RunLogWriter(const wchar_t* arguments);

}  // namespace bench
