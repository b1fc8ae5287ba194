#include "job/stages.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "job/job_files.h"
#include "win/process_start.h"

#include <algorithm>
#include <cwchar>
#include <span>

namespace lmvn {
namespace {

constexpr DWORD kProgressIdleWaitMs = 20000;
constexpr int kProfileValueUnits = 256;

// A progress indicator that has no window when its job is done gets this long
// to show one (looked for every kProgressWindowPollMs), then it is ended.
constexpr DWORD kProgressWindowGraceMs = 1000;
constexpr DWORD kProgressWindowPollMs = 50;
constexpr UINT kWindowlessIndicatorExitCode = 1;

// Composes "<agent's directory>\<program> <jobPath>" in `command`, which is
// cleared first. Neither part is quoted. False, with `command` left empty,
// when the agent's own path or the whole line does not fit.
bool ComposeStageCommandLine(std::span<wchar_t> command, const wchar_t* program,
                             const wchar_t* jobPath) {
    std::fill(command.begin(), command.end(), L'\0');
    const DWORD size = static_cast<DWORD>(command.size());
    const DWORD length = Win32().GetModuleFileNameW(nullptr, command.data(), size);
    // A path that fills the whole buffer was cut (and may lack its terminator).
    bool fits = length > 0 && length < size;
    if (fits) {
        wchar_t* lastBackslash = std::wcsrchr(command.data(), L'\\');
        const size_t directoryEnd = lastBackslash ? lastBackslash - command.data() + 1 : 0;
        command[directoryEnd] = L'\0';
        fits = AppendText(command, program) && AppendText(command, L" ") &&
               AppendText(command, jobPath);
    }
    if (!fits) std::fill(command.begin(), command.end(), L'\0');
    return fits;
}

// Starts the composed command line; a line that did not fit counts as a
// start that failed.
bool StartStage(std::span<wchar_t> command, bool composed, BOOL inheritHandles,
                UniqueProcess& child) {
    if (!composed) return false;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessRetryingW(nullptr, command.data(), nullptr, nullptr, inheritHandles,
                                NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &info)) {
        return false;
    }
    child.adopt(info);
    return true;
}

// Folds A to Z only; every other character stands as it is.
wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
    for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
        if (FoldAscii(*a) != FoldAscii(*b)) return false;
    }
    return *a == *b;
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* windowClass;
    HWND found;
};

BOOL CALLBACK MatchProcessWindow(HWND window, LPARAM param) {
    auto& search = *reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    Win32().GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId) return TRUE;
    wchar_t name[kTextUnits] = {};
    if (Win32().GetClassNameW(window, name, kTextUnits) == 0) return TRUE;
    if (std::wcscmp(name, search.windowClass) != 0) return TRUE;
    search.found = window;
    return FALSE;
}

// The top-level window of class `windowClass` that process `processId` owns,
// or null (also when the process is not known).
HWND FindProgressWindow(DWORD processId, const wchar_t* windowClass) {
    if (processId == 0) return nullptr;
    WindowSearch search{processId, windowClass, nullptr};
    Win32().EnumWindows(MatchProcessWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

BOOL RunPreprocessor(const wchar_t* jobPath) {
    wchar_t command[kLongTextUnits];
    const bool composed = ComposeStageCommandLine(command, kPreprocessorName, jobPath);
    UniqueProcess child;
    if (!StartStage(command, composed, FALSE, child)) return FALSE;

    Win32().WaitForSingleObject(child.process.get(), INFINITE);
    child.process.reset();
    child.thread.reset();
    if (LogEnabled != 0) WriteLog(L"Preprocessing finished.");
    return TRUE;
}

BOOL CheckPreprocessingResult(const wchar_t* jobPath) {
    wchar_t result[kProfileValueUnits] = {};
    const DWORD read = Win32().GetPrivateProfileStringW(L"Document", L"PreprocessingResult", L"",
                                                        result, kProfileValueUnits, jobPath);
    if (read == 0) return TRUE;
    return EqualsIgnoringAsciiCase(result, L"Cancel") ? FALSE : TRUE;
}

UniqueHandle StartProgressIndicator(const wchar_t* jobPath) {
    wchar_t command[kTextUnits];
    const bool composed = ComposeStageCommandLine(command, kProgressName, jobPath);
    UniqueProcess child;
    if (StartStage(command, composed, FALSE, child)) {
        // Whether it became idle in time does not matter: the job goes on.
        Win32().WaitForInputIdle(child.process.get(), kProgressIdleWaitMs);
    }
    if (LogEnabled != 0 && child.process) WriteLog(L"Progress indicator started.");
    child.thread.reset();
    return std::move(child.process);
}

BOOL RunConverter(const wchar_t* jobPath) {
    wchar_t command[kLongTextUnits];
    const bool composed = ComposeStageCommandLine(command, kConverterName, jobPath);
    if (LogEnabled != 0) WriteLog(L"Starting converter.");

    UniqueProcess child;
    if (!StartStage(command, composed, TRUE, child)) {
        ReportError(reports::kConverterMissing);
        DeleteJobFile(jobPath);  // the EMF files it lists stay
        return FALSE;
    }

    Win32().WaitForSingleObject(child.process.get(), INFINITE);
    child.process.reset();
    child.thread.reset();
    if (LogEnabled != 0) WriteLog(L"Converter finished.");
    return TRUE;
}

void CloseProgressIndicator(UniqueHandle progress) {
    if (!progress) return;  // nothing was started, so there is nothing to close
    Win32Api& api = Win32();

    wchar_t windowClass[kTextUnits];
    FormatText(windowClass, L"%s progress indicator", kPrinterName);
    // Only the window of the process this job started: with jobs overlapping,
    // every other job's indicator has a window of the same class.
    const HANDLE process = progress.get();
    const DWORD processId = api.GetProcessId(process);
    HWND window = FindProgressWindow(processId, windowClass);
    // A window that has not come yet may still come: look again for a short
    // while, unless the process ends meanwhile.
    for (DWORD waited = 0; window == nullptr && waited < kProgressWindowGraceMs;
         waited += kProgressWindowPollMs) {
        if (api.WaitForSingleObject(process, kProgressWindowPollMs) != WAIT_TIMEOUT) break;
        window = FindProgressWindow(processId, windowClass);
    }
    if (window != nullptr) {
        api.PostMessageW(window, WM_CLOSE, 0, 0);
    } else if (api.WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        // Still running, with no window to close: it would never be told to
        // end. It is this job's own process, so end it.
        api.TerminateProcess(process, kWindowlessIndicatorExitCode);
    }
    progress.reset();  // not waited for
    if (LogEnabled != 0) WriteLog(L"Progress indicator process terminated.");
}

StageOutcome RunStageSequence(const wchar_t* jobPath, UniqueHandle& progress) {
    RunPreprocessor(jobPath);  // a preprocessor that cannot start is simply skipped
    if (!CheckPreprocessingResult(jobPath)) return StageOutcome::Cancelled;
    progress = StartProgressIndicator(jobPath);
    if (!RunConverter(jobPath)) return StageOutcome::ConverterFailed;
    return StageOutcome::Converted;
}

}  // namespace lmvn
