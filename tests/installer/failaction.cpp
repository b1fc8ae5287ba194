// Custom actions that the installer test adds to copies of the package:
//   Fail   (deferred) returns 1603 (ERROR_INSTALL_FAILURE), to force a
//          failure at a chosen place of the installation script;
//   Plant  (immediate, after CheckSettings) plays a user who learned the
//          names of the installation's backups and made them first, each
//          with records that would write a client into Settings and start a
//          program of hers: a file where the data names a path, else a key
//          under HKLM\Software\Lumvane Setup that users may write, as such a
//          user would leave it.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "setup_records.h"

namespace {

using lmvnsetup::Record;
using lmvnsetup::RecordWriter;
using lmvnsetup::TextValue;

constexpr wchar_t kPlantedClient[] = L"C:\\Users\\Public\\planted.exe";

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
    wchar_t value[4096] = {};
    DWORD size = 4096;
    return MsiGetPropertyW(install, name, value, &size) == ERROR_SUCCESS ? value : L"";
}

std::wstring SettingsRecords() {
    const std::wstring client = kPlantedClient;
    RecordWriter out;
    out.Begin(L"key").Text(L"main").Number(1);
    out.Begin(L"key").Text(L"settings").Number(1);
    out.Begin(L"value").Text(L"settings").Number(1).Value(TextValue(L"Client Application", client));
    return out.str();
}

std::wstring AgentsRecords() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    RecordWriter out;
    out.Begin(L"agent").Number(session).Text(kPlantedClient);
    out.Begin(L"agent").Number(4242).Text(kPlantedClient);  // no such session
    return out.str();
}

void Plant(const std::wstring& name, const std::wstring& records) {
    if (name.find(L'\\') != std::wstring::npos) {
        const std::string bytes(records.begin(), records.end());
        HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
        return;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;KA;;;BU)(A;;KA;;;SY)(A;;KA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
        return;
    }
    HKEY key = nullptr;
    const std::wstring path = L"Software\\Lumvane Setup\\" + name;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegSetValueExW(key, L"Records", 0, REG_SZ, reinterpret_cast<const BYTE*>(records.c_str()),
                       static_cast<DWORD>((records.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    LocalFree(descriptor);
}

// The first text field of each record of an action's data.
std::vector<std::wstring> Names(MSIHANDLE install, const wchar_t* action) {
    std::vector<std::wstring> names;
    std::vector<Record> records;
    if (!lmvnsetup::ParseRecords(Property(install, action), records)) return names;
    for (Record& record : records) {
        std::wstring text;
        if ((record.tag == L"backup" || record.tag == L"file") && record.ReadText(text)) {
            names.push_back(text);
        }
    }
    return names;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall Fail(MSIHANDLE) { return ERROR_INSTALL_FAILURE; }

extern "C" __declspec(dllexport) UINT __stdcall Plant(MSIHANDLE install) {
    for (const std::wstring& name : Names(install, L"RollbackSettings")) {
        Plant(name, SettingsRecords());
    }
    for (const std::wstring& name : Names(install, L"RestartStoppedAgents")) {
        Plant(name, AgentsRecords());
    }
    return ERROR_SUCCESS;
}
