// Custom actions of the Lumvane installer package (lmvnsetup.dll, stored in
// the package's Binary table, never installed). Each one is bounded in time,
// shows no window and returns ERROR_SUCCESS unless the installation must stop:
//
//   CheckSettings   immediate, after AppSearch: refuses to install over a
//                   newer version; checks the public properties
//                   that configure the agent, refuses a value out of range,
//                   and sets KEEP_<PROPERTY> to the data the package writes
//                   into HKLM\Software\Lumvane\Settings: the property's, else
//                   the value found there, else one written by hand under
//                   HKLM\Software\Lumvane (MAIN_<PROPERTY>), which is moved.
//   StopAgents      deferred, as LocalSystem, before files are replaced or
//                   removed: sets the kill event, waits at most 10 s for the
//                   agents to end, then resets it so that agents started
//                   later run.
//   SetKeyRights    deferred, as LocalSystem, after the values are written:
//                   creates HKLM\Software\Lumvane\Settings (also empty: its
//                   presence alone keeps the agent from reading settings in
//                   the key above) and gives both keys their DACLs.
//   RemoveSettings  deferred, as LocalSystem, at uninstall, after the
//                   package's values are gone: removes Settings, then
//                   HKLM\Software\Lumvane, each when nothing else is left in it.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <cwchar>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/events.h"
#include "common/settings.h"
#include "diag/format.h"
#include "win/registry.h"
#include "win/unique.h"

namespace {

using lmvn::UniqueFile;
using lmvn::UniqueHandle;
using lmvn::UniqueKey;

constexpr wchar_t kAgentExe[] = L"lmvnagent.exe";
constexpr DWORD kStopWaitMs = 10000;

// Both protected, so that nothing granted on HKLM\Software (or by an earlier
// installation) reaches the keys. See docs/security.md.
// HKLM\Software\Lumvane\Settings: SYSTEM and Administrators full control,
// Users read.
constexpr wchar_t kSettingsDacl[] = L"D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
// HKLM\Software\Lumvane, where the producer hands over jobs and each user's
// agent deletes the value it took: SYSTEM and Administrators full control;
// Users KEY_READ | KEY_SET_VALUE (0x2001B) on this key only, without
// KEY_CREATE_SUB_KEY, so that no user can create Settings where it is missing;
// read only on subkeys created later.
constexpr wchar_t kMainDacl[] =
    L"D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;;0x2001b;;;BU)(A;CIIO;KR;;;BU)";

// One line in the installer log ("msiexec /l*v"), from its pieces.
void Log(MSIHANDLE install, std::initializer_list<std::wstring_view> pieces) {
    PMSIHANDLE record = MsiCreateRecord(0);
    std::wstring line = L"Lumvane: ";
    for (const std::wstring_view piece : pieces) line += piece;
    MsiRecordSetStringW(record, 0, line.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
    DWORD size = 0;
    wchar_t empty[1] = {};
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return L"";
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return L"";
    value.resize(size);
    return value;
}

enum class Kind { Number, Text };

struct Setting {
    const wchar_t* property;
    const wchar_t* value;  // registry value name under HKLM\Software\Lumvane\Settings
    Kind kind;
    unsigned long limit;  // Number: largest value; Text: most characters
};

// The registry room of each value, as the agent reads it: 259 characters for
// the client texts, 255 for "LogDestDir".
constexpr Setting kSettings[] = {
    {L"CLIENTAPPLICATION", L"Client Application", Kind::Text, 259},
    {L"TRANSFERMODE", L"Transfer Mode", Kind::Number, 2},
    {L"TARGETWINDOWCLASS", L"Target Window Class", Kind::Text, 259},
    {L"TARGETWINDOWTITLE", L"Target Window Title", Kind::Text, 259},
    {L"CLIPBOARDFORMAT", L"Clipboard Format", Kind::Text, 259},
    {L"MESSAGEID", L"Message ID", Kind::Number, 0x7FFFFFFF},
    {L"LOG", L"Log", Kind::Number, 1},
    {L"LOGDESTDIR", L"LogDestDir", Kind::Text, 255},
    {L"MESSAGEMODE", L"Message Mode", Kind::Number, 1},
};

// Decimal digits only, no sign, no blank, at most `limit`.
bool ParseNumber(const std::wstring& text, unsigned long limit, unsigned long& number) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<unsigned long long>(c - L'0');
    }
    if (value > limit) return false;
    number = static_cast<unsigned long>(value);
    return true;
}

// The Registry table's form of the data: "#n" stores a REG_DWORD, and a text
// that begins with '#' needs one more in front to be stored as text.
std::wstring RegistryData(const Setting& setting, const std::wstring& given, std::wstring& error) {
    if (setting.kind == Kind::Number) {
        unsigned long number = 0;
        if (!ParseNumber(given, setting.limit, number)) {
            error = L"must be a whole number from 0 to ";
            error += std::to_wstring(setting.limit);
            return L"";
        }
        return L"#" + std::to_wstring(number);
    }
    if (given.size() > setting.limit) {
        error = L"is ";
        error += std::to_wstring(given.size());
        error += L" characters long; at most ";
        error += std::to_wstring(setting.limit);
        error += L" fit";
        return L"";
    }
    return given[0] == L'#' ? L"#" + given : given;
}

// "Software\\Lumvane", the agent's key under HKEY_LOCAL_MACHINE.
std::wstring KeyPath() {
    wchar_t path[lmvn::kTextUnits] = {};
    lmvn::FormatText(path, lmvn::kKeyPathFormat, lmvn::kPrinterName);
    return path;
}

// "Software\\Lumvane\\Settings", where the package writes the settings.
std::wstring SettingsPath() { return KeyPath() + L"\\" + lmvn::kSettingsSubkeyName; }

// Creates (or opens) HKLM\`path` and gives it the DACL `sddl`; returns the
// status of the step that failed.
LONG SetDacl(const std::wstring& path, const wchar_t* sddl) {
    UniqueKey key;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                  WRITE_DAC | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return static_cast<LONG>(GetLastError());
    }
    status = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return status;
}

// Removes HKLM\`path` when it holds no value and no subkey, and logs what it
// did or why not.
void RemoveIfEmpty(MSIHANDLE install, const std::wstring& path) {
    UniqueKey key;
    LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return;
    DWORD subkeys = 0;
    DWORD values = 0;
    if (status == ERROR_SUCCESS) {
        status = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                  &values, nullptr, nullptr, nullptr, nullptr);
    }
    if (status == ERROR_SUCCESS && subkeys == 0 && values == 0) {
        key.reset();
        status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);
        if (status == ERROR_SUCCESS) {
            Log(install, {L"HKLM\\", path, L" removed."});
            return;
        }
    }
    if (status != ERROR_SUCCESS) {
        Log(install,
            {L"HKLM\\", path, L" cannot be removed (error ", std::to_wstring(status), L")."});
    } else {
        Log(install, {L"HKLM\\", path, L" keeps ", std::to_wstring(values), L" value(s) and ",
                      std::to_wstring(subkeys), L" subkey(s) that the package did not write."});
    }
}

// Every running agent's process, opened for waiting. Agents of every session
// are listed: the action runs as LocalSystem.
std::vector<UniqueHandle> OpenAgents() {
    std::vector<UniqueHandle> agents;
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return agents;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) return agents;
    do {
        if (_wcsicmp(entry.szExeFile, kAgentExe) != 0) continue;
        UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (process) agents.push_back(std::move(process));
    } while (Process32NextW(snapshot.get(), &entry));
    return agents;
}

// Waits until every process has ended or the time is up; returns how many
// still run.
size_t WaitForEnd(const std::vector<UniqueHandle>& processes, DWORD limitMs) {
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    size_t running = 0;
    for (const UniqueHandle& process : processes) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0) ++running;
    }
    return running;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install) {
    // FindRelatedProducts has run: a newer version of the product is installed.
    const std::wstring newer = Property(install, L"WIX_DOWNGRADE_DETECTED");
    if (!newer.empty()) {
        Log(install, {L"a newer version of Lumvane is already installed (", newer,
                      L"); this older package is refused. Remove the newer one first."});
        return ERROR_INSTALL_FAILURE;
    }
    // Once Settings exists, users may write the key above (see SetKeyRights):
    // a value there is then nobody's to move into Settings.
    UniqueKey settings;
    const bool settingsExist =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, SettingsPath().c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                      settings.put()) != ERROR_FILE_NOT_FOUND;
    settings.reset();
    bool refused = false;
    for (const Setting& setting : kSettings) {
        const std::wstring keep = std::wstring(L"KEEP_") + setting.property;
        const std::wstring given = Property(install, setting.property);
        if (given.empty()) {
            // Not given: the value is left as it is, in Settings, or moved
            // there from the key above when only that has it.
            const std::wstring handWritten =
                Property(install, (L"MAIN_" + std::wstring(setting.property)).c_str());
            if (handWritten.empty() || !Property(install, keep.c_str()).empty()) continue;
            if (settingsExist) {
                Log(install, {L"\"", setting.value,
                              L"\" under HKLM\\Software\\Lumvane is left there and not used: "
                              L"Settings exists, and users may write the key above."});
                continue;
            }
            MsiSetPropertyW(install, keep.c_str(), handWritten.c_str());
            Log(install,
                {L"\"", setting.value, L"\" is moved from HKLM\\Software\\Lumvane into Settings."});
            continue;
        }
        std::wstring error;
        const std::wstring data = RegistryData(setting, given, error);
        if (!error.empty()) {
            Log(install, {setting.property, L"=\"", given, L"\" refused: ", error,
                          L" (registry value \"", setting.value, L"\")."});
            refused = true;
            continue;
        }
        MsiSetPropertyW(install, keep.c_str(), data.c_str());
        Log(install, {L"\"", setting.value, L"\" is set from ", setting.property, L"."});
    }
    if (refused) {
        Log(install, {L"a setting is out of range; nothing was installed or changed."});
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall StopAgents(MSIHANDLE install) {
    const std::vector<UniqueHandle> agents = OpenAgents();
    if (agents.empty()) {
        Log(install, {L"no agent is running."});
        return ERROR_SUCCESS;
    }
    lmvn::EventNames names;
    lmvn::FormatEventNames(names, FALSE, L"", 0);
    const UniqueHandle kill(OpenEventW(EVENT_MODIFY_STATE, FALSE, names.kill));
    size_t running = agents.size();
    if (!kill) {
        Log(install, {L"the kill event cannot be opened (error ", std::to_wstring(GetLastError()),
                      L"); running agents keep their files until the next restart."});
    } else {
        SetEvent(kill.get());
        running = WaitForEnd(agents, kStopWaitMs);
        // The agents never reset the event: an agent started while it is set
        // would leave at its first wait.
        ResetEvent(kill.get());
    }
    Log(install, {std::to_wstring(agents.size() - running), L" running agent(s) stopped, ",
                  std::to_wstring(running), L" still running."});
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall SetKeyRights(MSIHANDLE install) {
    const struct {
        std::wstring path;
        const wchar_t* sddl;
    } keys[] = {{SettingsPath(), kSettingsDacl}, {KeyPath(), kMainDacl}};
    for (const auto& key : keys) {
        const LONG status = SetDacl(key.path, key.sddl);
        if (status != ERROR_SUCCESS) {
            Log(install, {L"the rights on HKLM\\", key.path, L" cannot be set (error ",
                          std::to_wstring(status), L")."});
            return ERROR_INSTALL_FAILURE;
        }
        Log(install, {L"HKLM\\", key.path, L" has the DACL ", key.sddl, L"."});
    }
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveSettings(MSIHANDLE install) {
    RemoveIfEmpty(install, SettingsPath());
    RemoveIfEmpty(install, KeyPath());
    return ERROR_SUCCESS;
}
