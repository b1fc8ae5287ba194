// The installer's changes to HKLM\Software\Lumvane and its Settings, each
// undoable: before a deferred action changes anything, it writes what it
// will change, as it stands, into a backup file that only SYSTEM and
// Administrators may touch. A rollback action puts that back; a commit action
// deletes the file.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "setup_plan.h"

namespace lmvnsetup {

// "Software\Lumvane" and "Software\Lumvane\Settings" under HKEY_LOCAL_MACHINE.
std::wstring MainKeyPath();
std::wstring SettingsKeyPath();

// Owned by Administrators (whoever created them: an owner may always rewrite
// the DACL, so the agent trusts no key that another account owns), and with
// protected DACLs, so that nothing granted on HKLM\Software (or by an
// earlier installation) reaches the keys. See docs/security.md.
// Settings, and the main key when it stays after an uninstall or a rollback:
// SYSTEM and Administrators full control, Users read.
inline constexpr wchar_t kAdminsOnlyRights[] =
    L"O:BAD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
// The main key while the package is installed, where the producer hands over
// jobs and each user's agent deletes the value it took: SYSTEM and
// Administrators full control; Users KEY_READ | KEY_SET_VALUE (0x2001B) on
// this key only, without KEY_CREATE_SUB_KEY, so that no user can create
// Settings where it is missing; read only on subkeys created later.
inline constexpr wchar_t kMainRights[] =
    L"O:BAD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;;0x2001b;;;BU)(A;CIIO;KR;;;BU)";

// What HKLM\`path` holds: existence, whether only administrators may write
// it, the settings' values (raw: type and bytes) and how many values and
// subkeys it has.
KeyState ReadKeyState(const std::wstring& path);

// One line of the installer log.
using Note = std::function<void(const std::wstring&)>;

// Writes `backup` (failing, with nothing changed, when it cannot), then
// applies an install plan: creates both keys where missing, applies the
// changes and gives both keys their DACLs. Returns 0 or the error that
// stopped it.
DWORD ApplyInstall(const Plan& plan, const std::wstring& backup, const Note& note);

// The same for an uninstall plan: removes the settings' values from Settings,
// then both keys, or closes the main key and keeps Settings.
DWORD ApplyRemoval(const Plan& plan, const std::wstring& backup, const Note& note);

// Puts back what the backup file recorded, then deletes it. A missing file
// (the action failed before it wrote one) does nothing.
void RollBack(const std::wstring& backup, const Note& note);

// The backup files: created new (never over an existing file), readable and
// writable by SYSTEM and Administrators only.
[[nodiscard]] DWORD WriteBackupFile(const std::wstring& path, const std::wstring& text);
// ERROR_FILE_NOT_FOUND when there is none.
[[nodiscard]] DWORD ReadBackupFile(const std::wstring& path, std::wstring& text);

}  // namespace lmvnsetup
