// Bringing the client's window to the foreground.
//
// The agent owns no window, so the foreground rules normally refuse its
// requests. For a window of another thread we set the user's foreground lock
// timeout to 0 for the length of one call, allow any process to take the
// foreground, synthesise an Alt press and release (which counts as user input
// and unlocks SetForegroundWindow), and put the user's timeout back.
#include "job/activation.h"

#include "win/win32api.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace lmvn {
namespace {

// The foreground lock timeout is one setting for the whole user: two
// activations overlapping between the save and the restore would write the 0
// of the first back as the user's value. So one thread at a time lifts it.
// Each lifting costs two WM_SETTINGCHANGE broadcasts to every top-level
// window, which take long when many windows are about; activations asked
// for while one is under way therefore wait for it and are then all done by
// one thread, within one lifting.
struct Activation {
    HWND window;
    bool otherThreads;  // not a window of the thread that asked
    bool done = false;
    BOOL result = FALSE;
};
std::mutex activationLock;
std::condition_variable activationEnded;
bool activating = false;
std::vector<Activation*> activationsAsked;

constexpr UINT kSpiFlags = SPIF_UPDATEINIFILE | SPIF_SENDCHANGE;  // 3

bool IsOtherThreadsWindow(HWND window) {
    // A destroyed or invalid window gives thread 0, which counts as another's.
    return Win32().GetWindowThreadProcessId(window, nullptr) != Win32().GetCurrentThreadId();
}

// Major and minor version, from the larger record and, when that is refused,
// from the smaller one. Both zero when neither call succeeds.
void ReadVersion(DWORD& major, DWORD& minor) {
    OSVERSIONINFOEXW large{};
    large.dwOSVersionInfoSize = sizeof(large);
    if (Win32().GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&large))) {
        major = large.dwMajorVersion;
        minor = large.dwMinorVersion;
        return;
    }
    OSVERSIONINFOW small{};
    small.dwOSVersionInfoSize = sizeof(small);
    if (Win32().GetVersionExW(&small)) {
        major = small.dwMajorVersion;
        minor = small.dwMinorVersion;
        return;
    }
    major = 0;
    minor = 0;
}

// Brings each window forward in turn; for windows of other threads with the
// user's timeout lifted once around all of them.
void ActivateAll(const std::vector<Activation*>& batch) {
    Win32Api& api = Win32();
    bool lift = false;
    for (const Activation* asked : batch) lift = lift || asked->otherThreads;

    DWORD savedTimeout = 0;  // stays 0 when the read fails, and 0 is written back
    if (lift) {
        api.SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &savedTimeout, 0);
        // The new value travels in the pointer argument.
        api.SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, nullptr, kSpiFlags);
    }
    for (Activation* asked : batch) {
        if (asked->otherThreads) {
            DWORD major = 0;
            DWORD minor = 0;
            ReadVersion(major, minor);
            if (NeedsAllowSetForeground(major, minor)) api.AllowSetForegroundWindow(ASFW_ANY);

            BYTE keys[256] = {};
            if (api.GetKeyboardState(keys) && (keys[VK_MENU] & 0x80) == 0) {
                api.keybd_event(VK_MENU, 0, KEYEVENTF_EXTENDEDKEY, 0);
                api.keybd_event(VK_MENU, 0, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
            }
        }
        asked->result = api.SetForegroundWindow(asked->window);
    }
    if (lift) {
        api.SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                                  reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(savedTimeout)),
                                  kSpiFlags);
    }
}

}  // namespace

bool NeedsAllowSetForeground(DWORD major, DWORD minor) {
    return major > 4 || (major == 4 && minor == 90);
}

BOOL ActivateWindow(HWND window) {
    Activation mine{window, IsOtherThreadsWindow(window)};
    std::unique_lock<std::mutex> hold(activationLock);
    activationsAsked.push_back(&mine);
    while (!mine.done) {
        if (activating) {
            // The thread that is lifting the timeout does ours next, or we
            // take over once it is done.
            activationEnded.wait(hold);
            continue;
        }
        std::vector<Activation*> batch;
        batch.swap(activationsAsked);  // ours among them
        activating = true;
        hold.unlock();
        ActivateAll(batch);
        hold.lock();
        activating = false;
        for (Activation* asked : batch) asked->done = true;
        activationEnded.notify_all();
    }
    return mine.result;
}

BOOL CALLBACK ActivateProcessWindow(HWND window, LPARAM processId) {
    DWORD owner = 0;
    Win32().GetWindowThreadProcessId(window, &owner);
    if (owner != 0 && owner == static_cast<DWORD>(processId)) {
        ActivateWindow(window);
        return FALSE;  // the topmost window of the process is the one; stop
    }
    return TRUE;
}

}  // namespace lmvn
