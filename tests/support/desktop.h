// Windows on the desktop by class, for the tests and the benchmarks: how many
// there are, and ending the programs that own them. Header-only, so that the
// benchmark programs can use it without the rest of the test support.
#pragma once

#include <windows.h>

namespace lmvntest {

// Number of top-level windows of class `windowClass`.
inline int CountWindows(const wchar_t* windowClass) {
    int count = 0;
    for (HWND window = nullptr;
         (window = FindWindowExW(nullptr, window, windowClass, nullptr)) != nullptr;) {
        ++count;
    }
    return count;
}

// Ends every process that owns a top-level window of class `windowClass`
// (clients a test or a benchmark left open), waiting for each at most 5 s.
inline void EndWindowOwners(const wchar_t* windowClass) {
    while (HWND window = FindWindowW(windowClass, nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process == nullptr) break;
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

}  // namespace lmvntest
