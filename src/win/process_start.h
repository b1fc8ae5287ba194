// Starting a program, tried again while the system rather than the program
// is what failed.
#pragma once

#include "win/win32api.h"

#include <windows.h>

namespace lmvn {

// A start may fail because the system is short of something for a moment
// (memory, a resource of the session), or, under Wine, because the new
// process died while it was being set up (ERROR_INTERNAL_ERROR, seen now and
// then on a loaded machine). None of these says anything about the program.
bool IsTransientStartError(DWORD error);

inline constexpr int kProcessStartAttempts = 3;
inline constexpr DWORD kProcessStartPauseMs = 100;

// Calls `start` (a program start that returns nonzero on success and sets the
// last error on failure) up to kProcessStartAttempts times, kProcessStartPauseMs
// apart, while it fails with a transient error. Any other failure ends at
// once. After a failure, the last error is that of the last try. `onRetry`,
// when given, hears of each failure that is tried again.
template <typename Start>
BOOL StartRetrying(Start start, void (*onRetry)(DWORD error) = nullptr) {
    for (int attempt = 1;; ++attempt) {
        if (start()) return TRUE;
        const DWORD error = ::GetLastError();
        if (attempt >= kProcessStartAttempts || !IsTransientStartError(error)) {
            ::SetLastError(error);
            return FALSE;
        }
        if (onRetry != nullptr) onRetry(error);
        Win32().Sleep(kProcessStartPauseMs);
    }
}

// CreateProcessW through the platform seam, with the same arguments and
// result, tried again as StartRetrying tries.
BOOL CreateProcessRetryingW(LPCWSTR application, LPWSTR commandLine,
                            LPSECURITY_ATTRIBUTES processAttributes,
                            LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                            DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                            LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation,
                            void (*onRetry)(DWORD error) = nullptr);

}  // namespace lmvn
