#include "scratch_registry.h"

#include <sddl.h>

#include <cwchar>

namespace lmvntest {

ScratchMachineKey::ScratchMachineKey() {
    static LONG counter = 0;
    path_ = L"Software\\LumvaneScratch\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(InterlockedIncrement(&counter));
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &root_, nullptr) != ERROR_SUCCESS) {
        root_ = nullptr;
        return;
    }
    if (RegOverridePredefKey(HKEY_LOCAL_MACHINE, root_) != ERROR_SUCCESS) return;
    if (RegCreateKeyExW(root_, L"Software\\Lumvane", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &agent_, nullptr) != ERROR_SUCCESS) {
        agent_ = nullptr;
    }
}

ScratchMachineKey::~ScratchMachineKey() {
    if (agent_ != nullptr) RegCloseKey(agent_);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    if (root_ != nullptr) RegCloseKey(root_);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
}

bool ScratchMachineKey::SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    return agent_ != nullptr &&
           RegSetValueExW(agent_, name, 0, type, static_cast<const BYTE*>(data), size) ==
               ERROR_SUCCESS;
}

bool ScratchMachineKey::SetString(const wchar_t* name, const std::wstring& text) {
    return SetRaw(name, REG_SZ, text.c_str(),
                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool ScratchMachineKey::SetDword(const wchar_t* name, DWORD value) {
    return SetRaw(name, REG_DWORD, &value, sizeof(value));
}

bool ScratchMachineKey::Delete(const wchar_t* name) {
    return agent_ != nullptr && RegDeleteValueW(agent_, name) == ERROR_SUCCESS;
}

bool ScratchMachineKey::Exists(const wchar_t* name) const {
    return agent_ != nullptr &&
           RegQueryValueExW(agent_, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::optional<std::wstring> ScratchMachineKey::GetString(const wchar_t* name) const {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    if (agent_ == nullptr ||
        RegQueryValueExW(agent_, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

void ScratchMachineKey::RemoveAgentKey() {
    if (agent_ != nullptr) RegCloseKey(agent_);
    agent_ = nullptr;
    if (root_ != nullptr) RegDeleteTreeW(root_, L"Software\\Lumvane");
}

bool ScratchMachineKey::SetSettingsDword(const wchar_t* name, DWORD value) {
    HKEY settings = nullptr;
    if (root_ == nullptr ||
        RegCreateKeyExW(root_, L"Software\\Lumvane\\Settings", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &settings, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG status = RegSetValueExW(settings, name, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(settings);
    return status == ERROR_SUCCESS;
}

LONG SetKeyRights(HKEY root, const std::wstring& path, const wchar_t* sddl) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(root, path.c_str(), 0, WRITE_DAC | WRITE_OWNER, &key);
    if (status != ERROR_SUCCESS) return status;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                             nullptr)) {
        status = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   descriptor);
        LocalFree(descriptor);
    } else {
        status = static_cast<LONG>(GetLastError());
    }
    RegCloseKey(key);
    return status;
}

LONG WINAPI OpenDenyingSettingsKey(HKEY root, LPCWSTR path, DWORD options, REGSAM access,
                                   PHKEY key) {
    constexpr wchar_t kTail[] = L"\\Settings";
    const size_t length = path != nullptr ? std::wcslen(path) : 0;
    const size_t tail = std::wcslen(kTail);
    if (length >= tail && _wcsicmp(path + length - tail, kTail) == 0) return ERROR_ACCESS_DENIED;
    return RegOpenKeyExW(root, path, options, access, key);
}

}  // namespace lmvntest
