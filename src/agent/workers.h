// The handles of the processing threads the main loop has started: a growable
// array, used by the main thread only. The registry owns the handles it holds;
// only ReapWorkers closes them.
#pragma once

#include <windows.h>

namespace lmvn {

struct WorkerThreadRegistry {
    HANDLE* items = nullptr;
    int count = 0;
    int capacity = 0;
};

// Appends `thread`, doubling the storage when it is full (0 -> 1 -> 2 -> 4).
// FALSE, with the registry unchanged, when the storage cannot grow.
BOOL AddWorker(WorkerThreadRegistry& registry, HANDLE thread);

// Removes the element at `index`, keeping the order of the others; does not
// close the handle. FALSE for an index outside 0 to count - 1.
BOOL RemoveWorkerAt(WorkerThreadRegistry& registry, int index);

// Releases the storage; the handles are not closed.
void ClearWorkers(WorkerThreadRegistry& registry);

// Closes and drops the handles of threads that have ended. With `terminate`,
// threads still running are terminated (exit code 0, not waited for) and
// dropped too. An element whose exit code cannot be read stays. Returns the
// number of threads it terminated.
int ReapWorkers(WorkerThreadRegistry& registry, BOOL terminate);

}  // namespace lmvn
