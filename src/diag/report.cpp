#include "diag/report.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "win/win32api.h"

#include <cwchar>

namespace lmvn {
namespace {

constexpr wchar_t kPlaceholder[] = L"%PRINTER_NAME%";
constexpr size_t kPlaceholderLength = sizeof(kPlaceholder) / sizeof(wchar_t) - 1;

// Replaces each `from` in `in` by `to`, left to right, without scanning
// replaced text again.
void ReplaceAll(wchar_t* out, size_t units, const wchar_t* in, const wchar_t* from,
                const wchar_t* to) {
    const size_t fromLength = wcslen(from);
    size_t pos = 0;
    auto put = [&](wchar_t c) {
        if (pos + 1 < units) out[pos++] = c;
    };
    while (*in) {
        if (wcsncmp(in, from, fromLength) == 0) {
            for (const wchar_t* t = to; *t; ++t) put(*t);
            in += fromLength;
        } else {
            put(*in++);
        }
    }
    out[pos] = L'\0';
}

void Broadcast(DWORD code, DWORD error) {
    Win32().SendNotifyMessageW(HWND_BROADCAST, NotifyMessageId, static_cast<WPARAM>(code),
                               static_cast<LPARAM>(error));
}

// Reports the texts of this agent fit; the copy lives on the stack so that a
// report never depends on obtaining memory.
constexpr size_t kReportUnits = 2048;

}  // namespace

void ExpandReportText(wchar_t* out, size_t units, const wchar_t* text) {
    static_assert(kPlaceholderLength == 14);
    wchar_t named[kReportUnits];
    ReplaceAll(named, kReportUnits, text, kPlaceholder, kPrinterName);
    ReplaceAll(out, units, named, L"\\n", L"\n");
}

int ReportError(const wchar_t* text, DWORD code, HWND owner, UINT style) {
    if (LogEnabled != 0) WriteLog(text);
    if (MessageMode == 1 && code != 0) {
        Broadcast(code, 0);
        return 1;
    }
    wchar_t shown[kReportUnits];
    ExpandReportText(shown, kReportUnits, text);
    return Win32().MessageBoxW(owner, shown, AgentCaption, style);
}

int ReportSystemError(const wchar_t* text, DWORD code, DWORD error, HWND owner, UINT style) {
    if (error == 0) error = ::GetLastError();
    if (error == 0) return 0;

    wchar_t description[512] = {};
    if (Win32().FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error, 0, description, 512,
                               nullptr) == 0) {
        description[0] = L'\0';
    }
    wchar_t composed[kLongTextUnits];
    FormatText1024(composed, L"%s\nError # %d: %s", text, static_cast<int>(error), description);

    if (LogEnabled != 0) WriteLog(composed);
    if (MessageMode == 1 && code != 0) {
        Broadcast(code, error);
        return 1;
    }
    return Win32().MessageBoxW(owner, composed, AgentCaption, style);
}

}  // namespace lmvn
