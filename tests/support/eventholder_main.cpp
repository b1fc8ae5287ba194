// Keeps a manual-reset event open, as a job producer's service does with the
// kill event it creates at boot, so that the event outlives every agent.
// Usage: eventholder.exe SECONDS NAME   (ends by itself after SECONDS, at most 600)
#include <windows.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    wchar_t* name = nullptr;
    const unsigned long seconds = std::wcstoul(commandLine, &name, 10);
    while (name != nullptr && *name == L' ') ++name;
    if (seconds == 0 || seconds > 600 || name == nullptr || *name == L'\0') return 1;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name);
    if (event == nullptr) return 2;
    Sleep(seconds * 1000);
    CloseHandle(event);
    return 0;
}
