#include "win/security.h"

#include <cwchar>

namespace lmvn {

bool CurrentUserSid(std::span<wchar_t> sid) {
    Win32Api& api = Win32();
    if (sid.empty()) return false;
    sid[0] = L'\0';
    UniqueHandle token;
    if (!api.OpenProcessToken(api.GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    // A TOKEN_USER and the largest SID there is.
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!api.GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) {
        return false;
    }
    wchar_t* text = nullptr;
    if (!api.ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        return false;
    }
    const UniqueLocal owned(text);
    const size_t length = std::wcslen(text);
    if (length >= sid.size()) return false;
    std::wmemcpy(sid.data(), text, length + 1);
    return true;
}

UniqueLocal DescriptorFromText(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!Win32().ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                      &descriptor, nullptr)) {
        return {};
    }
    return UniqueLocal(descriptor);
}

bool SidIs(PSID sid, const wchar_t* text) {
    PSID named = nullptr;
    if (sid == nullptr || !Win32().ConvertStringSidToSidW(text, &named)) return false;
    const UniqueLocal owned(named);
    return Win32().EqualSid(sid, named) != FALSE;
}

}  // namespace lmvn
