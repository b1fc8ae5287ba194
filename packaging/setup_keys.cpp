#include "setup_keys.h"

#include <sddl.h>

#include "common/settings.h"
#include "diag/format.h"
#include "win/registry.h"
#include "win/security.h"
#include "win/unique.h"
#include "win/win32api.h"

namespace lmvnsetup {
namespace {

using lmvn::UniqueKey;
using lmvn::UniqueLocal;

constexpr REGSAM kWow64 = KEY_WOW64_64KEY;
// Bounds a backup read: a backup holds a few dozen records.
constexpr DWORD kBackupLimit = 1 << 20;
// The backups and their parent: owned by Administrators, SYSTEM and
// Administrators only, nothing inherited.
constexpr wchar_t kBackupSddl[] = L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
constexpr wchar_t kBackupValue[] = L"Records";

const wchar_t* Tag(Where where) { return where == Where::Main ? L"main" : L"settings"; }

std::wstring PathOf(Where where) {
    return where == Where::Main ? MainKeyPath() : SettingsKeyPath();
}

bool ReadWhere(Record& record, Where& where) {
    std::wstring text;
    if (!record.ReadText(text)) return false;
    if (text == L"main") {
        where = Where::Main;
    } else if (text == L"settings") {
        where = Where::Settings;
    } else {
        return false;
    }
    return true;
}

// A value as stored, or nothing when it is absent or cannot be read.
std::optional<StoredValue> ReadValue(HKEY key, const std::wstring& name) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    StoredValue value{name, type, std::vector<BYTE>(size)};
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, value.data.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.type = type;
    value.data.resize(size);
    return value;
}

constexpr SECURITY_INFORMATION kOwnerAndDacl =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// The key's owner and DACL (with its control bits), as RegGetKeySecurity
// gives them.
bool ReadSecurity(HKEY key, std::vector<BYTE>& descriptor) {
    DWORD size = 0;
    LONG status = RegGetKeySecurity(key, kOwnerAndDacl, nullptr, &size);
    if (status != ERROR_INSUFFICIENT_BUFFER || size == 0) return false;
    descriptor.resize(size);
    status = RegGetKeySecurity(key, kOwnerAndDacl, descriptor.data(), &size);
    return status == ERROR_SUCCESS;
}

LONG OpenKey(Where where, REGSAM access, UniqueKey& key) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, PathOf(where).c_str(), 0, access | kWow64, key.put());
}

// Sets the owner and the DACL. Where the owner cannot be set (Windows
// refuses an owner that is not among the caller's groups without
// SeRestorePrivilege), the DACL alone.
LONG SetSecurity(HKEY key, PSECURITY_DESCRIPTOR descriptor) {
    const LONG status = RegSetKeySecurity(key, kOwnerAndDacl, descriptor);
    if (status != ERROR_INVALID_OWNER && status != ERROR_ACCESS_DENIED &&
        status != ERROR_PRIVILEGE_NOT_HELD) {
        return status;
    }
    return RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
}

LONG SetSecuritySddl(HKEY key, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return static_cast<LONG>(GetLastError());
    }
    const LONG status = SetSecurity(key, descriptor);
    LocalFree(descriptor);
    return status;
}

// Creates (or opens) `root`\`path`. A key it creates has the owner and DACL
// of `sddl` from the first moment, so that no one can open it in between.
// Where the owner is refused (Windows takes as owner only a group of the
// caller's token), the key is made with the DACL alone and the caller's
// default owner (SYSTEM in the installer's deferred actions).
LONG CreateKeyWith(HKEY root, const std::wstring& path, const wchar_t* sddl, UniqueKey& key,
                   DWORD* disposition = nullptr) {
    const std::wstring_view text = sddl;
    LONG status = ERROR_INVALID_OWNER;
    DWORD how = 0;
    for (const std::wstring_view form : {text, text.substr(text.starts_with(L"O:BA") ? 4 : 0)}) {
        const UniqueLocal descriptor = lmvn::DescriptorFromText(std::wstring(form).c_str());
        if (!descriptor) return static_cast<LONG>(GetLastError());
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
        status =
            lmvn::Win32().RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0,
                                          KEY_ALL_ACCESS | kWow64, &attributes, key.put(), &how);
        if (status == ERROR_SUCCESS && how == REG_CREATED_NEW_KEY) {
            // Wine creates the key with its default rights whatever it is
            // given: set once more (on Windows this changes nothing).
            status = SetSecurity(key.get(), descriptor.get());
            if (status != ERROR_SUCCESS) {
                key.reset();
                (void)RegDeleteKeyExW(root, path.c_str(), kWow64, 0);
            }
        }
        if (status != ERROR_INVALID_OWNER) break;
    }
    if (disposition != nullptr) *disposition = how;
    return status;
}

// Creates a key of the package where it is missing: with the rights that
// let only administrators write it; a key that stays gets its own rights
// afterwards.
LONG CreateKey(Where where, UniqueKey& key) {
    return CreateKeyWith(HKEY_LOCAL_MACHINE, PathOf(where), kAdminsOnlyRights, key);
}

LONG ApplyChange(HKEY key, const Change& change) {
    if (change.op == Change::Op::Delete) {
        const LONG status = RegDeleteValueW(key, change.value.name.c_str());
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    return RegSetValueExW(key, change.value.name.c_str(), 0, change.value.type,
                          change.value.data.data(), static_cast<DWORD>(change.value.data.size()));
}

std::wstring Error(LONG status) { return L" (error " + std::to_wstring(status) + L")"; }

// The record of how the keys stood before: whether each existed, its DACL,
// and each value the plan changes, as it was (absent, or type and bytes).
// Also, when only the main key existed, the settings' values there, so that
// a rollback can tell whether anyone wrote one meanwhile.
std::wstring Backup(const Plan& plan, const KeyState& mainState) {
    RecordWriter out;
    for (const Where where : {Where::Main, Where::Settings}) {
        UniqueKey key;
        const bool exists = OpenKey(where, KEY_READ, key) == ERROR_SUCCESS;
        out.Begin(L"key").Text(Tag(where)).Number(exists ? 1 : 0);
        std::vector<BYTE> descriptor;
        if (exists && ReadSecurity(key.get(), descriptor)) {
            out.Begin(L"rights").Text(Tag(where)).Bytes(descriptor);
        }
    }
    for (const Change& change : plan.changes) {
        UniqueKey key;
        std::optional<StoredValue> before;
        if (OpenKey(change.key, KEY_READ, key) == ERROR_SUCCESS) {
            before = ReadValue(key.get(), change.value.name);
        }
        out.Begin(L"value").Text(Tag(change.key)).Number(before ? 1 : 0);
        out.Value(before ? *before : StoredValue{change.value.name, REG_NONE, {}});
    }
    UniqueKey settings;
    if (mainState.exists && OpenKey(Where::Settings, KEY_READ, settings) == ERROR_FILE_NOT_FOUND) {
        for (const auto& value : mainState.settings) {
            if (value) out.Begin(L"seen").Value(*value);
        }
        out.Begin(L"watch");
    }
    return out.str();
}

DWORD ApplyChanges(const Plan& plan, const Note& note) {
    for (const Change& change : plan.changes) {
        UniqueKey key;
        LONG status = OpenKey(change.key, KEY_SET_VALUE, key);
        if (status == ERROR_SUCCESS) status = ApplyChange(key.get(), change);
        if (status != ERROR_SUCCESS) {
            note(L"\"" + change.value.name + L"\" cannot be " +
                 (change.op == Change::Op::Write ? L"written under HKLM\\"
                                                 : L"removed from HKLM\\") +
                 PathOf(change.key) + Error(status) + L".");
            return static_cast<DWORD>(status);
        }
    }
    return ERROR_SUCCESS;
}

DWORD GiveRights(Where where, const wchar_t* sddl, const Note& note) {
    UniqueKey key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, PathOf(where).c_str(), 0,
                                WRITE_DAC | WRITE_OWNER | kWow64, key.put());
    if (status == ERROR_SUCCESS) status = SetSecuritySddl(key.get(), sddl);
    if (status != ERROR_SUCCESS) {
        note(L"the rights on HKLM\\" + PathOf(where) + L" cannot be set" + Error(status) + L".");
        return static_cast<DWORD>(status);
    }
    note(L"HKLM\\" + PathOf(where) + L" has the owner and DACL " + sddl + L".");
    return ERROR_SUCCESS;
}

// Whether the key holds no value and no subkey.
bool IsEmpty(Where where) {
    UniqueKey key;
    if (OpenKey(where, KEY_READ, key) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0;
    DWORD values = 0;
    return RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                            &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys == 0 && values == 0;
}

// Whether the main key holds no value and no subkey but Settings.
bool HoldsOnlySettings() {
    const KeyState main = ReadKeyState(MainKeyPath());
    UniqueKey settings;
    const DWORD own = OpenKey(Where::Settings, KEY_READ, settings) == ERROR_SUCCESS ? 1 : 0;
    return main.exists && main.values == 0 && main.subkeys == own;
}

LONG DeleteKey(Where where) {
    return RegDeleteKeyExW(HKEY_LOCAL_MACHINE, PathOf(where).c_str(), kWow64, 0);
}

// Leaves the main key with rights that let only administrators write it,
// and Settings beside it (created empty where missing): from then on nothing
// in the main key is read or moved as a setting.
DWORD CloseMainKey(const Note& note) {
    UniqueKey settings;
    LONG status = CreateKey(Where::Settings, settings);
    if (status != ERROR_SUCCESS) {
        note(L"HKLM\\" + SettingsKeyPath() + L" cannot be created" + Error(status) + L".");
        return static_cast<DWORD>(status);
    }
    settings.reset();
    const DWORD error = GiveRights(Where::Settings, kAdminsOnlyRights, note);
    return error != ERROR_SUCCESS ? error : GiveRights(Where::Main, kAdminsOnlyRights, note);
}

}  // namespace

std::wstring MainKeyPath() {
    wchar_t path[lmvn::kTextUnits] = {};
    lmvn::FormatText(path, lmvn::kKeyPathFormat, lmvn::kPrinterName);
    return path;
}

std::wstring SettingsKeyPath() { return MainKeyPath() + L"\\" + lmvn::kSettingsSubkeyName; }

KeyState ReadKeyState(const std::wstring& path) {
    KeyState state;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | kWow64, key.put()) !=
        ERROR_SUCCESS) {
        return state;
    }
    state.exists = true;
    const lmvn::KeyWriteCheck check = lmvn::CheckKeyWriters(key.get());
    state.trusted = check.trusted();
    wchar_t writers[400] = {};
    lmvn::DescribeKeyWriters(check, writers);
    state.writers = writers;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &state.subkeys, nullptr, nullptr,
                         &state.values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        state.subkeys = 0;
        state.values = 0;
    }
    for (size_t i = 0; i < kSettings.size(); ++i) {
        state.settings[i] = ReadValue(key.get(), kSettings[i].value);
    }
    return state;
}

DWORD ApplyInstall(const Plan& plan, const std::wstring& backup, const Note& note) {
    const KeyState main = ReadKeyState(MainKeyPath());
    DWORD error = WriteBackup(backup, Backup(plan, main));
    if (error != ERROR_SUCCESS) {
        note(L"the backup of the settings cannot be written under HKLM\\" + BackupKeyPath() +
             Error(static_cast<LONG>(error)) + L"; nothing was changed.");
        return error;
    }
    for (const Where where : {Where::Main, Where::Settings}) {
        UniqueKey key;
        const LONG status = CreateKey(where, key);
        if (status != ERROR_SUCCESS) {
            note(L"HKLM\\" + PathOf(where) + L" cannot be created" + Error(status) + L".");
            return static_cast<DWORD>(status);
        }
    }
    // Settings gets its rights before any value is written into it.
    error = GiveRights(Where::Settings, kAdminsOnlyRights, note);
    if (error == ERROR_SUCCESS) error = ApplyChanges(plan, note);
    if (error == ERROR_SUCCESS) error = GiveRights(Where::Main, kMainRights, note);
    return error;
}

DWORD ApplyRemoval(const Plan& plan, const std::wstring& backup, const Note& note) {
    DWORD error = WriteBackup(backup, Backup(plan, KeyState{}));
    if (error != ERROR_SUCCESS) {
        note(L"the backup of the settings cannot be written under HKLM\\" + BackupKeyPath() +
             Error(static_cast<LONG>(error)) + L"; nothing was changed.");
        return error;
    }
    error = ApplyChanges(plan, note);
    if (error != ERROR_SUCCESS) return error;
    if (plan.closeMainKey) return CloseMainKey(note);
    if (!plan.removeKeys) return ERROR_SUCCESS;
    for (const Where where : {Where::Settings, Where::Main}) {
        UniqueKey gone;
        if (OpenKey(where, KEY_READ, gone) == ERROR_FILE_NOT_FOUND) continue;
        gone.reset();
        // Something written since the plan was made keeps its key.
        if (!IsEmpty(where)) {
            note(L"HKLM\\" + PathOf(where) + L" is no longer empty and stays.");
            return CloseMainKey(note);
        }
        const LONG status = DeleteKey(where);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            note(L"HKLM\\" + PathOf(where) + L" cannot be removed" + Error(status) + L".");
            return static_cast<DWORD>(status);
        }
    }
    return ERROR_SUCCESS;
}

void RollBack(const std::wstring& backup, const Note& note) {
    std::wstring text;
    std::wstring why;
    const DWORD read = ReadBackup(backup, text, why);
    if (read == ERROR_FILE_NOT_FOUND) {
        note(L"no backup of the settings was written: the keys are left as they are.");
        return;
    }
    std::vector<Record> records;
    if (read == kBackupNotTrusted) {
        note(L"the backup of the settings is not used, as this installation did not write it: " +
             why + L". The keys are left as they are.");
        return;
    }
    if (read != ERROR_SUCCESS || !ParseRecords(text, records)) {
        note(L"the backup of the settings cannot be read" + Error(static_cast<LONG>(read)) +
             L"; the keys are left as they are.");
        return;
    }
    bool existed[2] = {true, true};  // main, settings
    bool watch = false;
    std::vector<StoredValue> seen;
    // Keys that were there come back first, so that their values and rights
    // can be put back into them.
    for (Record& record : records) {
        Where where = Where::Main;
        DWORD flag = 0;
        if (record.tag == L"key" && ReadWhere(record, where) && record.ReadNumber(flag)) {
            existed[where == Where::Main ? 0 : 1] = flag != 0;
            UniqueKey key;
            if (flag != 0) (void)CreateKey(where, key);
        } else if (record.tag == L"seen") {
            StoredValue value;
            if (record.ReadValue(value)) seen.push_back(std::move(value));
        } else if (record.tag == L"watch") {
            watch = true;
        }
    }
    // Values, last changed first, then the rights.
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        Record record = *it;
        record.next = 0;
        Where where = Where::Main;
        DWORD present = 0;
        StoredValue value;
        if (record.tag != L"value" || !ReadWhere(record, where) || !record.ReadNumber(present) ||
            !record.ReadValue(value)) {
            continue;
        }
        UniqueKey key;
        LONG status = OpenKey(where, KEY_SET_VALUE, key);
        if (status == ERROR_SUCCESS) {
            status = ApplyChange(key.get(),
                                 {present ? Change::Op::Write : Change::Op::Delete, where, value});
        }
        if (status != ERROR_SUCCESS) {
            note(L"\"" + value.name + L"\" cannot be put back" + Error(status) + L".");
        }
    }
    for (Record record : records) {
        record.next = 0;
        Where where = Where::Main;
        std::vector<BYTE> descriptor;
        if (record.tag != L"rights" || !ReadWhere(record, where) || !record.ReadBytes(descriptor)) {
            continue;
        }
        UniqueKey key;
        LONG status = OpenKey(where, WRITE_DAC | WRITE_OWNER, key);
        if (status == ERROR_SUCCESS) status = SetSecurity(key.get(), descriptor.data());
        note(L"HKLM\\" + PathOf(where) +
             (status == ERROR_SUCCESS ? std::wstring(L" has its rights back.")
                                      : L" cannot have its rights back" + Error(status) + L"."));
    }
    // While the package's rights held, users could set values in the main
    // key. A setting's name that changed there meanwhile keeps a Settings key
    // beside it, so that it is never read or moved as a setting.
    bool written = false;
    if (watch) {
        const KeyState main = ReadKeyState(MainKeyPath());
        for (size_t i = 0; i < kSettings.size(); ++i) {
            const StoredValue* before = nullptr;
            for (const StoredValue& value : seen) {
                if (value.name == kSettings[i].value) before = &value;
            }
            const bool same = main.settings[i] ? before != nullptr && *before == *main.settings[i]
                                               : before == nullptr;
            if (!same) written = true;
        }
    }
    // Keys that were not there go, when nothing is left in them.
    if (!existed[1]) {
        if (existed[0]) {
            if (written) {
                note(L"a setting's name under HKLM\\" + MainKeyPath() +
                     L" was written while users could write there: HKLM\\" + SettingsKeyPath() +
                     L" stays, empty, so that it is never used as a setting.");
            } else if (IsEmpty(Where::Settings)) {
                (void)DeleteKey(Where::Settings);
            }
        } else if (IsEmpty(Where::Settings) && HoldsOnlySettings()) {
            (void)DeleteKey(Where::Settings);
            (void)DeleteKey(Where::Main);
        } else {
            note(L"HKLM\\" + MainKeyPath() + L" was written meanwhile and stays.");
            (void)CloseMainKey(note);
        }
    }
    DiscardBackup(backup);
}

std::wstring BackupKeyPath() { return MainKeyPath() + L" Setup"; }

bool IsBackupName(const std::wstring& name) {
    if (name.empty() || name.size() > 64) return false;
    for (const wchar_t c : name) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || c == L'.')) return false;
    }
    return name.front() != L'.';
}

DWORD WriteBackup(const std::wstring& name, const std::wstring& text) {
    if (!IsBackupName(name)) return ERROR_INVALID_NAME;
    UniqueKey parent;
    DWORD disposition = 0;
    LONG status =
        CreateKeyWith(HKEY_LOCAL_MACHINE, BackupKeyPath(), kBackupSddl, parent, &disposition);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    if (disposition != REG_CREATED_NEW_KEY && !lmvn::CheckKeyWriters(parent.get()).trusted()) {
        return kBackupNotTrusted;
    }
    UniqueKey key;
    status = CreateKeyWith(parent.get(), name, kBackupSddl, key, &disposition);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    // A backup of this name that is there already is not this
    // installation's: it is neither written nor, later, read as its own.
    if (disposition != REG_CREATED_NEW_KEY) return ERROR_ALREADY_EXISTS;
    status = RegSetValueExW(key.get(), kBackupValue, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
    if (status != ERROR_SUCCESS) {
        key.reset();
        (void)RegDeleteKeyExW(parent.get(), name.c_str(), kWow64, 0);
    }
    return static_cast<DWORD>(status);
}

DWORD ReadBackup(const std::wstring& name, std::wstring& text, std::wstring& why) {
    if (!IsBackupName(name)) return ERROR_INVALID_NAME;
    UniqueKey key;
    const std::wstring path = BackupKeyPath() + L"\\" + name;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | kWow64, key.put());
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    // Decided from the descriptor of the key as opened: what is read next
    // is what that descriptor guards.
    const lmvn::KeyWriteCheck check = lmvn::CheckKeyWriters(key.get());
    if (!check.trusted()) {
        wchar_t writers[400] = {};
        lmvn::DescribeKeyWriters(check, writers);
        why = writers;
        return kBackupNotTrusted;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    status = RegQueryValueExW(key.get(), kBackupValue, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    if (type != REG_SZ || size > kBackupLimit || size % sizeof(wchar_t) != 0) {
        return ERROR_INVALID_DATA;
    }
    std::wstring read(size / sizeof(wchar_t), L'\0');
    status = RegQueryValueExW(key.get(), kBackupValue, nullptr, &type,
                              reinterpret_cast<BYTE*>(read.data()), &size);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    read.resize(size / sizeof(wchar_t));
    while (!read.empty() && read.back() == L'\0') read.pop_back();
    text = std::move(read);
    return ERROR_SUCCESS;
}

void DiscardBackup(const std::wstring& name) {
    if (!IsBackupName(name)) return;
    const std::wstring path = BackupKeyPath() + L"\\" + name;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | kWow64, key.put()) ==
            ERROR_SUCCESS &&
        lmvn::CheckKeyWriters(key.get()).trusted()) {
        key.reset();
        (void)RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), kWow64, 0);
    }
    // The parent goes when no backup is left in it (else this fails).
    (void)RegDeleteKeyExW(HKEY_LOCAL_MACHINE, BackupKeyPath().c_str(), kWow64, 0);
}

}  // namespace lmvnsetup
