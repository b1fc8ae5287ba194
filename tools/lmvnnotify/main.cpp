// lmvnnotify.exe: prints the agent's notify broadcasts as they arrive.
//
// In message mode ("Message Mode"=1) the agent shows no message boxes: it
// broadcasts the registered message "Lumvane_notify_message" to all top-level
// windows, with the notification code in wParam and, for system errors, the
// system error number in lParam. This monitor registers the same message on a
// hidden top-level window and prints, for each broadcast, the code, the report
// it stands for, what the agent did about it, and the error number with the
// system's description of it.
//
//   lmvnnotify.exe [--count N] [--seconds S] [--list] [--help]
#include <windows.h>

#include <cstdio>
#include <string>

#include "../common/console.h"
#include "../common/version.h"
#include "common/settings.h"
#include "diag/format.h"
#include "diag/report.h"

namespace {

constexpr wchar_t kWindowClass[] = L"Lumvane notify monitor";

// What the agent has done by the time it broadcasts a code.
struct Consequence {
    DWORD code;
    const wchar_t* text;
};
constexpr Consequence kConsequences[] = {
    {0xF001, L"the agent ended at start-up without creating its events"},
    {0xF002, L"the agent ended at start-up"},
    {0xF003, L"the agent ended at start-up"},
    {0xF004, L"the job was not taken over; its hand-over value stays in the registry"},
    {0xF005, L"the processing thread ended without a job"},
    {0xF006, L"the processing thread ended; the job was not delivered"},
    {0xF007,
     L"the job was not delivered; its files were kept, except in clipboard mode when no client "
     L"window was found: then the job description file and its EMF files were deleted (the "
     L"agent's log says which)"},
    {0xF008,
     L"the job was not delivered; the job description file and its EMF files were deleted, "
     L"except when the job path has no form in the ANSI code page, the agent could not make its "
     L"clipboard window, or the path could not be placed as the client read it: then they were "
     L"kept (the agent's log says which)"},
    {0xF009, L"the job was not delivered; its files were kept"},
    {0xF010, L"the job description file was deleted; the job was not delivered"},
    {0xF011, L"the agent ended at start-up: another program holds its print event's name"},
    {0xF012,
     L"the job was refused and its hand-over value removed; no stage ran and no file was "
     L"deleted"},
    {111,
     L"the job was not delivered (with no target window configured its job description file was "
     L"deleted)"},
    {112, L"the job description file was deleted; the job was not delivered"},
    {113, L"the job description file was deleted; the client application was not started"},
};

const lmvn::ReportKind* FindReport(DWORD code) {
    for (const lmvn::ReportKind& kind : lmvn::reports::kAll) {
        if (kind.code == code) return &kind;
    }
    return nullptr;
}

const wchar_t* FindConsequence(DWORD code) {
    for (const Consequence& c : kConsequences) {
        if (c.code == code) return c.text;
    }
    return nullptr;
}

// The report's text as a user would read it: the printer name in place of
// "%PRINTER_NAME%", the parts the agent fills in at the time named, and the
// line breaks as blanks.
std::wstring Meaning(const lmvn::ReportKind& kind) {
    wchar_t filled[lmvn::kLongTextUnits] = {};
    const wchar_t* detail =
        kind.code == lmvn::reports::kLogOpenFailed.code ? L"<log file path>" : lmvn::kPrinterName;
    lmvn::FormatText(filled, kind.text, detail);
    wchar_t shown[lmvn::kLongTextUnits] = {};
    lmvn::ExpandReportText(shown, lmvn::kLongTextUnits, filled);
    std::wstring text = shown;
    for (wchar_t& c : text) {
        if (c == L'\n') c = L' ';
    }
    return text;
}

std::wstring SystemText(DWORD error) {
    wchar_t description[512] = {};
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, description, 512, nullptr) == 0) {
        return L"(the system has no description of this error)";
    }
    std::wstring text = description;
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
        text.pop_back();
    }
    return text;
}

void Print(const std::wstring& text) { lmvntools::WriteText(STD_OUTPUT_HANDLE, text); }

std::wstring Hex(DWORD value, int digits) {
    wchar_t buffer[16] = {};
    wchar_t format[8] = {};
    swprintf(format, 8, L"0x%%0%dX", digits);
    swprintf(buffer, 16, format, value);
    return buffer;
}

std::wstring Describe(WPARAM wParam, LPARAM lParam) {
    const DWORD code = static_cast<DWORD>(wParam);
    const DWORD error = static_cast<DWORD>(lParam);
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t stamp[32] = {};
    swprintf(stamp, 32, L"%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds);

    std::wstring line = std::wstring(stamp) + L"  code " + Hex(code, code > 0xFF ? 4 : 2) + L" (" +
                        std::to_wstring(code) + L"): ";
    const lmvn::ReportKind* kind = FindReport(code);
    line += kind != nullptr ? Meaning(*kind) : L"unknown notification code";
    line += L"\r\n";
    if (error != 0) {
        line += L"    system error " + std::to_wstring(static_cast<long>(error)) + L": " +
                SystemText(error) + L"\r\n";
    }
    if (const wchar_t* consequence = FindConsequence(code)) {
        line += L"    agent: " + std::wstring(consequence) + L"\r\n";
    }
    return line;
}

struct Monitor {
    UINT message = 0;
    unsigned long received = 0;
};
Monitor g_monitor;
DWORD g_mainThread = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == g_monitor.message && message != 0) {
        ++g_monitor.received;
        Print(Describe(wParam, lParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

BOOL WINAPI OnConsoleControl(DWORD) {
    PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0);
    return TRUE;
}

void PrintUsage() {
    Print(
        L"Usage: lmvnnotify [--count N] [--seconds S] [--list] [--help]\r\n"
        L"Prints each broadcast of Lumvane_notify_message as it arrives: the notification code,\r\n"
        L"the report it stands for, what the agent did, and for system errors the error number\r\n"
        L"with the system's description. The agent broadcasts when \"Message Mode\" is 1.\r\n"
        L"  --count N    end after N broadcasts (exit code 1 if --seconds runs out first)\r\n"
        L"  --seconds S  end after S seconds\r\n"
        L"  --list       print the table of notification codes and end\r\n"
        L"  --help       print this text and end\r\n"
        L"Without --count or --seconds it runs until Ctrl+C.\r\n");
}

void PrintTable() {
    for (const lmvn::ReportKind& kind : lmvn::reports::kAll) {
        std::wstring line = Hex(kind.code, kind.code > 0xFF ? 4 : 2) + L" (" +
                            std::to_wstring(kind.code) + L"): " + Meaning(kind) + L"\r\n";
        if (const wchar_t* consequence = FindConsequence(kind.code)) {
            line += L"    agent: " + std::wstring(consequence) + L"\r\n";
        }
        Print(line);
    }
}

bool ParseCount(const wchar_t* text, unsigned long& value) {
    if (text == nullptr || *text == L'\0') return false;
    wchar_t* end = nullptr;
    const unsigned long parsed = wcstoul(text, &end, 10);
    if (*end != L'\0' || text[0] == L'-') return false;
    value = parsed;
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (lmvntools::AnswerVersion(argc, argv, L"lmvnnotify")) return 0;
    unsigned long wantCount = 0;
    unsigned long seconds = 0;
    bool haveCount = false;
    bool haveSeconds = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            PrintUsage();
            return 0;
        }
        if (arg == L"--list") {
            PrintTable();
            return 0;
        }
        if (arg == L"--count" && i + 1 < argc && ParseCount(argv[i + 1], wantCount) &&
            wantCount > 0) {
            haveCount = true;
            ++i;
        } else if (arg == L"--seconds" && i + 1 < argc && ParseCount(argv[i + 1], seconds)) {
            haveSeconds = true;
            ++i;
        } else {
            Print(L"lmvnnotify: unknown or incomplete option \"" + arg + L"\"\r\n");
            PrintUsage();
            return 2;
        }
    }

    wchar_t name[lmvn::kTextUnits] = {};
    lmvn::FormatText(name, L"%s_notify_message", lmvn::kPrinterName);
    g_monitor.message = RegisterWindowMessageW(name);
    if (g_monitor.message == 0) {
        Print(L"lmvnnotify: cannot register " + std::wstring(name) + L"\r\n");
        return 2;
    }

    // A hidden top-level window: broadcasts reach top-level windows only (a
    // message-only window would never see them).
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, kWindowClass, L"lmvnnotify", WS_POPUP, 0, 0, 0, 0, nullptr,
                                  nullptr, instance, nullptr);
    if (window == nullptr) {
        Print(L"lmvnnotify: cannot create the listening window (error " +
              std::to_wstring(GetLastError()) + L")\r\n");
        return 2;
    }
    g_mainThread = GetCurrentThreadId();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists now
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);

    Print(L"lmvnnotify: listening for " + std::wstring(name) + L" (message " +
          Hex(g_monitor.message, 4) + L")\r\n");

    const ULONGLONG deadline = haveSeconds ? GetTickCount64() + seconds * 1000ULL : 0;
    bool quit = false;
    while (!quit && !(haveCount && g_monitor.received >= wantCount)) {
        DWORD wait = INFINITE;
        if (haveSeconds) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) break;
            wait = static_cast<DWORD>(deadline - now);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DestroyWindow(window);
    Print(L"lmvnnotify: " + std::to_wstring(g_monitor.received) + L" broadcast(s) received\r\n");
    return haveCount && g_monitor.received < wantCount && !quit ? 1 : 0;
}
