// The installer's changes to HKLM\Software\Lumvane and its Settings, each
// undoable: before a deferred action changes anything, it writes what it
// will change, as it stands, into a backup (a registry key that only SYSTEM
// and Administrators may create or write, see WriteBackup). A rollback action
// puts that back; a commit action deletes it.
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

// Writes the backup `backup` (failing, with nothing changed, when it
// cannot), then applies an install plan: creates both keys where missing
// (each with its final owner and DACL from the start), applies the changes
// and gives both keys their DACLs. Returns 0 or the error that stopped it.
DWORD ApplyInstall(const Plan& plan, const std::wstring& backup, const Note& note);

// The same for an uninstall plan: removes the settings' values from Settings,
// then both keys, or closes the main key and keeps Settings.
DWORD ApplyRemoval(const Plan& plan, const std::wstring& backup, const Note& note);

// Puts back what the backup `backup` recorded, then deletes it. A missing
// backup (the action failed before it wrote one) or one that is not
// trusted (see ReadBackup) changes nothing; the latter is logged.
void RollBack(const std::wstring& backup, const Note& note);

// The backups of one installation: subkeys of HKLM\Software\Lumvane Setup,
// which users can neither create nor write. Each is named by the immediate
// action ("<32 hex digits>.settings", ".agents": IsBackupName) and handed to
// the deferred, rollback and commit actions in their hidden data.
std::wstring BackupKeyPath();
bool IsBackupName(const std::wstring& name);

// Creates the backup `name` and stores `text` in it. The parent key and the
// backup are created with their final descriptor (owner Administrators,
// SYSTEM and Administrators full control, nothing inherited). Fails, with
// nothing written, when the backup exists already (ERROR_ALREADY_EXISTS:
// whoever made it, this installation did not) or when the parent exists and
// others than the administrators may write it (kBackupNotTrusted).
[[nodiscard]] DWORD WriteBackup(const std::wstring& name, const std::wstring& text);

// The status of a backup that is not trusted.
inline constexpr DWORD kBackupNotTrusted = ERROR_INVALID_SECURITY_DESCR;

// Reads the backup `name`. It is used only when, as the open key's own
// descriptor says, its owner is SYSTEM, Administrators or TrustedInstaller
// and no one else may write it: otherwise kBackupNotTrusted, with `why`
// saying who may. ERROR_FILE_NOT_FOUND when there is none. `text` is left
// as it was on failure.
[[nodiscard]] DWORD ReadBackup(const std::wstring& name, std::wstring& text, std::wstring& why);

// Deletes the backup `name` when it is trusted, and the parent key when it
// is left empty.
void DiscardBackup(const std::wstring& name);

}  // namespace lmvnsetup
