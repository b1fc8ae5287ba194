#include "diag/event_log.h"

#include "common/settings.h"
#include "win/win32api.h"

#include <mutex>

namespace lmvn {
namespace {

struct EventSource {
    std::mutex lock;
    HANDLE handle = nullptr;
    bool failed = false;  // registering failed once: not tried again for every report
};
EventSource source;

}  // namespace

void WriteEventLog(DWORD code, WORD type, const wchar_t* text) {
    if (EventLogEnabled == 0) return;
    const DWORD saved = ::GetLastError();
    {
        std::lock_guard<std::mutex> hold(source.lock);
        if (source.handle == nullptr && !source.failed) {
            source.handle = Win32().RegisterEventSourceW(nullptr, kEventSourceName);
            source.failed = source.handle == nullptr;
        }
        if (source.handle != nullptr) {
            const wchar_t* strings[] = {text};
            (void)Win32().ReportEventW(source.handle, type, 0, code, nullptr, 1, 0, strings,
                                       nullptr);
        }
    }
    ::SetLastError(saved);
}

void CloseEventLog() {
    std::lock_guard<std::mutex> hold(source.lock);
    if (source.handle != nullptr) Win32().DeregisterEventSource(source.handle);
    source.handle = nullptr;
    source.failed = false;
}

}  // namespace lmvn
