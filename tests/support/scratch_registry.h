// A scratch HKEY_LOCAL_MACHINE for one unit test: the process's HKLM is
// redirected (RegOverridePredefKey) to a fresh key under HKCU, so that unit
// tests, which may run beside each other and beside a real agent, never see
// or change the real HKLM\Software\Lumvane. The redirection ends and the
// scratch key is deleted with the object.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace lmvntest {

class ScratchMachineKey {
  public:
    ScratchMachineKey();
    ~ScratchMachineKey();
    ScratchMachineKey(const ScratchMachineKey&) = delete;
    ScratchMachineKey& operator=(const ScratchMachineKey&) = delete;

    bool ok() const { return agent_ != nullptr; }
    // Values under (scratch) HKLM\Software\Lumvane.
    bool SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size);
    bool SetString(const wchar_t* name, const std::wstring& text);
    bool SetDword(const wchar_t* name, DWORD value);
    bool Delete(const wchar_t* name);
    bool Exists(const wchar_t* name) const;
    std::optional<std::wstring> GetString(const wchar_t* name) const;
    // Removes Software\Lumvane altogether (the key is then absent).
    void RemoveAgentKey();

    // Creates Software\Lumvane\Settings under the scratch HKLM and writes a
    // value there.
    bool SetSettingsDword(const wchar_t* name, DWORD value);

  private:
    std::wstring path_;  // under HKCU
    HKEY root_ = nullptr;
    HKEY agent_ = nullptr;
};

// Gives HKEY_LOCAL_MACHINE-style key `root`\`path` the owner and DACL of
// `sddl` (for example a DACL that lets users write). Returns the status.
LONG SetKeyRights(HKEY root, const std::wstring& path, const wchar_t* sddl);

// A RegOpenKeyExW for ScopedApiOverride that refuses (access denied) every
// key whose path ends in "\Settings", as Windows does for a Settings key
// whose DACL shuts the user out, and opens all others.
LONG WINAPI OpenDenyingSettingsKey(HKEY root, LPCWSTR path, DWORD options, REGSAM access,
                                   PHKEY key);

}  // namespace lmvntest
