// lmvnclient: a sample client application for the Lumvane agent.
//
// The agent hands every print job to a client application as the path of the
// job's description file, in one of three transfer modes ("Transfer Mode"
// under HKCU or HKLM\Software\Lumvane):
//
//   0 (and any value but 1 and 2), command line: the agent starts
//       "Client Application", one blank, and the path (unquoted);
//   1, copy-data: the agent sends WM_COPYDATA to the window found by
//       "Target Window Class" / "Target Window Title"; lpData holds the path
//       in the ANSI code page, zero-terminated, cbData is always 260 and
//       dwData is "Message ID";
//   2, clipboard: the agent offers the ANSI path (a 260-byte block) on the
//       clipboard in the format registered under the name "Clipboard Format",
//       then posts message number "Message ID" (kept within 0x8000 to
//       0xBFFF, else 0x8000) to that window, and puts no other job's path
//       there until the path has been read (or 60 s have passed): read the
//       clipboard when handling the message.
//
// In modes 1 and 2 the agent starts "Client Application" (without the path)
// only when it finds no target window, so a client should create its window
// soon after it starts; see docs/client-integration.md.
//
// This program handles all three. For every job it reads the description file
// (section "Document": "JobID"; section "EMF": "Count" and "File0"...), shows
// the job number, page count and EMF paths in its window and, with --journal,
// appends the same to a UTF-8 text file. It never deletes the job's files: a
// real client would do so once it has consumed them.
//
// Usage: lmvnclient [options] [job-description-file]
//   --class NAME        window class (default "LumvaneClient")
//   --title TEXT        window title (default "Lumvane sample client")
//   --format NAME       clipboard format name (default "Lumvane Job")
//   --message N         message announcing a clipboard job (default 0x8000)
//   --journal FILE      append a record of each job (and of the start) to FILE
//   --lifetime MS       close by itself after MS milliseconds
//   --quit-after N      close after N jobs
// Behaviours for testing the agent's side:
//   --window-delay MS   become idle for input first, create the window MS later
//   --start-delay MS    take MS before anything else (a slow start: neither idle
//                       nor with a window)
//   --no-window         end at once (exit code 2) without creating a window
//   --copydata-delay MS hold each WM_COPYDATA for MS before answering it
//   --busy-after MS     keep the window's thread busy for MS after each job,
//                       as a client that opens the document does
//   --handler-delay MS  clipboard mode: take MS more in the handler after
//                       reading the clipboard (a dialog about the job)
//   --hold-open MS      clipboard mode: keep the clipboard open MS after
//                       reading it (a handler that shows a dialog first)
//   --empty-on-read     clipboard mode: empty the clipboard before closing it
//   --read-delay MS     clipboard mode: read the clipboard MS after the
//                       message, not while handling it
//   --never-read        clipboard mode: note the message, never read the path
// Everything after the options is taken, as it stands, as the path of a job
// description file (command-line mode).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <string>
#include <vector>
#include "../common/journal.h"
#include "../common/version.h"

namespace {

// ---- Options -----------------------------------------------------------------

struct Options {
    std::wstring windowClass = L"LumvaneClient";
    std::wstring title = L"Lumvane sample client";
    std::wstring format = L"Lumvane Job";
    UINT message = 0x8000;
    std::wstring journal;
    DWORD lifetimeMs = 0;
    int quitAfter = 0;
    DWORD windowDelayMs = 0;
    DWORD startDelayMs = 0;
    bool noWindow = false;
    DWORD copyDataDelayMs = 0;
    DWORD busyAfterMs = 0;
    DWORD handlerDelayMs = 0;
    DWORD holdOpenMs = 0;
    bool emptyOnRead = false;
    DWORD readDelayMs = 0;
    bool neverRead = false;
    std::wstring jobPath;  // from the command line, if any
};

// One word of the command line and where the next one may begin. A word in
// double quotes loses its quotes.
struct Word {
    std::wstring text;
    const wchar_t* next;
};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

Word NextWord(const wchar_t* p) {
    Word word{L"", p};
    if (*p == L'"') {
        const wchar_t* end = std::wcschr(p + 1, L'"');
        if (end == nullptr) end = p + std::wcslen(p);
        word.text.assign(p + 1, end);
        word.next = *end == L'"' ? end + 1 : end;
    } else {
        const wchar_t* end = p;
        while (*end != L'\0' && !IsBlank(*end)) ++end;
        word.text.assign(p, end);
        word.next = end;
    }
    return word;
}

const wchar_t* SkipBlanks(const wchar_t* p) {
    while (IsBlank(*p)) ++p;
    return p;
}

DWORD ParseNumber(const std::wstring& text) {
    return static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 0));  // decimal or 0x...
}

// Parses the raw command line, so that the job path after the options keeps
// its blanks exactly: the agent appends it unquoted.
bool ParseCommandLine(const wchar_t* commandLine, Options& options) {
    const wchar_t* p = SkipBlanks(NextWord(SkipBlanks(commandLine)).next);  // program name
    while (*p != L'\0') {
        const Word word = NextWord(p);
        const std::wstring& name = word.text;
        if (name.rfind(L"--", 0) != 0) break;  // the job path begins here
        const bool takesValue =
            name != L"--no-window" && name != L"--never-read" && name != L"--empty-on-read";
        Word value{L"", word.next};
        if (takesValue) {
            const wchar_t* v = SkipBlanks(word.next);
            if (*v == L'\0') return false;
            value = NextWord(v);
        }
        if (name == L"--class") {
            options.windowClass = value.text;
        } else if (name == L"--title") {
            options.title = value.text;
        } else if (name == L"--format") {
            options.format = value.text;
        } else if (name == L"--message") {
            options.message = ParseNumber(value.text);
        } else if (name == L"--journal") {
            options.journal = value.text;
        } else if (name == L"--lifetime") {
            options.lifetimeMs = ParseNumber(value.text);
        } else if (name == L"--quit-after") {
            options.quitAfter = static_cast<int>(ParseNumber(value.text));
        } else if (name == L"--window-delay") {
            options.windowDelayMs = ParseNumber(value.text);
        } else if (name == L"--start-delay") {
            options.startDelayMs = ParseNumber(value.text);
        } else if (name == L"--copydata-delay") {
            options.copyDataDelayMs = ParseNumber(value.text);
        } else if (name == L"--busy-after") {
            options.busyAfterMs = ParseNumber(value.text);
        } else if (name == L"--handler-delay") {
            options.handlerDelayMs = ParseNumber(value.text);
        } else if (name == L"--hold-open") {
            options.holdOpenMs = ParseNumber(value.text);
        } else if (name == L"--read-delay") {
            options.readDelayMs = ParseNumber(value.text);
        } else if (name == L"--empty-on-read") {
            options.emptyOnRead = true;
        } else if (name == L"--never-read") {
            options.neverRead = true;
        } else if (name == L"--no-window") {
            options.noWindow = true;
        } else {
            return false;
        }
        p = SkipBlanks(value.next);
    }
    // The rest is the path, as the agent wrote it; a quoted path loses its quotes.
    std::wstring rest = p;
    while (!rest.empty() && IsBlank(rest.back())) rest.pop_back();
    if (rest.size() >= 2 && rest.front() == L'"' && rest.back() == L'"') {
        rest = rest.substr(1, rest.size() - 2);
    }
    options.jobPath = rest;
    return true;
}

// ---- The job ------------------------------------------------------------------

Options options;
HWND mainWindow = nullptr;
HWND textView = nullptr;
int jobsReceived = 0;
std::wstring shownText;

// A private message: jobs that came by WM_COPYDATA wait in pendingJobs.
constexpr UINT kJobArrived = WM_USER + 1;
// Another: the work after a job (--busy-after).
constexpr UINT kBusyAfterJob = WM_USER + 2;
constexpr UINT_PTR kLifetimeTimer = 1;
// Clipboard reads put off by --read-delay, each on a timer of its own.
constexpr UINT_PTR kFirstReadTimer = 100;
UINT_PTR nextReadTimer = kFirstReadTimer;

// The agent sends the path in the ANSI code page (modes 1 and 2): the path
// itself when that code page spells it, else its short form.
std::wstring FromAnsi(const char* ansi) {
    const int units = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
    if (units <= 0) return {};
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi, -1, out.data(), units);
    out.resize(static_cast<size_t>(units - 1));
    return out;
}

// Appends lines to the journal file (UTF-8), if there is one.
void Journal(const std::wstring& lines) {
    if (options.journal.empty()) return;
    lmvntools::AppendJournal(options.journal, lines);
}

// What the job description file says: job number, page count, EMF paths.
std::wstring DescribeJob(const std::wstring& path) {
    const wchar_t* file = path.c_str();
    const int jobId = static_cast<int>(GetPrivateProfileIntW(L"Document", L"JobID", 0, file));
    int count = static_cast<int>(GetPrivateProfileIntW(L"EMF", L"Count", 0, file));
    if (count < 0) count = 0;
    std::wstring text = L"path=" + path + L"\r\n";
    text += L"readable=" +
            std::wstring(GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES ? L"yes" : L"no") +
            L"\r\n";
    text += L"jobid=" + std::to_wstring(jobId) + L"\r\n";
    text += L"pages=" + std::to_wstring(count) + L"\r\n";
    const int listed = count < 1000 ? count : 1000;  // show a sane number of them
    for (int i = 0; i < listed; ++i) {
        const std::wstring key = L"File" + std::to_wstring(i);
        wchar_t emf[MAX_PATH] = {};
        GetPrivateProfileStringW(L"EMF", key.c_str(), L"", emf, MAX_PATH, file);
        text += L"emf" + std::to_wstring(i) + L"=" + emf + L"\r\n";
    }
    return text;
}

// Every job ends here, whatever the mode it came by.
void HandleJob(const std::wstring& header, const std::wstring& path) {
    ++jobsReceived;
    const std::wstring record = header + L"\r\n" + DescribeJob(path) + L"end\r\n";
    Journal(record);
    shownText += record;
    if (textView != nullptr) SetWindowTextW(textView, shownText.c_str());
    if (options.busyAfterMs != 0 && mainWindow != nullptr) {
        PostMessageW(mainWindow, kBusyAfterJob, 0, 0);
    }
    if (options.quitAfter > 0 && jobsReceived >= options.quitAfter && mainWindow != nullptr) {
        PostMessageW(mainWindow, WM_CLOSE, 0, 0);
    }
}

// Mode 2: the announced block is on the clipboard in our registered format.
void ReadClipboardJob(HWND window, UINT message) {
    const UINT format = RegisterClipboardFormatW(options.format.c_str());
    // The agent has closed the clipboard before posting; another program may
    // hold it for a moment, so try a few times.
    bool opened = false;
    for (int attempt = 0; attempt < 20 && !opened; ++attempt) {
        opened = OpenClipboard(window) != FALSE;
        if (!opened) Sleep(50);
    }
    std::wstring header = L"job via=clipboard message=" + std::to_wstring(message);
    if (!opened) {
        HandleJob(header + L" error=clipboard-busy", L"");
        return;
    }
    char ansi[261] = {};
    SIZE_T size = 0;
    if (HANDLE data = GetClipboardData(format)) {
        size = GlobalSize(data);
        if (const void* bytes = GlobalLock(data)) {
            std::memcpy(ansi, bytes, size < 260 ? size : 260);  // never past 260
            GlobalUnlock(data);
        }
    }
    if (options.holdOpenMs != 0) Sleep(options.holdOpenMs);  // no messages meanwhile
    if (options.emptyOnRead) EmptyClipboard();               // waits for the owner to take note
    CloseClipboard();
    header += L" bytes=" + std::to_wstring(size);
    HandleJob(header, FromAnsi(ansi));
}

// Mode 2, the message itself: read at once (the usual way), later, or never.
void ClipboardMessageArrived(HWND window, UINT message) {
    if (options.neverRead) {
        Journal(L"unread via=clipboard message=" + std::to_wstring(message) + L"\r\n");
        return;
    }
    if (options.readDelayMs != 0) {
        SetTimer(window, nextReadTimer++, options.readDelayMs, nullptr);
        return;
    }
    ReadClipboardJob(window, message);
    if (options.handlerDelayMs != 0) Sleep(options.handlerDelayMs);
}

// Jobs that came by WM_COPYDATA, handled after the answer (window thread only).
std::deque<std::wstring> pendingJobs;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            textView = CreateWindowExW(
                0, L"EDIT", L"",
                WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0,
                0, 0, 0, window, nullptr, nullptr, nullptr);
            return 0;
        case WM_SIZE:
            if (textView != nullptr)
                MoveWindow(textView, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            return 0;
        case WM_COPYDATA: {
            // Mode 1. The data is ours only while we handle the message: copy
            // the path (at most 260 bytes, zero-terminated) and answer at once,
            // since the agent waits for our answer.
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            char ansi[261] = {};
            if (data->lpData != nullptr) {
                std::memcpy(ansi, data->lpData, data->cbData < 260 ? data->cbData : 260);
            }
            const std::wstring header =
                L"job via=copydata dwData=" +
                std::to_wstring(static_cast<long long>(static_cast<LONG_PTR>(data->dwData))) +
                L" cbData=" + std::to_wstring(data->cbData);
            pendingJobs.push_back(header + L"\n" + FromAnsi(ansi));
            if (options.copyDataDelayMs != 0) Sleep(options.copyDataDelayMs);
            // The job is handled once the agent has its answer.
            PostMessageW(window, kJobArrived, 0, 0);
            return TRUE;
        }
        case kJobArrived:
            while (!pendingJobs.empty()) {
                const std::wstring arrived = std::move(pendingJobs.front());
                pendingJobs.pop_front();
                const size_t split = arrived.find(L'\n');
                HandleJob(arrived.substr(0, split), arrived.substr(split + 1));
            }
            return 0;
        case kBusyAfterJob:
            Sleep(options.busyAfterMs);  // no messages meanwhile
            return 0;
        case WM_TIMER:
            if (wParam == kLifetimeTimer) DestroyWindow(window);
            if (wParam >= kFirstReadTimer) {
                KillTimer(window, wParam);
                ReadClipboardJob(window, options.message);
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            if (message == options.message) {  // mode 2
                ClipboardMessageArrived(window, message);
                return 0;
            }
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    if (lmvntools::AnswerVersion(__argc, __wargv, L"lmvnclient")) return 0;
    if (!ParseCommandLine(GetCommandLineW(), options)) {
        MessageBoxW(nullptr,
                    L"Usage: lmvnclient [--class NAME] [--title TEXT] [--format NAME] "
                    L"[--message N] [--journal FILE] [--lifetime MS] [--quit-after N] "
                    L"[job-description-file]",
                    L"lmvnclient", MB_OK);
        return 1;
    }
    Journal(L"start pid=" + std::to_wstring(GetCurrentProcessId()) + L"\r\n");
    if (options.noWindow) return 2;
    if (options.startDelayMs != 0) Sleep(options.startDelayMs);

    if (options.windowDelayMs != 0) {
        // Wait for input once with nothing to do, which counts as idle for
        // the agent's input-idle wait, then create the window late.
        MSG peek;
        PeekMessageW(&peek, nullptr, 0, 0, PM_NOREMOVE);
        Sleep(options.windowDelayMs);
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = options.windowClass.c_str();
    if (!RegisterClassExW(&windowClass)) return 3;

    mainWindow = CreateWindowExW(0, options.windowClass.c_str(), options.title.c_str(),
                                 WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 640, 400,
                                 nullptr, nullptr, instance, nullptr);
    if (mainWindow == nullptr) return 3;
    ShowWindow(mainWindow, show);
    UpdateWindow(mainWindow);
    if (options.lifetimeMs != 0) SetTimer(mainWindow, kLifetimeTimer, options.lifetimeMs, nullptr);

    // Command-line mode: the path came with the command line.
    if (!options.jobPath.empty()) HandleJob(L"job via=commandline", options.jobPath);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
