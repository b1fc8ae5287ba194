#include "win/registry.h"

#include <cstring>

namespace lmvn {

LONG ReadRawValue(HKEY key, const wchar_t* name, void* data, DWORD room) {
    // Read into scratch storage so that a failed read leaves `data` as it was.
    BYTE scratch[1024] = {};
    if (room > sizeof(scratch)) return ERROR_INVALID_PARAMETER;
    DWORD size = room;
    const LONG status = Win32().RegQueryValueExW(key, name, nullptr, nullptr, scratch, &size);
    if (status != ERROR_SUCCESS) return status;
    if (size > room) return ERROR_MORE_DATA;
    std::memcpy(data, scratch, room);
    return ERROR_SUCCESS;
}

LONG ReadTextValue(HKEY key, const wchar_t* name, std::span<wchar_t> out) {
    wchar_t text[512] = {};
    if (out.size() > 512 || out.empty()) return ERROR_INVALID_PARAMETER;
    const DWORD room = static_cast<DWORD>(out.size() * sizeof(wchar_t));
    const LONG status = ReadRawValue(key, name, text, room);
    if (status != ERROR_SUCCESS) return status;
    if (text[out.size() - 1] != L'\0') return ERROR_MORE_DATA;
    std::memcpy(out.data(), text, room);
    return ERROR_SUCCESS;
}

LONG ReadDwordValue(HKEY key, const wchar_t* name, DWORD& out) {
    DWORD value = 0;
    const LONG status = ReadRawValue(key, name, &value, sizeof(value));
    if (status == ERROR_SUCCESS) out = value;
    return status;
}

}  // namespace lmvn
