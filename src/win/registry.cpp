#include "win/registry.h"

#include "win/security.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <vector>

namespace lmvn {
namespace {

LONG Noted(ValueRead* read, LONG status) {
    if (read != nullptr) read->status = status;
    return status;
}

// NT SERVICE\TrustedInstaller, which owns keys that Windows itself installs.
constexpr wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsTrustedSid(PSID sid) {
    return SidIs(sid, L"SY") || SidIs(sid, L"BA") || SidIs(sid, kTrustedInstaller);
}

KeyWriteCheck Found(KeyWriters writers, PSID sid = nullptr, ACCESS_MASK rights = 0) {
    KeyWriteCheck check;
    check.writers = writers;
    check.rights = rights;
    if (writers == KeyWriters::Unreadable) check.status = ERROR_INVALID_SECURITY_DESCR;
    if (sid != nullptr) {
        const DWORD length = Win32().GetLengthSid(sid);
        if (length <= sizeof(check.sid)) std::memcpy(check.sid, sid, length);
    }
    return check;
}

}  // namespace

KeyWriteCheck CheckKeyWriters(PSECURITY_DESCRIPTOR descriptor) {
    Win32Api& api = Win32();
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (descriptor == nullptr || !api.GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        owner == nullptr || !api.IsValidSid(owner)) {
        return Found(KeyWriters::Unreadable);
    }
    if (!IsTrustedSid(owner)) return Found(KeyWriters::Owner, owner);

    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!api.GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        return Found(KeyWriters::Unreadable);
    }
    if (!present || dacl == nullptr) return Found(KeyWriters::NullDacl);
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!api.GetAce(dacl, index, &ace)) return Found(KeyWriters::Unreadable);
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        // An inherit-only ACE is a template for subkeys created later; it
        // grants nothing on the key itself.
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        switch (header->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
                // Both lay out the mask and the SID alike.
                auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
                PSID sid = &allowed->SidStart;
                if (header->AceSize < sizeof(ACCESS_ALLOWED_ACE) || !api.IsValidSid(sid)) {
                    return Found(KeyWriters::Unreadable);
                }
                if ((allowed->Mask & kKeyWriteRights) != 0 && !IsTrustedSid(sid)) {
                    return Found(KeyWriters::Grant, sid, allowed->Mask);
                }
                break;
            }
            case ACCESS_DENIED_ACE_TYPE:
            case ACCESS_DENIED_OBJECT_ACE_TYPE:
            case ACCESS_DENIED_CALLBACK_ACE_TYPE:
            case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            case SYSTEM_AUDIT_ACE_TYPE:
            case SYSTEM_ALARM_ACE_TYPE:
            case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
                break;  // takes rights away, or grants none
            default:
                return Found(KeyWriters::UnknownAce);
        }
    }
    return Found(KeyWriters::AdminsOnly);
}

void DescribeKeyWriters(const KeyWriteCheck& check, std::span<wchar_t> out) {
    if (out.empty()) return;
    // The SID in its S-R-I-S-S... form, read from its structure.
    wchar_t sid[200] = L"?";
    const auto* raw = reinterpret_cast<const SID*>(check.sid);
    if (raw->Revision == SID_REVISION && raw->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES) {
        unsigned long long authority = 0;
        for (const BYTE b : raw->IdentifierAuthority.Value) authority = (authority << 8) | b;
        int used = swprintf(sid, std::size(sid), L"S-%u-%llu", raw->Revision, authority);
        for (BYTE i = 0; used > 0 && i < raw->SubAuthorityCount; ++i) {
            const int more = swprintf(sid + used, std::size(sid) - static_cast<size_t>(used),
                                      L"-%lu", raw->SubAuthority[i]);
            used = more > 0 ? used + more : -1;
        }
    }
    switch (check.writers) {
        case KeyWriters::AdminsOnly:
            swprintf(out.data(), out.size(),
                     L"only SYSTEM, Administrators and TrustedInstaller may write it");
            break;
        case KeyWriters::NullDacl:
            swprintf(out.data(), out.size(), L"it has no DACL, so everyone may write it");
            break;
        case KeyWriters::Owner:
            swprintf(out.data(), out.size(),
                     L"it is owned by %ls, who may always change its rights", sid);
            break;
        case KeyWriters::Grant:
            swprintf(out.data(), out.size(), L"its DACL lets %ls write (rights 0x%lX)", sid,
                     check.rights);
            break;
        case KeyWriters::UnknownAce:
            swprintf(out.data(), out.size(),
                     L"its DACL holds an allow entry of a kind that is not checked");
            break;
        case KeyWriters::Unreadable:
            swprintf(out.data(), out.size(), L"its owner and DACL cannot be read (error %ld)",
                     check.status);
            break;
    }
    out.back() = L'\0';
}

KeyWriteCheck CheckKeyWriters(HKEY key) {
    constexpr SECURITY_INFORMATION kWanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    LONG status = Win32().RegGetKeySecurity(key, kWanted, nullptr, &size);
    std::vector<BYTE> descriptor;
    if (status == ERROR_INSUFFICIENT_BUFFER && size > 0) {
        descriptor.resize(size);
        status = Win32().RegGetKeySecurity(key, kWanted, descriptor.data(), &size);
    }
    if (status != ERROR_SUCCESS) {
        KeyWriteCheck check = Found(KeyWriters::Unreadable);
        check.status = status;
        return check;
    }
    return CheckKeyWriters(descriptor.data());
}

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

bool PolicyKeyPath(std::span<wchar_t> out, const wchar_t* keyPath) {
    static constexpr wchar_t kSoftware[] = L"Software\\";
    static constexpr wchar_t kPolicies[] = L"Software\\Policies\\";
    constexpr size_t kSoftwareUnits = std::size(kSoftware) - 1;
    constexpr size_t kPoliciesUnits = std::size(kPolicies) - 1;
    if (out.empty()) return false;
    out[0] = L'\0';
    if (_wcsnicmp(keyPath, kSoftware, kSoftwareUnits) != 0) return false;
    const wchar_t* rest = keyPath + kSoftwareUnits;
    const size_t restUnits = std::wcslen(rest);
    if (kPoliciesUnits + restUnits + 1 > out.size()) return false;
    std::wmemcpy(out.data(), kPolicies, kPoliciesUnits);
    std::wmemcpy(out.data() + kPoliciesUnits, rest, restUnits + 1);
    return true;
}

LONG OpenKeyForReading(HKEY root, const wchar_t* path, UniqueKey& key) {
    HKEY opened = nullptr;
    const LONG status = Win32().RegOpenKeyExW(root, path, 0, KEY_READ, &opened);
    key.reset(status == ERROR_SUCCESS ? opened : nullptr);
    return status;
}

LONG OpenProtectedKeyForReading(HKEY root, const wchar_t* path, UniqueKey& key) {
    LONG status = OpenKeyForReading(root, path, key);
    if (status == ERROR_SUCCESS && !CheckKeyWriters(key.get()).trusted()) {
        key.reset();
        status = kSettingsKeyNotProtected;
    }
    return status;
}

LONG OpenMachineSettingsKey(HKEY root, const wchar_t* keyPath, UniqueKey& key, SettingsPlace* place,
                            SettingsKeyRights* rights) {
    if (place != nullptr) *place = SettingsPlace::None;
    if (rights != nullptr) *rights = SettingsKeyRights{};
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
    if (status == ERROR_SUCCESS) {
        // Settings that someone besides the administrators may have written
        // are nobody's to follow.
        const KeyWriteCheck check = CheckKeyWriters(key.get());
        if (rights != nullptr) *rights = SettingsKeyRights{found, check};
        if (!check.trusted()) {
            key.reset();
            status = kSettingsKeyNotProtected;
        }
    }
    if (place != nullptr) *place = status == ERROR_SUCCESS ? found : SettingsPlace::None;
    return status;
}

}  // namespace lmvn
