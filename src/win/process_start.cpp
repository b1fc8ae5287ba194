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
    return StartRetrying(
        [&] {
            return Win32().CreateProcessW(
                application, commandLine, processAttributes, threadAttributes, inheritHandles,
                creationFlags, environment, currentDirectory, startupInfo, processInformation);
        },
        onRetry);
}

}  // namespace lmvn
