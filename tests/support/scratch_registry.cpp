#include "scratch_registry.h"

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

}  // namespace lmvntest
