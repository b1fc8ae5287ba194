// Windows on the desktop by class, for the tests and the benchmarks: how many
// there are, ending the programs that own them, and the progress indicator's
// window their stage programs show. Header-only, so that the benchmark
// programs can use it without the rest of the test support.
#pragma once

#include <windows.h>

namespace lmvntest {

// Number of top-level windows of class `windowClass` (and of title `title`,
// when given). Counted over one snapshot of the windows (EnumWindows): a walk
// with FindWindowExW can meet a window twice while others are created in
// front of it, as system-modal boxes are.
inline int CountWindows(const wchar_t* windowClass, const wchar_t* title = nullptr) {
    struct Count {
        const wchar_t* windowClass;
        const wchar_t* title;
        int count;
    } count = {windowClass, title, 0};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* c = reinterpret_cast<Count*>(param);
            wchar_t text[256] = {};
            if (GetClassNameW(window, text, 256) == 0 || lstrcmpiW(text, c->windowClass) != 0) {
                return TRUE;
            }
            if (c->title != nullptr) {
                GetWindowTextW(window, text, 256);
                if (lstrcmpW(text, c->title) != 0) return TRUE;
            }
            ++c->count;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count.count;
}

// Presses OK on the message box `box` and waits (at most a second) for it to
// go; false when the OK could not be delivered. The box is first told to
// leave any menu mode (WM_CANCELMODE): a box that was in front when a
// program tapped Alt (the agent does, to bring a client forward) sits in the
// keyboard menu mode, where OK alone does not end it.
inline bool PressOk(HWND box) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(box, WM_CANCELMODE, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
    if (!SendMessageTimeoutW(box, WM_COMMAND, IDOK, 0, SMTO_ABORTIFHUNG, 2000, &ignored)) {
        return false;
    }
    for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(5);
    return true;
}

// Presses OK on each message box captioned `caption`, one after another,
// until none is left or `limitMs` have passed; how many went. A box that
// stays after its OK (a busy program can take longer than PressOk waits) is
// pressed again.
inline int AnswerBoxes(const wchar_t* caption, DWORD limitMs = 60000) {
    int answered = 0;
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    for (HWND box = nullptr;
         GetTickCount64() < deadline && (box = FindWindowW(L"#32770", caption)) != nullptr;) {
        if (PressOk(box) && !IsWindow(box)) ++answered;
    }
    return answered;
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
