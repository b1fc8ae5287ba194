#include "agent/workers.h"

#include "win/win32api.h"

#include <climits>
#include <cstring>

namespace lmvn {

BOOL AddWorker(WorkerThreadRegistry& registry, HANDLE thread) {
    if (registry.count == registry.capacity) {
        int newCapacity = 1;
        if (registry.capacity != 0) {
            // Doubling must stay within the signed 32-bit range, in elements
            // and in bytes.
            if (registry.count >= 0x40000000) return FALSE;
            newCapacity = registry.count * 2;
            if (newCapacity > INT_MAX / static_cast<int>(sizeof(HANDLE))) return FALSE;
        }
        void* grown =
            Win32().Reallocate(registry.items, static_cast<size_t>(newCapacity) * sizeof(HANDLE));
        if (grown == nullptr) return FALSE;
        registry.items = static_cast<HANDLE*>(grown);
        registry.capacity = newCapacity;
    }
    registry.items[registry.count++] = thread;
    return TRUE;
}

BOOL RemoveWorkerAt(WorkerThreadRegistry& registry, int index) {
    if (index < 0 || index >= registry.count) return FALSE;
    const int after = registry.count - index - 1;
    if (after > 0) {
        std::memmove(&registry.items[index], &registry.items[index + 1],
                     static_cast<size_t>(after) * sizeof(HANDLE));
    }
    --registry.count;
    return TRUE;
}

void ClearWorkers(WorkerThreadRegistry& registry) {
    Win32().Release(registry.items);
    registry.items = nullptr;
    registry.count = 0;
    registry.capacity = 0;
}

int ReapWorkers(WorkerThreadRegistry& registry, BOOL terminate) {
    int terminated = 0;
    // Downwards, so that a removal moves only elements already visited.
    for (int i = registry.count - 1; i >= 0; --i) {
        HANDLE thread = registry.items[i];
        DWORD exitCode = 0;
        if (!Win32().GetExitCodeThread(thread, &exitCode)) continue;
        if (exitCode == STILL_ACTIVE) {
            if (!terminate) continue;
            Win32().TerminateThread(thread, 0);
            ++terminated;
        }
        Win32().CloseHandle(thread);
        RemoveWorkerAt(registry, i);
    }
    return terminated;
}

}  // namespace lmvn
