// Watches, with the agent's own code, what an agent starting at any moment
// would take for its machine-wide "Client Application": it opens the machine
// settings key as the agent does, every 2 ms, and writes a line to OUTFILE
// whenever what it sees changes ("settings" or "main" or "none", the open's
// status, the value's read status and text). For the installer test, which
// runs it through an upgrade.
// Usage: settingswatch.exe SECONDS OUTFILE   (ends after SECONDS, at most 600,
// or as soon as OUTFILE.stop exists)
#include <windows.h>

#include <cwchar>
#include <string>

#include "win/registry.h"
#include "win/unique.h"

namespace {

std::wstring Observe() {
    lmvn::UniqueKey key;
    lmvn::SettingsPlace place = lmvn::SettingsPlace::None;
    const LONG status =
        lmvn::OpenMachineSettingsKey(HKEY_LOCAL_MACHINE, L"Software\\Lumvane", key, &place);
    std::wstring seen = place == lmvn::SettingsPlace::SettingsKey ? L"settings"
                        : place == lmvn::SettingsPlace::MainKey   ? L"main"
                                                                  : L"none";
    seen += L" " + std::to_wstring(status);
    if (key) {
        wchar_t client[260] = {};
        const LONG read = lmvn::ReadTextValue(key.get(), L"Client Application", client);
        seen += L" " + std::to_wstring(read) + L" " + client;
    }
    return seen;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    wchar_t* rest = nullptr;
    const unsigned long seconds = std::wcstoul(commandLine, &rest, 10);
    while (rest != nullptr && *rest == L' ') ++rest;
    if (seconds == 0 || seconds > 600 || rest == nullptr || *rest == L'\0') return 1;
    const std::wstring out = rest;
    const std::wstring stop = out + L".stop";
    const lmvn::UniqueFile file(CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 2;
    const ULONGLONG deadline = GetTickCount64() + seconds * 1000ULL;
    std::wstring last;
    while (GetTickCount64() < deadline &&
           GetFileAttributesW(stop.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const std::wstring seen = Observe();
        if (seen != last) {
            last = seen;
            // UTF-8, one line per change.
            char line[1200] = {};
            const int length = WideCharToMultiByte(CP_UTF8, 0, seen.c_str(), -1, line,
                                                   sizeof(line) - 2, nullptr, nullptr);
            if (length > 0) {
                line[length - 1] = '\n';
                DWORD written = 0;
                WriteFile(file.get(), line, static_cast<DWORD>(length), &written, nullptr);
            }
        }
        Sleep(2);
    }
    return 0;
}
