// Error reports: a system-modal message box captioned AgentCaption, or, in
// message mode, a broadcast of the notify message carrying only the
// notification code (and the system error number).
#pragma once

#include <windows.h>

namespace lmvn {

struct ReportKind {
    DWORD code;
    const wchar_t* text;
};

// Every report the agent makes: its notification code and its text. Texts
// holding %s are filled in by the caller; "%PRINTER_NAME%" is replaced in the
// message box only.
namespace reports {
inline constexpr ReportKind kLogOpenFailed{0xF001, L"Failed to open the log file:\n%s"};
inline constexpr ReportKind kPrintEventFailed{0xF002, L"Failed to create event object [0]."};
inline constexpr ReportKind kSharedEventFailed{0xF003, L"Failed to create event object [1]."};
inline constexpr ReportKind kCreateThreadFailed{0xF004, L"CreateThread() failed."};
inline constexpr ReportKind kJobInfoFailed{0xF005, L"Failed to get print job info."};
inline constexpr ReportKind kRegistryOpenFailed{0xF006,
                                                L"Failed to open registry key\nHKLM\\Software\\%s"};
inline constexpr ReportKind kTargetInaccessible{0xF007, L"Target application is inaccessible."};
inline constexpr ReportKind kSetClipboardFailed{0xF008, L"Failed to set clipboard data."};
inline constexpr ReportKind kOpenClipboardFailed{0xF009, L"Failed to open clipboard."};
inline constexpr ReportKind kConverterMissing{0xF010, L"Cannot find converter executable."};
inline constexpr ReportKind kPrintEventHeld{
    0xF011, L"Failed to create event object [0]. Another program holds its name."};
inline constexpr ReportKind kJobFileUntrusted{
    0xF012, L"The job description file was not written by a trusted account. The job is refused."};
inline constexpr ReportKind kNotConfigured{
    111,
    L"The %PRINTER_NAME% printer has not been properly configured. Please re-install the "
    L"%PRINTER_NAME% software."};
inline constexpr ReportKind kClientMissing{
    112,
    L"The %PRINTER_NAME% printer has not been properly configured. A required file could not "
    L"be located. Please contact support."};
inline constexpr ReportKind kDispatcherFailed{
    113,
    L"The %PRINTER_NAME% printer has not been properly configured. The external dispatcher "
    L"could not be run. Please contact support."};

inline constexpr ReportKind kAll[] = {
    kLogOpenFailed,       kPrintEventFailed,   kSharedEventFailed,  kCreateThreadFailed,
    kJobInfoFailed,       kRegistryOpenFailed, kTargetInaccessible, kSetClipboardFailed,
    kOpenClipboardFailed, kConverterMissing,   kPrintEventHeld,     kJobFileUntrusted,
    kNotConfigured,       kClientMissing,      kDispatcherFailed};
}  // namespace reports

// Reports `text` under `code`. Logs the text unchanged when logging is on;
// broadcasts (wParam code, lParam 0) and returns 1 in message mode when the
// code is non-zero; otherwise shows the box with "%PRINTER_NAME%" replaced by
// the printer name and "\n" (backslash, n) turned into a line break, and
// returns MessageBoxW's result. While a box with the same text is open, no
// second one is shown (0 is returned at once): the report is in the log.
int ReportError(const wchar_t* text, DWORD code, HWND owner, UINT style);

// Reports `text` with the system's description of `error` (0: the calling
// thread's last error) as "%s\nError # %d: %s". Returns 0 and does nothing
// when there is no error number.
int ReportSystemError(const wchar_t* text, DWORD code, DWORD error, HWND owner, UINT style);

// The same two, with the code and text of a table entry.
inline int ReportError(const ReportKind& kind) {
    return ReportError(kind.text, kind.code, nullptr, MB_SYSTEMMODAL);
}
inline int ReportSystemError(const ReportKind& kind, DWORD error) {
    return ReportSystemError(kind.text, kind.code, error, nullptr, MB_SYSTEMMODAL);
}

// The Event Log type of the report with `code`: a warning for a failure that
// touched nothing and passes by itself (another program held the clipboard),
// else an error.
WORD EventTypeFor(DWORD code);

// Step 3 of ReportError as a pure routine: the text a message box shows.
// `out` always ends with a terminator; text that does not fit is cut.
void ExpandReportText(wchar_t* out, size_t units, const wchar_t* text);

}  // namespace lmvn
