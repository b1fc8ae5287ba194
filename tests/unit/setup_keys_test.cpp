// The installer's backups and keys, in a scratch HKEY_LOCAL_MACHINE: which
// backup a rollback trusts, and the rights each key is created with. (Wine
// stores registry DACLs without enforcing them, so reading them back shows
// each decision; it ignores the rights given at a key's creation, so the
// test looks at what the creation is given.)
#include "setup_agents.h"
#include "setup_keys.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <map>
#include <string>
#include <vector>

#include "scratch_registry.h"
#include "win/registry.h"
#include "win/unique.h"
#include "win/win32api.h"

namespace lmvnsetup {
namespace {

using lmvn::UniqueKey;

constexpr wchar_t kName[] = L"0123456789abcdef0123456789abcdef.settings";

// Makes HKLM\`path` as a user who got there first would: with `sddl` and a
// "Records" value of `records`.
void MakeKey(const std::wstring& path, const wchar_t* sddl, const std::wstring& records) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, lmvntest::SetKeyRights(HKEY_LOCAL_MACHINE, path, sddl));
    EXPECT_EQ(
        ERROR_SUCCESS,
        RegSetValueExW(key, L"Records", 0, REG_SZ, reinterpret_cast<const BYTE*>(records.c_str()),
                       static_cast<DWORD>((records.size() + 1) * sizeof(wchar_t))));
    RegCloseKey(key);
}

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Records that would create both keys and write a client into Settings.
std::wstring PlantedSettings() {
    const std::wstring client = L"C:\\Users\\Public\\planted.exe";
    RecordWriter out;
    out.Begin(L"key").Text(L"main").Number(1);
    out.Begin(L"key").Text(L"settings").Number(1);
    out.Begin(L"value").Text(L"settings").Number(1).Value(TextValue(L"Client Application", client));
    return out.str();
}

// A backup is this installation's only when it made it new, and it is read
// only while nobody but the administrators may write it.
TEST(SetupBackupTest, OnlyABackupNoOneElseCouldWriteIsRead) {
    lmvntest::ScratchMachineKey scratch;
    ASSERT_TRUE(scratch.ok());
    const std::wstring path = BackupKeyPath() + L"\\" + kName;
    std::wstring text = L"untouched";
    std::wstring why;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadBackup(kName, text, why));

    ASSERT_EQ(ERROR_SUCCESS, WriteBackup(kName, L"key 006d 00000001"));
    ASSERT_EQ(ERROR_SUCCESS, ReadBackup(kName, text, why));
    EXPECT_EQ(L"key 006d 00000001", text);
    // A name that is taken is never written over.
    EXPECT_EQ(ERROR_ALREADY_EXISTS, WriteBackup(kName, L"other"));
    ASSERT_EQ(ERROR_SUCCESS, ReadBackup(kName, text, why));
    EXPECT_EQ(L"key 006d 00000001", text);
    DiscardBackup(kName);
    EXPECT_FALSE(KeyExists(BackupKeyPath()));  // the parent goes with its last backup

    // Made first by someone users may act as: refused at writing, not read.
    const std::wstring planted = PlantedSettings();
    MakeKey(path, L"O:BAD:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KA;;;BU)", planted);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, WriteBackup(kName, L"mine"));
    text = L"untouched";
    EXPECT_EQ(kBackupNotTrusted, ReadBackup(kName, text, why));
    EXPECT_EQ(L"untouched", text);
    EXPECT_NE(std::wstring::npos, why.find(L"S-1-5-32-545")) << why;
    DiscardBackup(kName);  // not this installation's: left alone
    EXPECT_TRUE(KeyExists(path));

    // Owned by a user, who may always change its rights back and forth.
    ASSERT_EQ(ERROR_SUCCESS,
              lmvntest::SetKeyRights(HKEY_LOCAL_MACHINE, path,
                                     L"O:S-1-5-21-1-2-3-1001D:P(A;;KA;;;SY)(A;;KA;;;BA)"));
    why.clear();
    if (ReadBackup(kName, text, why) == ERROR_SUCCESS) {
        GTEST_SKIP() << "this system does not keep a key's owner";
    }
    EXPECT_NE(std::wstring::npos, why.find(L"owned by S-1-5-21-1-2-3-1001")) << why;

    // A parent that users may write holds no new backup.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, BackupKeyPath().c_str()));
    MakeKey(BackupKeyPath(), L"O:BAD:(A;;KA;;;BA)(A;;0x20006;;;BU)", L"");
    EXPECT_EQ(kBackupNotTrusted, WriteBackup(kName, L"mine"));
    EXPECT_FALSE(KeyExists(path));
}

TEST(SetupBackupTest, NamesThatLeaveTheBackupKeyAreRefused) {
    lmvntest::ScratchMachineKey scratch;
    ASSERT_TRUE(scratch.ok());
    std::wstring text;
    std::wstring why;
    for (const wchar_t* name : {L"", L"..\\Lumvane\\Settings", L"a\\b", L"..", L"A.settings",
                                L"C:\\Windows\\Temp\\Lumvane-00.settings"}) {
        EXPECT_EQ(ERROR_INVALID_NAME, WriteBackup(name, L"x")) << name;
        EXPECT_EQ(ERROR_INVALID_NAME, ReadBackup(name, text, why)) << name;
    }
    EXPECT_FALSE(KeyExists(BackupKeyPath()));
}

// A rollback acts on nothing that it did not write: a planted backup leaves
// the keys as they are.
TEST(SetupBackupTest, RollBackLeavesTheKeysAloneWithAPlantedBackup) {
    lmvntest::ScratchMachineKey scratch;
    ASSERT_TRUE(scratch.ok());
    scratch.RemoveAgentKey();
    MakeKey(BackupKeyPath() + L"\\" + kName, L"O:BAD:(A;;KA;;;BU)(A;;KA;;;BA)", PlantedSettings());
    std::vector<std::wstring> notes;
    RollBack(kName, [&notes](const std::wstring& line) { notes.push_back(line); });
    EXPECT_FALSE(KeyExists(SettingsKeyPath()));
    EXPECT_FALSE(KeyExists(MainKeyPath()));
    ASSERT_EQ(1u, notes.size());
    EXPECT_NE(std::wstring::npos, notes[0].find(L"is not used")) << notes[0];
}

// Each key the installer creates is given its final rights with its
// creation (protected: nothing inherited, users may not write), so that no
// one can open it before they are set.
std::map<std::wstring, lmvn::KeyWriteCheck>* g_created = nullptr;

LONG WINAPI RecordingCreate(HKEY root, LPCWSTR path, DWORD reserved, LPWSTR type, DWORD options,
                            REGSAM access, LPSECURITY_ATTRIBUTES attributes, PHKEY key,
                            LPDWORD disposition) {
    lmvn::KeyWriteCheck check;  // Unreadable: no descriptor, or one that inherits
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr &&
        GetSecurityDescriptorControl(attributes->lpSecurityDescriptor, &control, &revision) &&
        (control & SE_DACL_PROTECTED) != 0) {
        check = lmvn::CheckKeyWriters(attributes->lpSecurityDescriptor);
    }
    (*g_created)[path] = check;
    return RegCreateKeyExW(root, path, reserved, type, options, access, attributes, key,
                           disposition);
}

TEST(SetupKeysTest, KeysAreCreatedWithTheirFinalRights) {
    lmvntest::ScratchMachineKey scratch;
    ASSERT_TRUE(scratch.ok());
    scratch.RemoveAgentKey();
    std::map<std::wstring, lmvn::KeyWriteCheck> created;
    g_created = &created;
    lmvn::ScopedApiOverride<decltype(&::RegCreateKeyExW)> hook(&lmvn::Win32Api::RegCreateKeyExW,
                                                               &RecordingCreate);
    std::vector<std::wstring> notes;
    const Note note = [&notes](const std::wstring& line) { notes.push_back(line); };
    ASSERT_EQ(ERROR_SUCCESS, ApplyInstall(Plan{}, kName, note));
    for (const std::wstring& path :
         {MainKeyPath(), SettingsKeyPath(), BackupKeyPath(), std::wstring(kName)}) {
        ASSERT_EQ(1u, created.count(path)) << std::string(path.begin(), path.end());
        EXPECT_TRUE(created[path].trusted()) << std::string(path.begin(), path.end());
    }
    // What stays has the rights asked for (here set once more, as Wine
    // needs): the backup only for the administrators.
    UniqueKey backup;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, (BackupKeyPath() + L"\\" + kName).c_str(), 0,
                            KEY_READ, backup.put()));
    EXPECT_TRUE(lmvn::CheckKeyWriters(backup.get()).trusted());
    backup.reset();
    // A rollback removes what the install created, and its backup.
    created.clear();
    RollBack(kName, note);
    EXPECT_FALSE(KeyExists(MainKeyPath()));
    EXPECT_FALSE(KeyExists(BackupKeyPath()));
    g_created = nullptr;
}

// What a rollback or commit takes from the stopped agents' backup: the
// sessions that still exist, never a program.
TEST(SetupAgentsTest, OnlyExistingSessionsAreTakenFromTheBackup) {
    RecordWriter out;
    out.Begin(L"agent").Number(1).Text(L"C:\\Users\\Public\\planted.exe");
    out.Begin(L"agent").Number(4242);
    out.Begin(L"program").Text(L"C:\\Users\\Public\\planted.exe");
    out.Begin(L"agent").Number(3);
    out.Begin(L"agent").Number(1);
    EXPECT_EQ((std::vector<DWORD>{1, 3}), StoppedSessions(out.str(), {0, 1, 2, 3}));
    EXPECT_TRUE(StoppedSessions(L"agent 1", {1}).empty());  // not records
    DWORD own = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &own));
    EXPECT_TRUE(ExistingSessions().contains(own));
    EXPECT_FALSE(ExistingSessions().contains(4242));
}

}  // namespace
}  // namespace lmvnsetup
