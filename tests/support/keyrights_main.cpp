// Prints the DACL of a key under HKEY_LOCAL_MACHINE (default
// Software\Lumvane) in SDDL form on standard output, for the installer test.
// Exit code 0, or the Win32 error of the step that failed.
#include <windows.h>

#include <sddl.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    const std::wstring path = commandLine != nullptr && commandLine[0] != L'\0'
                                  ? std::wstring(commandLine)
                                  : std::wstring(L"Software\\Lumvane");
    HKEY key = nullptr;
    LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL | KEY_WOW64_64KEY, &key);
    if (status != ERROR_SUCCESS) return static_cast<int>(status);
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    std::string buffer(size, '\0');
    status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return static_cast<int>(status);
    LPSTR sddl = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            buffer.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        return static_cast<int>(GetLastError());
    }
    const std::string line = std::string(sddl) + "\n";
    LocalFree(sddl);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
    return 0;
}
