#include "win/process_start.h"

#include "win/win32api.h"

namespace lmvn {

bool IsTransientStartError(DWORD error) {
    switch (error) {
        case ERROR_INTERNAL_ERROR:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
            return true;
        default:
            return false;
    }
}

BOOL CreateProcessRetryingW(LPCWSTR application, LPWSTR commandLine,
                            LPSECURITY_ATTRIBUTES processAttributes,
                            LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                            DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                            LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation,
                            void (*onRetry)(DWORD error)) {
    Win32Api& api = Win32();
    for (int attempt = 1;; ++attempt) {
        if (api.CreateProcessW(application, commandLine, processAttributes, threadAttributes,
                               inheritHandles, creationFlags, environment, currentDirectory,
                               startupInfo, processInformation)) {
            return TRUE;
        }
        const DWORD error = ::GetLastError();
        if (attempt >= kProcessStartAttempts || !IsTransientStartError(error)) {
            ::SetLastError(error);
            return FALSE;
        }
        if (onRetry != nullptr) onRetry(error);
        api.Sleep(kProcessStartPauseMs);
    }
}

}  // namespace lmvn
