// What another program can do to the agent's named events; the tests run it
// as an ordinary user (ordinary_user.h).
// Usage:
//   eventprobe.exe set NAME             opens the event for EVENT_MODIFY_STATE
//                                       and sets it
//   eventprobe.exe squat SECONDS NAME   creates a manual-reset event with a
//                                       null DACL under NAME, before anyone
//                                       else, and holds it SECONDS (at most 600)
// Exit code 0, or the Win32 error of the step that failed (squat: 183 when
// the name was taken already); 87 for a command line it does not know.
#include <windows.h>

#include <shellapi.h>

#include <cwchar>

namespace {

int Set(const wchar_t* name) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (event == nullptr) return static_cast<int>(GetLastError());
    const int result = SetEvent(event) ? 0 : static_cast<int>(GetLastError());
    CloseHandle(event);
    return result;
}

int Squat(unsigned long seconds, const wchar_t* name) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);  // everyone may do anything
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    HANDLE event = CreateEventW(&attributes, TRUE, FALSE, name);
    if (event == nullptr) return static_cast<int>(GetLastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(event);
        return ERROR_ALREADY_EXISTS;
    }
    Sleep(seconds * 1000);
    CloseHandle(event);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    int result = ERROR_INVALID_PARAMETER;
    if (argv != nullptr && argc == 3 && std::wcscmp(argv[1], L"set") == 0) {
        result = Set(argv[2]);
    } else if (argv != nullptr && argc == 4 && std::wcscmp(argv[1], L"squat") == 0) {
        const unsigned long seconds = std::wcstoul(argv[2], nullptr, 10);
        if (seconds > 0 && seconds <= 600) result = Squat(seconds, argv[3]);
    }
    LocalFree(argv);
    return result;
}
