// Keeps a manual-reset event open, as a job producer's service does with the
// kill event it creates at boot, so that the event outlives every agent; or,
// with "mutex " before the name, holds a mutex under the name instead, as
// another program that took the name would.
// Usage: eventholder.exe SECONDS [mutex ]NAME   (ends by itself after SECONDS, at most 600)
#include <windows.h>

#include <cwchar>
#include <iterator>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    wchar_t* name = nullptr;
    const unsigned long seconds = std::wcstoul(commandLine, &name, 10);
    while (name != nullptr && *name == L' ') ++name;
    if (seconds == 0 || seconds > 600 || name == nullptr || *name == L'\0') return 1;
    constexpr wchar_t kMutex[] = L"mutex ";
    constexpr size_t kMutexLength = std::size(kMutex) - 1;
    const bool mutex = std::wcsncmp(name, kMutex, kMutexLength) == 0;
    if (mutex) name += kMutexLength;
    HANDLE object =
        mutex ? CreateMutexW(nullptr, TRUE, name) : CreateEventW(nullptr, TRUE, FALSE, name);
    if (object == nullptr) return 2;
    Sleep(seconds * 1000);
    CloseHandle(object);
    return 0;
}
