// Raw registry reads: no type is requested or checked, and data larger than
// the room given counts as absent.
#pragma once

#include "win/unique.h"
#include "win/win32api.h"

#include <span>

namespace lmvn {

// What one read met in the registry, for callers that want to tell how a
// value is stored (a configuration check); the reads themselves never look
// at it. `type` and `size` are the registry's answer: the value's type and
// the size of its data, also when the data was larger than the room.
struct ValueRead {
    LONG status = ERROR_FILE_NOT_FOUND;  // the read's result
    DWORD type = REG_NONE;
    DWORD size = 0;
};

// Reads at most `room` bytes of `name` under `key` into `data`.
// Returns ERROR_SUCCESS and fills `data` (zero-filled past the value's own
// bytes); on any failure (absent, larger than `room`, no access) returns the
// registry's status and leaves `data` untouched. `read`, when given, receives
// the status, type and size.
[[nodiscard]] LONG ReadRawValue(HKEY key, const wchar_t* name, void* data, DWORD room,
                                ValueRead* read = nullptr);

// Reads text of at most out.size() units including its terminator. Data that
// fills the whole room without a terminator counts as absent
// (ERROR_MORE_DATA). On failure `out` is left untouched.
[[nodiscard]] LONG ReadTextValue(HKEY key, const wchar_t* name, std::span<wchar_t> out,
                                 ValueRead* read = nullptr);

// Reads 4 raw bytes (a REG_SZ "1" with its terminator reads as 49).
// On failure `out` is left untouched.
[[nodiscard]] LONG ReadDwordValue(HKEY key, const wchar_t* name, DWORD& out,
                                  ValueRead* read = nullptr);

// Opens `root`\`path` for reading. On failure `key` is left empty and the
// registry's status returned.
[[nodiscard]] LONG OpenKeyForReading(HKEY root, const wchar_t* path, UniqueKey& key);

// The subkey of the printer's key that holds the machine-wide settings
// where users may not write them.
inline constexpr wchar_t kSettingsSubkeyName[] = L"Settings";

// The Group Policy key of `keyPath` ("Software\Lumvane" gives
// "Software\Policies\Lumvane"), looked for under HKEY_LOCAL_MACHINE (machine
// policy) and HKEY_CURRENT_USER (user policy). False (and `out` empty) when
// `keyPath` does not begin with "Software\" or the result does not fit.
bool PolicyKeyPath(std::span<wchar_t> out, const wchar_t* keyPath);

// Opens `root`\`path` for reading when CheckKeyWriters trusts it (the
// machine's Group Policy key). A key that others than the administrators may
// write gives kSettingsKeyNotProtected and `key` stays empty, as on any
// other failure.
[[nodiscard]] LONG OpenProtectedKeyForReading(HKEY root, const wchar_t* path, UniqueKey& key);

// Where a setting came from, in the order of precedence: Group Policy for
// the machine, Group Policy for the user, the user's own settings, the
// machine's settings; or none of them.
enum class ValueSource { Default, MachinePolicy, UserPolicy, User, Machine };

// Who, besides SYSTEM, Administrators and TrustedInstaller, may change a
// key's values or its rights, as its security descriptor says.
enum class KeyWriters {
    AdminsOnly,  // nobody else: the key may be trusted with settings
    NullDacl,    // no DACL: everyone has full access
    Owner,       // `sid` owns the key, and an owner may always rewrite the DACL
    Grant,       // an allow ACE gives `sid` a right to write (`rights`)
    UnknownAce,  // an allow ACE of a kind this check cannot read
    Unreadable,  // the descriptor could not be read or is malformed
};
struct KeyWriteCheck {
    KeyWriters writers = KeyWriters::Unreadable;
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};  // Owner, Grant: a copy of that SID
    ACCESS_MASK rights = 0;                // Grant: the rights the ACE grants
    LONG status = ERROR_SUCCESS;           // Unreadable: the failed call's result, if any
    bool trusted() const { return writers == KeyWriters::AdminsOnly; }
};

// The rights that let a holder change a key's values or its rights: set a
// value, create a subkey or link, change the DACL or owner, delete, and the
// generic rights that include these.
inline constexpr ACCESS_MASK kKeyWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
                                               KEY_CREATE_LINK | WRITE_DAC | WRITE_OWNER | DELETE |
                                               GENERIC_WRITE | GENERIC_ALL;

// The decision over a security descriptor (owner and DACL), pure: the key
// is AdminsOnly when its owner is SYSTEM, Administrators or TrustedInstaller
// and no allow ACE that applies to the key itself (inherit-only ACEs do not)
// grants any of kKeyWriteRights to another SID. CREATOR OWNER counts as
// another SID. Deny ACEs are not weighed: they can only take rights away.
// The first finding that is not AdminsOnly is returned.
KeyWriteCheck CheckKeyWriters(PSECURITY_DESCRIPTOR descriptor);

// The check's finding in words, for logs and reports, for example "its DACL
// lets S-1-5-32-545 write (rights 0x2001B)"; cut to fit `out`.
void DescribeKeyWriters(const KeyWriteCheck& check, std::span<wchar_t> out);

// Reads the owner and DACL of `key` (opened with READ_CONTROL, which
// KEY_READ includes) and checks them as above. A descriptor that cannot be
// read gives Unreadable with the registry's status.
KeyWriteCheck CheckKeyWriters(HKEY key);

// The status OpenMachineSettingsKey returns for a key that holds settings
// but may be written by others than SYSTEM, Administrators and
// TrustedInstaller ("The security descriptor structure is invalid."): the
// key is then treated like one that cannot be opened.
inline constexpr LONG kSettingsKeyNotProtected = ERROR_INVALID_SECURITY_DESCR;

// Where the machine-wide settings were found.
enum class SettingsPlace {
    None,         // neither key could be opened
    SettingsKey,  // `keyPath`\Settings
    MainKey,      // `keyPath` itself: no Settings key exists
};

// Opens the key that holds the machine-wide settings for reading: the
// subkey "Settings" of `root`\`keyPath` when it exists, else, and only when
// opening it met ERROR_FILE_NOT_FOUND, `root`\`keyPath` itself. A Settings
// key that exists but cannot be opened (no access, ...) is that failure: the
// main key, where users may write, is then not read. The key that opened is
// used only when CheckKeyWriters finds it AdminsOnly; otherwise it is closed
// and kSettingsKeyNotProtected returned. Returns the status of the step that
// decided; `key` stays empty on failure. `rights`, when given, receives the
// check of the key that opened and which key that was (also on a refusal).
struct SettingsKeyRights {
    SettingsPlace key = SettingsPlace::None;  // the key whose rights were checked
    KeyWriteCheck check;
};
[[nodiscard]] LONG OpenMachineSettingsKey(HKEY root, const wchar_t* keyPath, UniqueKey& key,
                                          SettingsPlace* place = nullptr,
                                          SettingsKeyRights* rights = nullptr);

}  // namespace lmvn
