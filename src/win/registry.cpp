#include "win/registry.h"

#include <cstring>
#include <cwchar>
#include <iterator>

namespace lmvn {
namespace {

LONG Noted(ValueRead* read, LONG status) {
    if (read != nullptr) read->status = status;
    return status;
}

}  // namespace

LONG ReadRawValue(HKEY key, const wchar_t* name, void* data, DWORD room, ValueRead* read) {
    // Read into scratch storage so that a failed read leaves `data` as it was.
    BYTE scratch[1024] = {};
    if (room > sizeof(scratch)) return Noted(read, ERROR_INVALID_PARAMETER);
    DWORD size = room;
    DWORD type = REG_NONE;
    // The type is only passed on to `read`; it decides nothing here.
    const LONG status =
        Win32().RegQueryValueExW(key, name, nullptr, read ? &type : nullptr, scratch, &size);
    if (read != nullptr) {
        *read = ValueRead{status, type,
                          status == ERROR_SUCCESS || status == ERROR_MORE_DATA ? size : 0};
    }
    if (status != ERROR_SUCCESS) return status;
    if (size > room) return Noted(read, ERROR_MORE_DATA);
    std::memcpy(data, scratch, room);
    return ERROR_SUCCESS;
}

LONG ReadTextValue(HKEY key, const wchar_t* name, std::span<wchar_t> out, ValueRead* read) {
    wchar_t text[512] = {};
    if (out.size() > 512 || out.empty()) return Noted(read, ERROR_INVALID_PARAMETER);
    const DWORD room = static_cast<DWORD>(out.size() * sizeof(wchar_t));
    const LONG status = ReadRawValue(key, name, text, room, read);
    if (status != ERROR_SUCCESS) return status;
    if (text[out.size() - 1] != L'\0') return Noted(read, ERROR_MORE_DATA);
    std::memcpy(out.data(), text, room);
    return ERROR_SUCCESS;
}

LONG ReadDwordValue(HKEY key, const wchar_t* name, DWORD& out, ValueRead* read) {
    DWORD value = 0;
    const LONG status = ReadRawValue(key, name, &value, sizeof(value), read);
    if (status == ERROR_SUCCESS) out = value;
    return status;
}

LONG OpenKeyForReading(HKEY root, const wchar_t* path, UniqueKey& key) {
    HKEY opened = nullptr;
    const LONG status = Win32().RegOpenKeyExW(root, path, 0, KEY_READ, &opened);
    key.reset(status == ERROR_SUCCESS ? opened : nullptr);
    return status;
}

LONG OpenMachineSettingsKey(HKEY root, const wchar_t* keyPath, UniqueKey& key,
                            SettingsPlace* place) {
    if (place != nullptr) *place = SettingsPlace::None;
    key.reset();
    // Key names have at most 255 characters; a longer path names no key.
    wchar_t settingsPath[512] = {};
    const size_t length = std::wcslen(keyPath);
    constexpr size_t kSubkeyUnits = std::size(kSettingsSubkeyName);  // with the null
    if (length + 1 + kSubkeyUnits > std::size(settingsPath)) return ERROR_INVALID_PARAMETER;
    std::wmemcpy(settingsPath, keyPath, length + 1);  // with the null, replaced next
    settingsPath[length] = L'\\';
    std::wmemcpy(settingsPath + length + 1, kSettingsSubkeyName, kSubkeyUnits);

    SettingsPlace found = SettingsPlace::SettingsKey;
    LONG status = OpenKeyForReading(root, settingsPath, key);
    if (status == ERROR_FILE_NOT_FOUND) {
        found = SettingsPlace::MainKey;
        status = OpenKeyForReading(root, keyPath, key);
    }
    if (place != nullptr) *place = status == ERROR_SUCCESS ? found : SettingsPlace::None;
    return status;
}

}  // namespace lmvn
