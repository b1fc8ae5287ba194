#include "diag/report.h"

#include "common/settings.h"
#include "diag/event_log.h"
#include "diag/format.h"
#include "diag/log.h"
#include "win/win32api.h"

#include <cwchar>
#include <mutex>

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

// ---- One box per text ---------------------------------------------------------------
//
// Whoever may set a job event can make the agent report the same failure
// again and again (a signal with no job stored). A box stays until the user
// answers it, so each would keep a thread and a window. While a box with a
// text is open, the same text is not shown again: it is in the log (and, in
// message mode, every report is broadcast as ever). The texts are told apart
// by a 64-bit hash, so that this needs no memory of its own.
constexpr size_t kOpenBoxSlots = 64;

struct OpenBoxes {
    std::mutex lock;
    unsigned long long hash[kOpenBoxSlots] = {};
    bool used[kOpenBoxSlots] = {};
};
OpenBoxes openBoxes;

unsigned long long HashOf(const wchar_t* text) {
    unsigned long long hash = 14695981039346656037ull;  // FNV-1a
    for (; *text != L'\0'; ++text) {
        hash ^= static_cast<unsigned long long>(*text);
        hash *= 1099511628211ull;
    }
    return hash;
}

// Shows the box unless one with the same text is open; then returns 0.
int ShowBox(HWND owner, const wchar_t* text, UINT style) {
    const unsigned long long hash = HashOf(text);
    size_t slot = kOpenBoxSlots;  // none: more distinct boxes than slots are open
    {
        std::lock_guard<std::mutex> hold(openBoxes.lock);
        for (size_t i = 0; i < kOpenBoxSlots; ++i) {
            if (openBoxes.used[i] && openBoxes.hash[i] == hash) return 0;
        }
        for (size_t i = 0; i < kOpenBoxSlots && slot == kOpenBoxSlots; ++i) {
            if (!openBoxes.used[i]) slot = i;
        }
        if (slot < kOpenBoxSlots) {
            openBoxes.used[slot] = true;
            openBoxes.hash[slot] = hash;
        }
    }
    const int result = Win32().MessageBoxW(owner, text, AgentCaption, style);
    if (slot < kOpenBoxSlots) {
        const DWORD saved = ::GetLastError();
        std::lock_guard<std::mutex> hold(openBoxes.lock);
        openBoxes.used[slot] = false;
        ::SetLastError(saved);
    }
    return result;
}

}  // namespace

void ExpandReportText(wchar_t* out, size_t units, const wchar_t* text) {
    static_assert(kPlaceholderLength == 14);
    wchar_t named[kReportUnits];
    ReplaceAll(named, kReportUnits, text, kPlaceholder, kPrinterName);
    ReplaceAll(out, units, named, L"\\n", L"\n");
}

WORD EventTypeFor(DWORD code) {
    return code == reports::kOpenClipboardFailed.code ? EVENTLOG_WARNING_TYPE : EVENTLOG_ERROR_TYPE;
}

int ReportError(const wchar_t* text, DWORD code, HWND owner, UINT style) {
    if (LogEnabled != 0) WriteLog(text);
    wchar_t shown[kReportUnits];
    ExpandReportText(shown, kReportUnits, text);
    WriteEventLog(code, EventTypeFor(code), shown);
    if (MessageMode == 1 && code != 0) {
        Broadcast(code, 0);
        return 1;
    }
    return ShowBox(owner, shown, style);
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
    WriteEventLog(code, EventTypeFor(code), composed);
    if (MessageMode == 1 && code != 0) {
        Broadcast(code, error);
        return 1;
    }
    return ShowBox(owner, composed, style);
}

}  // namespace lmvn
