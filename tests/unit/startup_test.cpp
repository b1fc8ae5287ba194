#include "agent/agent_main.h"
#include "common/settings.h"
#include "diag/format.h"
#include "scratch_registry.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

namespace lmvn {
namespace {

using lmvntest::ScratchMachineKey;

class AgentSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        NT4Mode = FALSE;
        LogEnabled = 0;
        MessageMode = 0;
        LogDestDir[0] = L'\0';
        AgentCaption[0] = L'\0';
        NotifyMessageId = 0;
    }
    wchar_t user_[64] = {};
};

TEST_F(AgentSettingsTest, DefaultsWithoutTheKey) {
    ScratchMachineKey scratch;
    ReadAgentSettings(user_);
    EXPECT_EQ(0u, LogEnabled);
    EXPECT_EQ(0u, MessageMode);
    EXPECT_STREQ(L"", LogDestDir);
    EXPECT_STREQ(L"Lumvane agent", AgentCaption);
    EXPECT_EQ(RegisterWindowMessageW(L"Lumvane_notify_message"), NotifyMessageId);
    wchar_t expectedUser[64] = {};
    DWORD size = 64;
    GetUserNameW(expectedUser, &size);
    EXPECT_STREQ(expectedUser, user_);
}

TEST_F(AgentSettingsTest, ValuesAreReadRawAndOversizeOnesCountAsAbsent) {
    ScratchMachineKey scratch;
    const DWORD two = 2;
    ASSERT_TRUE(scratch.SetRaw(L"Log", REG_DWORD, &two, sizeof(two)));
    const ULONGLONG wide = 1;
    ASSERT_TRUE(scratch.SetRaw(L"Message Mode", REG_QWORD, &wide, sizeof(wide)));
    const wchar_t dir[] = L"%SystemRoot%\\logs";
    ASSERT_TRUE(scratch.SetRaw(L"LogDestDir", REG_EXPAND_SZ, dir, sizeof(dir)));
    ReadAgentSettings(user_);
    EXPECT_EQ(2u, LogEnabled);
    EXPECT_EQ(0u, MessageMode);
    EXPECT_STREQ(dir, LogDestDir);  // not expanded
}

TEST_F(AgentSettingsTest, LogDestDirFillingItsRoomWithoutTerminatorIsAbsent) {
    ScratchMachineKey scratch;
    // Padding past the data keeps the registry from adding a terminator.
    std::wstring full(300, L'd');
    ASSERT_TRUE(scratch.SetRaw(L"LogDestDir", REG_SZ, full.data(), 512));
    ReadAgentSettings(user_);
    EXPECT_STREQ(L"", LogDestDir);

    full[255] = L'\0';
    ASSERT_TRUE(scratch.SetRaw(L"LogDestDir", REG_SZ, full.data(), 512));
    ReadAgentSettings(user_);
    EXPECT_EQ(255u, wcslen(LogDestDir));
}

// With a Settings key, its values alone count: a value in the main key, which
// users may write, fills no gap there. A Settings key that cannot be opened
// gives the defaults, not the main key's values. Without one, the main key
// counts as before.
TEST_F(AgentSettingsTest, SettingsKeyAloneCountsWhereItExists) {
    ScratchMachineKey scratch;
    ASSERT_TRUE(scratch.SetDword(L"Log", 1));
    ASSERT_TRUE(scratch.SetDword(L"Message Mode", 1));
    ASSERT_TRUE(scratch.SetString(L"LogDestDir", L"C:\\main"));
    ASSERT_TRUE(scratch.SetSettingsDword(L"Log", 3));
    ReadAgentSettings(user_);
    EXPECT_EQ(3u, LogEnabled);
    EXPECT_EQ(0u, MessageMode);
    EXPECT_STREQ(L"", LogDestDir);

    Reset();
    {
        ScopedApiOverride deny(&Win32Api::RegOpenKeyExW, &lmvntest::OpenDenyingSettingsKey);
        ReadAgentSettings(user_);
    }
    EXPECT_EQ(0u, LogEnabled);
    EXPECT_EQ(0u, MessageMode);
    EXPECT_STREQ(L"", LogDestDir);

    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Lumvane\\Settings"));
    ReadAgentSettings(user_);
    EXPECT_EQ(1u, LogEnabled);
    EXPECT_EQ(1u, MessageMode);
    EXPECT_STREQ(L"C:\\main", LogDestDir);
}

// Group Policy: the machine policy wins over the settings, value by value; a
// user policy counts for "Message Mode" alone, the one agent value that is
// the user's (how this user's reports come); the log and the Event Log serve
// every user of the machine.
TEST_F(AgentSettingsTest, MachinePolicyWinsAndUserPolicyCountsForMessageModeAlone) {
    ScratchMachineKey scratch;
    ASSERT_TRUE(scratch.SetSettingsDword(L"Log", 0));
    ASSERT_TRUE(scratch.SetSettingsDword(L"Message Mode", 0));
    ASSERT_TRUE(scratch.SetSettingsDword(L"Event Log", 1));
    ASSERT_TRUE(scratch.SetSettingsDword(L"LogMaxSize", 64));
    const auto set = [](HKEY root, const wchar_t* name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, L"Software\\Policies\\Lumvane", 0, nullptr,
                                                 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&value), 4));
        RegCloseKey(key);
    };
    // A user's hive of the test's own, below the scratch machine.
    HKEY user = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"UserHive", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &user, nullptr));
    set(HKEY_LOCAL_MACHINE, L"Log", 1);
    set(user, L"Log", 0);           // not the user's to set
    set(user, L"Event Log", 0);     // nor this
    set(user, L"LogMaxSize", 0);    // nor the bound of the machine's log
    set(user, L"Message Mode", 1);  // this is
    AgentValues values;
    AgentValueReads reads;
    ReadAgentValues(values, &reads, user);
    EXPECT_EQ(1u, values.log);
    EXPECT_EQ(ValueSource::MachinePolicy, reads.log.source);
    EXPECT_EQ(1u, values.messageMode);
    EXPECT_EQ(ValueSource::UserPolicy, reads.messageMode.source);
    EXPECT_EQ(1u, values.eventLog);
    EXPECT_EQ(ValueSource::Machine, reads.eventLog.source);
    EXPECT_EQ(64u, values.logMaxSize);
    EXPECT_EQ(ValueSource::Machine, reads.logMaxSize.source);
    EXPECT_EQ(ValueSource::Default, reads.logDestDir.source);

    // The machine policy wins over the user policy too.
    set(HKEY_LOCAL_MACHINE, L"Message Mode", 0);
    ReadAgentValues(values, &reads, user);
    EXPECT_EQ(0u, values.messageMode);
    EXPECT_EQ(ValueSource::MachinePolicy, reads.messageMode.source);
    RegCloseKey(user);
}

TEST_F(AgentSettingsTest, OnlyMajorVersionFourIsNT4) {
    OSVERSIONINFOW v = {};
    for (DWORD major : {3u, 4u, 5u, 6u, 10u}) {
        v.dwMajorVersion = major;
        EXPECT_EQ(major == 4, IsNT4(v)) << major;
    }
    ScopedApiOverride version(
        &Win32Api::GetVersionExW, +[](LPOSVERSIONINFOW info) -> BOOL {
            if (info->dwOSVersionInfoSize != 276) return FALSE;
            info->dwMajorVersion = 4;
            info->dwMinorVersion = 0;
            return TRUE;
        });
    ScratchMachineKey scratch;
    ReadAgentSettings(user_);
    EXPECT_TRUE(NT4Mode);
}

// A Settings key that users may write keeps the values at their
// defaults, as a key that cannot be opened does; the read tells why.
TEST_F(AgentSettingsTest, ASettingsKeyOthersMayWriteGivesTheDefaults) {
    ScratchMachineKey scratch;
    ASSERT_TRUE(scratch.SetSettingsDword(L"Log", 1));
    ASSERT_EQ(ERROR_SUCCESS,
              lmvntest::SetKeyRights(HKEY_LOCAL_MACHINE, L"Software\\Lumvane\\Settings",
                                     L"O:BAD:PAI(A;;KA;;;SY)(A;;KA;;;BA)(A;;0x2001b;;;BU)"));
    AgentValues values;
    AgentValueReads reads;
    ReadAgentValues(values, &reads);
    EXPECT_EQ(0u, values.log);
    EXPECT_EQ(ValueSource::Default, reads.log.source);
    EXPECT_EQ(0u, values.messageMode);
    EXPECT_STREQ(L"", values.logDestDir);
    EXPECT_EQ(kSettingsKeyNotProtected, reads.keyStatus);
    EXPECT_EQ(SettingsPlace::None, reads.place);
}

}  // namespace
}  // namespace lmvn
