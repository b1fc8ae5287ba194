#include "diag/event_log.h"

#include "common/settings.h"
#include "win/win32api.h"

#include <mutex>
#include <shared_mutex>

namespace lmvn {
namespace {

// Reports go out side by side under the shared lock: a slow Event Log holds up
// no other thread's report, the main thread's included. Registering and
// closing the source take the lock alone.
struct EventSource {
    std::shared_mutex lock;
    HANDLE handle = nullptr;
    bool failed = false;  // registering failed once: not tried again for every report
};
EventSource source;

}  // namespace

void WriteEventLog(DWORD code, WORD type, const wchar_t* text) {
    if (EventLogEnabled == 0) return;
    const DWORD saved = ::GetLastError();
    bool tried = false;
    {
        std::shared_lock<std::shared_mutex> hold(source.lock);
        tried = source.handle != nullptr || source.failed;
    }
    if (!tried) {
        std::lock_guard<std::shared_mutex> hold(source.lock);
        if (source.handle == nullptr && !source.failed) {
            source.handle = Win32().RegisterEventSourceW(nullptr, kEventSourceName);
            source.failed = source.handle == nullptr;
        }
    }
    {
        std::shared_lock<std::shared_mutex> hold(source.lock);
        if (source.handle != nullptr) {
            const wchar_t* strings[] = {text};
            (void)Win32().ReportEventW(source.handle, type, 0, code, nullptr, 1, 0, strings,
                                       nullptr);
        }
    }
    ::SetLastError(saved);
}

void CloseEventLog() {
    // At the end of the agent, threads may still be reporting: the source is
    // then left to the end of the process rather than waited for.
    std::unique_lock<std::shared_mutex> hold(source.lock, std::try_to_lock);
    if (!hold.owns_lock()) return;
    if (source.handle != nullptr) Win32().DeregisterEventSource(source.handle);
    source.handle = nullptr;
    source.failed = false;
}

}  // namespace lmvn
