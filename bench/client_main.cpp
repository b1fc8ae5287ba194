// The benchmark's client application. It notes the moment a job path reaches
// it (QueryPerformanceCounter, which counts the same in every process) in a
// journal file, one UTF-8 line per event:
//     <counter> TAB <process id> TAB <event> TAB <path>
//
//   benchclient JOURNAL PATH...          command-line mode: the path follows
//                                        the journal (the agent appends it
//                                        unquoted). Event "cmd" at once, then a
//                                        window, idle for input, closed 20 ms
//                                        later; event "exit" at the end.
//   benchclient JOURNAL --window CLASS [--window-delay MS]
//                                        copy-data and clipboard mode: event
//                                        "start" (no path), then a window of
//                                        CLASS (MS later, idle for input
//                                        before) that journals every
//                                        WM_COPYDATA ("copydata") and every
//                                        kClipboardMessage, read from the
//                                        clipboard in format kClipboardFormat
//                                        ("clipboard"), until it is closed, or
//                                        after 30 minutes
#include <windows.h>

#include <cstring>
#include <string>
#include "../tools/common/journal.h"
#include "clipboard_names.h"

namespace {

std::wstring g_journal;
constexpr UINT_PTR kCloseTimer = 1;
constexpr UINT kCommandLineLifeMs = 20;
constexpr UINT kWindowLifeMs = 30 * 60 * 1000;

long long Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void Journal(long long when, const wchar_t* event, const std::wstring& path) {
    // One whole line per write: clients of several jobs share the file.
    lmvntools::AppendJournal(g_journal, std::to_wstring(when) + L"\t" +
                                            std::to_wstring(GetCurrentProcessId()) + L"\t" + event +
                                            L"\t" + path + L"\n");
}

// One word of a command line (quotes removed) and the rest after its blanks.
const wchar_t* NextWord(const wchar_t* p, std::wstring& word) {
    while (*p == L' ' || *p == L'\t') ++p;
    word.clear();
    if (*p == L'"') {
        const wchar_t* end = std::wcschr(p + 1, L'"');
        if (end == nullptr) end = p + std::wcslen(p);
        word.assign(p + 1, end);
        p = *end == L'"' ? end + 1 : end;
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t') word += *p++;
    }
    if (*p == L' ' || *p == L'\t') ++p;  // exactly one blank separates
    return p;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COPYDATA: {
            const long long when = Now();
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            char ansi[261] = {};
            if (data->lpData != nullptr) {
                std::memcpy(ansi, data->lpData, data->cbData < 260 ? data->cbData : 260);
            }
            wchar_t path[261] = {};
            MultiByteToWideChar(CP_ACP, 0, ansi, -1, path, 261);
            Journal(when, L"copydata", path);
            return TRUE;
        }
        case bench::kClipboardMessage: {
            // As a client should: read the path while handling the message.
            const long long when = Now();
            char ansi[261] = {};
            bool opened = false;
            for (int attempt = 0; attempt < 50 && !opened; ++attempt) {
                opened = OpenClipboard(window) != FALSE;
                if (!opened) Sleep(10);
            }
            if (opened) {
                const UINT format = RegisterClipboardFormatW(bench::kClipboardFormat);
                if (HANDLE data = GetClipboardData(format)) {
                    if (const void* bytes = GlobalLock(data)) {
                        std::memcpy(ansi, bytes, 260);
                        GlobalUnlock(data);
                    }
                }
                CloseClipboard();
            }
            wchar_t path[261] = {};
            MultiByteToWideChar(CP_ACP, 0, ansi, -1, path, 261);
            Journal(when, opened ? L"clipboard" : L"clipboard-busy", path);
            return 0;
        }
        case WM_TIMER:
            if (wParam == kCloseTimer) DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const long long started = Now();
    std::wstring word;
    const wchar_t* rest = NextWord(GetCommandLineW(), word);  // the program
    rest = NextWord(rest, g_journal);
    if (g_journal.empty()) return 1;

    std::wstring windowClass = L"LmvnBenchCmdClient";
    std::wstring path;
    UINT lifeMs = kCommandLineLifeMs;
    if (std::wcsncmp(rest, L"--window ", 9) == 0) {
        rest = NextWord(rest + 9, windowClass);
        lifeMs = kWindowLifeMs;
        Journal(started, L"start", L"");
        if (std::wcsncmp(rest, L"--window-delay ", 15) == 0) {
            NextWord(rest + 15, word);
            // Idle for input first (an empty queue was looked at), the window later.
            MSG peek;
            PeekMessageW(&peek, nullptr, 0, 0, PM_NOREMOVE);
            Sleep(static_cast<DWORD>(std::wcstoul(word.c_str(), nullptr, 10)));
        }
    } else {
        path = rest;
        Journal(started, L"cmd", path);
    }

    WNDCLASSW registered{};
    registered.lpfnWndProc = WindowProc;
    registered.hInstance = instance;
    registered.lpszClassName = windowClass.c_str();
    RegisterClassW(&registered);
    HWND window = CreateWindowExW(0, windowClass.c_str(), L"benchclient", WS_OVERLAPPEDWINDOW, 0, 0,
                                  200, 100, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 2;
    SetTimer(window, kCloseTimer, lifeMs, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    if (!path.empty()) Journal(Now(), L"exit", path);
    return 0;
}
