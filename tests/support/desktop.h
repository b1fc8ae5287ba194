// Windows on the desktop by class, for the tests and the benchmarks: how many
// there are, ending the programs that own them, and the progress indicator's
// window their stage programs show. Header-only, so that the benchmark
// programs can use it without the rest of the test support.
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

// Registers the progress indicator's window class with `windowProc` and
// creates its top-level window, as the stage doubles of the tests and the
// benchmark show it; null when it cannot be created.
inline HWND CreateProgressIndicatorWindow(HINSTANCE instance, WNDPROC windowProc) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"Lumvane progress indicator";
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, windowClass.lpszClassName, L"Converting", WS_OVERLAPPEDWINDOW, 0, 0,
                           200, 80, nullptr, nullptr, instance, nullptr);
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
