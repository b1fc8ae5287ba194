// A stand-in for the stage programs (and, under another name, for a client
// started in command-line mode). Tests copy it into the agent's folder as
// preprocess.exe, progress.exe or lmvndisp.exe. It journals what happened to
// it in "stagejournal.txt" beside itself, one UTF-8 line per event:
//     <own file name> TAB <event> TAB <UTC FILETIME, decimal> TAB <detail>
// and behaves as section [<own file name>] of "stagedouble.ini" beside it
// says (every key optional):
//     Result=Cancel        written as PreprocessingResult in section Document
//                          of the job description file
//     Echo=S.K,S2.K2       journal key K of section S of the job description
//                          file (event "key", detail "S.K=<value>"), for
//                          each entry of the list
//     Idle=1               be idle for input at once (look at an empty message
//                          queue), before any wait
//     WindowDelayMs=N      wait before creating the window
//     Window=1             show a top-level "Lumvane progress indicator"
//                          window until WM_CLOSE (or WindowLimitMs, default
//                          60000, so that no double outlives a test for long)
//     DelayMs=N            take N ms before ending
//     ExitCode=N           end with this code
//     Crash=0xC0000005     end with this exception code instead; the double
//                          never raises a real exception, which would start
//                          Wine's debugger
#include <windows.h>

#include <cwchar>
#include <string>
#include "../../tools/common/journal.h"
#include "desktop.h"

namespace {

std::wstring g_directory;
std::wstring g_name;

std::wstring Directory(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring FileName(const std::wstring& path) {
    return path.substr(path.find_last_of(L'\\') + 1);
}

ULONGLONG Now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Appends one whole line, so that doubles running at the same time (progress
// indicator and converter) neither mix nor lose their lines.
void Journal(const wchar_t* event, const std::wstring& detail = L"") {
    lmvntools::AppendJournal(
        g_directory + L"\\stagejournal.txt",
        g_name + L"\t" + event + L"\t" + std::to_wstring(Now()) + L"\t" + detail + L"\n");
}

std::wstring Setting(const wchar_t* key) {
    wchar_t value[512] = {};
    const std::wstring ini = g_directory + L"\\stagedouble.ini";
    GetPrivateProfileStringW(g_name.c_str(), key, L"", value, 512, ini.c_str());
    return value;
}

DWORD NumberSetting(const wchar_t* key, DWORD fallback) {
    const std::wstring text = Setting(key);
    if (text.empty()) return fallback;
    return static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 0));
}

// The job path: what follows the program's own path and one blank. The agent
// does not quote either part, so a blank inside the path is part of it.
std::wstring JobPathFrom(const std::wstring& commandLine, const std::wstring& modulePath) {
    if (commandLine.compare(0, modulePath.size(), modulePath) == 0 &&
        commandLine.size() > modulePath.size() && commandLine[modulePath.size()] == L' ') {
        return commandLine.substr(modulePath.size() + 1);
    }
    size_t end;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        end = commandLine.find(L'"', 1);
        end = end == std::wstring::npos ? commandLine.size() : end + 1;
    } else {
        end = commandLine.find(L' ');
        if (end == std::wstring::npos) end = commandLine.size();
    }
    return end < commandLine.size() ? commandLine.substr(end + 1) : L"";
}

void EchoKeys(const std::wstring& list, const std::wstring& jobPath) {
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find(L',', pos);
        if (end == std::wstring::npos) end = list.size();
        const std::wstring entry = list.substr(pos, end - pos);
        pos = end + 1;
        const size_t dot = entry.find(L'.');
        if (dot == std::wstring::npos) continue;
        wchar_t value[1024] = {};
        GetPrivateProfileStringW(entry.substr(0, dot).c_str(), entry.substr(dot + 1).c_str(), L"",
                                 value, 1024, jobPath.c_str());
        Journal(L"key", entry + L"=" + value);
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            Journal(L"close");
            DestroyWindow(window);
            return 0;
        case WM_TIMER:
            Journal(L"timeout");
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

void ShowProgressWindow(HINSTANCE instance, DWORD limitMs) {
    HWND window = lmvntest::CreateProgressIndicatorWindow(instance, WindowProc);
    if (window == nullptr) {
        Journal(L"window-failed", std::to_wstring(GetLastError()));
        return;
    }
    Journal(L"window");
    SetTimer(window, 1, limitMs, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    wchar_t module[1024] = {};
    GetModuleFileNameW(nullptr, module, 1024);
    g_directory = Directory(module);
    g_name = FileName(module);

    // The whole behaviour is read before "start" is journaled: a test that
    // sees the start may change the settings for the next double at once.
    const std::wstring echo = Setting(L"Echo");
    const std::wstring result = Setting(L"Result");
    const bool idle = NumberSetting(L"Idle", 0) != 0;
    const DWORD windowDelay = NumberSetting(L"WindowDelayMs", 0);
    const bool window = NumberSetting(L"Window", 0) != 0;
    const DWORD windowLimit = NumberSetting(L"WindowLimitMs", 60000);
    const DWORD delay = NumberSetting(L"DelayMs", 0);
    const DWORD crash = NumberSetting(L"Crash", 0);
    const DWORD exitCode = NumberSetting(L"ExitCode", 0);

    const std::wstring commandLine = GetCommandLineW();
    const std::wstring jobPath = JobPathFrom(commandLine, module);
    Journal(L"start", commandLine);
    Journal(L"job", jobPath);

    EchoKeys(echo, jobPath);
    if (!result.empty()) {
        const BOOL written = WritePrivateProfileStringW(L"Document", L"PreprocessingResult",
                                                        result.c_str(), jobPath.c_str());
        Journal(written ? L"result" : L"result-failed", result);
    }
    if (idle) {
        MSG peek;
        PeekMessageW(&peek, nullptr, 0, 0, PM_NOREMOVE);
    }
    if (windowDelay != 0) Sleep(windowDelay);
    if (window) ShowProgressWindow(instance, windowLimit);
    if (delay != 0) Sleep(delay);

    if (crash != 0) {
        Journal(L"crash", std::to_wstring(crash));
        ExitProcess(crash);
    }
    Journal(L"end", std::to_wstring(exitCode));
    return static_cast<int>(exitCode);
}
