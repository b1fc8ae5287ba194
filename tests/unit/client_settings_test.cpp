#include "job/client_settings.h"

#include "diag/format.h"
#include "diag/report.h"
#include "scratch_registry.h"
#include "support/harness.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace lmvn {
namespace {

// What a report broadcast in message mode carries.
struct Broadcast {
    WPARAM code;
    LPARAM error;
};
std::vector<Broadcast> g_broadcasts;

BOOL WINAPI RecordBroadcast(HWND, UINT, WPARAM code, LPARAM error) {
    g_broadcasts.push_back({code, error});
    return TRUE;
}

LONG WINAPI DenyOpen(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) { return ERROR_ACCESS_DENIED; }

// Works under a key of its own, so that it never meets an end-to-end test
// using the agent's real key.
class ClientSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        keyPath_ = L"Software\\LumvaneClientTest" + std::to_wstring(GetCurrentProcessId());
        DeleteKeys();
        g_broadcasts.clear();
        MessageMode = 1;  // reports become broadcasts carrying code and error number
        LogEnabled = 0;
    }
    void TearDown() override {
        DeleteKeys();
        MessageMode = 0;
    }
    void DeleteKeys() {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            RegDeleteTreeW(root, keyPath_.c_str());
            RegDeleteTreeW(root, PolicyPath().c_str());
        }
    }
    // The test key's Group Policy key (Software\Policies\...).
    std::wstring PolicyPath() const { return L"Software\\Policies\\" + keyPath_.substr(9); }
    // Under `subkey` of the test's key when given ("Settings").
    // Under the test's policy key when `subkey` is kPolicy.
    static constexpr wchar_t kPolicy[] = L"(policy)";
    void SetRaw(HKEY root, const wchar_t* name, DWORD type, const void* data, DWORD size,
                const wchar_t* subkey = nullptr) {
        const std::wstring path = subkey == kPolicy ? PolicyPath()
                                  : subkey          ? keyPath_ + L"\\" + subkey
                                                    : keyPath_;
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
        DWORD stored = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &stored));
        ASSERT_EQ(size, stored);
        RegCloseKey(key);
    }
    void SetText(HKEY root, const wchar_t* name, const std::wstring& text,
                 const wchar_t* subkey = nullptr) {
        SetRaw(root, name, REG_SZ, text.c_str(),
               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), subkey);
    }
    void SetDword(HKEY root, const wchar_t* name, DWORD value, const wchar_t* subkey = nullptr) {
        SetRaw(root, name, REG_DWORD, &value, sizeof(value), subkey);
    }
    // Values stored in ways the agent reads raw: text for a number, 8 bytes
    // for a number, the longest text, too long a text, and 520 bytes with no
    // terminator.
    void StoreOddValues() {
        // "1" as text is 4 bytes: '1', 0 -> 49.
        SetText(HKEY_CURRENT_USER, L"Transfer Mode", L"1");
        // Eight bytes are too many for an integer: the machine value applies.
        const ULONGLONG wide = 7;
        SetRaw(HKEY_CURRENT_USER, L"Message ID", REG_QWORD, &wide, sizeof(wide));
        SetDword(HKEY_LOCAL_MACHINE, L"Message ID", 0x8005);
        // 259 characters and the null fill the room exactly; one more is too long.
        const std::wstring longest(259, L'c');
        SetText(HKEY_CURRENT_USER, L"Target Window Class", longest);
        SetText(HKEY_CURRENT_USER, L"Target Window Title", std::wstring(260, L't'));
        SetText(HKEY_LOCAL_MACHINE, L"Target Window Title", L"fallback");
        // 520 bytes with no terminator would leave the field unterminated (the
        // text goes on in memory, or the registry would add a terminator).
        const std::wstring unterminated(262, L'f');
        SetRaw(HKEY_CURRENT_USER, L"Clipboard Format", REG_SZ, unterminated.data(), 520);
    }
    BOOL Read(ClientSettings& settings) {
        ScopedApiOverride notify(&Win32Api::SendNotifyMessageW, &RecordBroadcast);
        return ReadClientSettings(keyPath_.c_str(), settings);
    }
    // A job's read that fails with the report 0xF006 carrying `error`.
    void ExpectMachineKeyFailure(LONG error) {
        g_broadcasts.clear();
        ClientSettings settings;
        EXPECT_FALSE(Read(settings));
        ASSERT_EQ(1u, g_broadcasts.size());
        EXPECT_EQ(0xF006u, g_broadcasts[0].code);
        EXPECT_EQ(error, g_broadcasts[0].error);
        g_broadcasts.clear();
    }

    std::wstring keyPath_;
};

// Group Policy over the client values: the machine policy, then the user
// policy, then the user's own values, then the machine's settings, value by
// value; a value a key holds unreadable gives way to the next key.
TEST_F(ClientSettingsTest, PoliciesComeFirstValueByValue) {
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"machine.exe", L"Settings");
    SetDword(HKEY_LOCAL_MACHINE, L"Transfer Mode", 0, L"Settings");
    SetText(HKEY_LOCAL_MACHINE, L"Target Window Class", L"MachineClass", L"Settings");
    SetText(HKEY_LOCAL_MACHINE, L"Clipboard Format", L"Machine Format", L"Settings");
    SetDword(HKEY_LOCAL_MACHINE, L"Message ID", 1, L"Settings");
    SetText(HKEY_CURRENT_USER, L"Client Application", L"user.exe");
    SetDword(HKEY_CURRENT_USER, L"Transfer Mode", 1);
    SetText(HKEY_CURRENT_USER, L"Target Window Class", L"UserClass");
    SetDword(HKEY_CURRENT_USER, L"Message ID", 2);
    SetText(HKEY_CURRENT_USER, L"Client Application", L"user-policy.exe", kPolicy);
    // 520 bytes, no terminator (padded so that none is added): unreadable.
    const std::wstring full(300, L'c');
    SetRaw(HKEY_CURRENT_USER, L"Target Window Class", REG_SZ, full.data(), 520, kPolicy);
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"machine-policy.exe", kPolicy);
    SetDword(HKEY_LOCAL_MACHINE, L"Message ID", 3, kPolicy);

    ClientSettings settings;
    ClientSettingsTrace trace;
    ASSERT_EQ(ERROR_SUCCESS, LookUpClientSettings(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                                  keyPath_.c_str(), settings, &trace));
    EXPECT_STREQ(L"machine-policy.exe", settings.clientApplication);
    EXPECT_EQ(ValueSource::MachinePolicy, trace.values[kClientApplication].source);
    EXPECT_EQ(1u, settings.transferMode);
    EXPECT_EQ(ValueSource::User, trace.values[kTransferMode].source);
    EXPECT_STREQ(L"UserClass", settings.targetWindowClass);
    EXPECT_EQ(ValueSource::User, trace.values[kTargetWindowClass].source);
    EXPECT_EQ(ERROR_MORE_DATA, trace.values[kTargetWindowClass].reads[kUserPolicy].status);
    EXPECT_STREQ(L"Machine Format", settings.clipboardFormat);
    EXPECT_EQ(ValueSource::Machine, trace.values[kClipboardFormat].source);
    EXPECT_EQ(3u, settings.messageId);
    EXPECT_EQ(ValueSource::MachinePolicy, trace.values[kMessageId].source);

    // A machine policy key that users may write is nobody's to follow.
    ASSERT_EQ(ERROR_SUCCESS,
              lmvntest::SetKeyRights(HKEY_LOCAL_MACHINE, PolicyPath().c_str(),
                                     L"O:BAD:PAI(A;;KA;;;SY)(A;;KA;;;BA)(A;;0x2001b;;;BU)"));
    ASSERT_EQ(ERROR_SUCCESS, LookUpClientSettings(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                                  keyPath_.c_str(), settings, &trace));
    EXPECT_STREQ(L"user-policy.exe", settings.clientApplication);
    EXPECT_EQ(kSettingsKeyNotProtected, trace.keyStatus[kMachinePolicy]);

    // Without the machine policy, the user policy wins over the user's own.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, PolicyPath().c_str());
    ASSERT_EQ(ERROR_SUCCESS, LookUpClientSettings(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                                  keyPath_.c_str(), settings, &trace));
    EXPECT_STREQ(L"user-policy.exe", settings.clientApplication);
    EXPECT_EQ(ValueSource::UserPolicy, trace.values[kClientApplication].source);
    EXPECT_EQ(2u, settings.messageId);

    // A machine configured by policy alone needs no other key.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyPath_.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str());
    EXPECT_TRUE(ReadClientSettings(keyPath_.c_str(), settings));
    EXPECT_STREQ(L"user-policy.exe", settings.clientApplication);
    EXPECT_TRUE(g_broadcasts.empty());
}

TEST_F(ClientSettingsTest, PresentPerUserValueWinsValueByValue) {
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"C:\\machine\\client.exe");
    SetDword(HKEY_LOCAL_MACHINE, L"Transfer Mode", 2);
    SetText(HKEY_LOCAL_MACHINE, L"Target Window Class", L"MachineClass");
    SetText(HKEY_LOCAL_MACHINE, L"Target Window Title", L"Machine title");
    SetText(HKEY_LOCAL_MACHINE, L"Clipboard Format", L"Machine format");
    SetDword(HKEY_LOCAL_MACHINE, L"Message ID", 0x8123);
    // Per user: an empty client, a zero message number, no transfer mode.
    SetText(HKEY_CURRENT_USER, L"Client Application", L"");
    SetText(HKEY_CURRENT_USER, L"Target Window Class", L"UserClass");
    SetDword(HKEY_CURRENT_USER, L"Message ID", 0);

    ClientSettings settings;
    ASSERT_TRUE(Read(settings));
    EXPECT_STREQ(L"", settings.clientApplication);
    EXPECT_EQ(2u, settings.transferMode);
    EXPECT_STREQ(L"UserClass", settings.targetWindowClass);
    EXPECT_STREQ(L"Machine title", settings.targetWindowTitle);
    EXPECT_STREQ(L"Machine format", settings.clipboardFormat);
    EXPECT_EQ(0u, settings.messageId);
    EXPECT_TRUE(g_broadcasts.empty());
}

TEST_F(ClientSettingsTest, ValuesAreReadRawAndOversizeCountsAsAbsent) {
    StoreOddValues();
    // Neither key holds "Client Application".

    ClientSettings settings;
    settings.transferMode = 99;  // stale values from an earlier use must not survive
    settings.clientApplication[0] = L'x';
    ASSERT_TRUE(Read(settings));
    EXPECT_EQ(49u, settings.transferMode);
    EXPECT_EQ(0x8005u, settings.messageId);
    EXPECT_EQ(std::wstring(259, L'c'), settings.targetWindowClass);
    EXPECT_STREQ(L"fallback", settings.targetWindowTitle);
    EXPECT_STREQ(L"", settings.clipboardFormat);
    EXPECT_STREQ(L"", settings.clientApplication);
}

// The lookup a configuration check uses is the agent's own: the same
// settings, and for each value where it came from and how it is stored.
TEST_F(ClientSettingsTest, TracedLookUpGivesTheAgentsSettingsAndEachValuesSource) {
    StoreOddValues();
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"machine.exe");
    ClientSettings agent;
    ASSERT_TRUE(Read(agent));
    ClientSettings traced;
    ClientSettingsTrace trace;
    ASSERT_EQ(ERROR_SUCCESS, LookUpClientSettings(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                                  keyPath_.c_str(), traced, &trace));
    EXPECT_EQ(0, memcmp(&agent, &traced, sizeof(agent)));

    const auto& mode = trace.values[kTransferMode];
    EXPECT_EQ(ValueSource::User, mode.source);
    EXPECT_EQ(REG_SZ, mode.reads[kUser].type);
    EXPECT_EQ(4u, mode.reads[kUser].size);
    EXPECT_FALSE(mode.tried[kMachine]);
    const auto& message = trace.values[kMessageId];
    EXPECT_EQ(ValueSource::Machine, message.source);
    EXPECT_EQ(ERROR_MORE_DATA, message.reads[kUser].status);
    EXPECT_EQ(REG_QWORD, message.reads[kUser].type);
    EXPECT_EQ(8u, message.reads[kUser].size);
    EXPECT_EQ(REG_DWORD, message.reads[kMachine].type);
    const auto& format = trace.values[kClipboardFormat];
    EXPECT_EQ(ValueSource::Default, format.source);
    EXPECT_EQ(ERROR_MORE_DATA, format.reads[kUser].status);  // 520 bytes, no terminator
    EXPECT_EQ(520u, format.reads[kUser].size);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, format.reads[kMachine].status);
    EXPECT_EQ(ValueSource::Machine, trace.values[kClientApplication].source);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, trace.values[kClientApplication].reads[kUser].status);

    // Neither key: the machine key's error, and no report from the lookup.
    DeleteKeys();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, LookUpClientSettings(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                                         keyPath_.c_str(), traced, &trace));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, trace.keyStatus[kUser]);
    EXPECT_TRUE(g_broadcasts.empty());
}

TEST_F(ClientSettingsTest, EitherKeyAloneIsEnough) {
    SetText(HKEY_CURRENT_USER, L"Client Application", L"user.exe");
    ClientSettings settings;
    ASSERT_TRUE(Read(settings));
    EXPECT_STREQ(L"user.exe", settings.clientApplication);
    EXPECT_EQ(0u, settings.transferMode);

    RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str());
    SetDword(HKEY_LOCAL_MACHINE, L"Transfer Mode", 1);
    ASSERT_TRUE(Read(settings));
    EXPECT_STREQ(L"", settings.clientApplication);
    EXPECT_EQ(1u, settings.transferMode);
    EXPECT_TRUE(g_broadcasts.empty());
}

TEST_F(ClientSettingsTest, NeitherKeyReportsByTheMachineKeysError) {
    ClientSettings settings;
    EXPECT_FALSE(Read(settings));
    ASSERT_EQ(1u, g_broadcasts.size());
    EXPECT_EQ(111u, g_broadcasts[0].code);

    g_broadcasts.clear();
    SetDword(HKEY_LOCAL_MACHINE, L"Transfer Mode", 1);
    {
        ScopedApiOverride deny(&Win32Api::RegOpenKeyExW, &DenyOpen);
        EXPECT_FALSE(Read(settings));
    }
    ASSERT_EQ(1u, g_broadcasts.size());
    EXPECT_EQ(0xF006u, g_broadcasts[0].code);
    EXPECT_EQ(ERROR_ACCESS_DENIED, g_broadcasts[0].error);
}

// Where HKLM\...\Settings exists, the machine-wide values come from there
// alone: one missing there is not taken from the main key, which users may
// write. Without Settings, the main key serves as before.
TEST_F(ClientSettingsTest, MachineValuesComeFromSettingsAloneWhereItExists) {
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"main.exe");
    SetDword(HKEY_LOCAL_MACHINE, L"Transfer Mode", 2);
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"settings.exe", L"Settings");
    SetText(HKEY_CURRENT_USER, L"Target Window Class", L"UserClass");

    ClientSettings settings;
    ClientSettingsTrace trace;
    ASSERT_EQ(ERROR_SUCCESS, LookUpClientSettings(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                                  keyPath_.c_str(), settings, &trace));
    EXPECT_EQ(SettingsPlace::SettingsKey, trace.machinePlace);
    EXPECT_STREQ(L"settings.exe", settings.clientApplication);
    EXPECT_EQ(0u, settings.transferMode);
    EXPECT_EQ(ValueSource::Default, trace.values[kTransferMode].source);
    EXPECT_STREQ(L"UserClass", settings.targetWindowClass);

    ASSERT_EQ(ERROR_SUCCESS,
              RegDeleteTreeW(HKEY_LOCAL_MACHINE, (keyPath_ + L"\\Settings").c_str()));
    ASSERT_EQ(ERROR_SUCCESS, LookUpClientSettings(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                                  keyPath_.c_str(), settings, &trace));
    EXPECT_EQ(SettingsPlace::MainKey, trace.machinePlace);
    EXPECT_STREQ(L"main.exe", settings.clientApplication);
    EXPECT_EQ(2u, settings.transferMode);
    EXPECT_TRUE(g_broadcasts.empty());
}

// A Settings key that exists but cannot be opened is reported as the machine
// key's failure (0xF006 with its error) when there is no per-user key; the
// main key's values are not used in its place.
TEST_F(ClientSettingsTest, UnreadableSettingsKeyIsNotReplacedByTheMainKey) {
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"main.exe");
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"settings.exe", L"Settings");
    ScopedApiOverride deny(&Win32Api::RegOpenKeyExW, &lmvntest::OpenDenyingSettingsKey);
    ExpectMachineKeyFailure(ERROR_ACCESS_DENIED);

    SetDword(HKEY_CURRENT_USER, L"Transfer Mode", 1);
    ClientSettings settings;
    ASSERT_TRUE(Read(settings));
    EXPECT_EQ(1u, settings.transferMode);
    EXPECT_STREQ(L"", settings.clientApplication);
    EXPECT_TRUE(g_broadcasts.empty());
}

LONG WINAPI DenyKeySecurity(HKEY, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, LPDWORD) {
    return ERROR_ACCESS_DENIED;
}

constexpr wchar_t kUsersMayWrite[] = L"O:BAD:PAI(A;;KA;;;SY)(A;;KA;;;BA)(A;;0x2001b;;;BU)";

// A Settings key that users may write is refused, and the main key is not
// read in its place; the main key itself, where no Settings exists, only
// while nobody but the administrators may write it. A job meets a refused
// key as one that cannot be opened: without a per-user key it is reported
// (0xF006, with the refusal's status); with one, only per-user values count.
TEST_F(ClientSettingsTest, KeysOthersMayWriteAreNotRead) {
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"main.exe");
    SetText(HKEY_LOCAL_MACHINE, L"Client Application", L"planted.exe", L"Settings");
    ASSERT_EQ(ERROR_SUCCESS,
              lmvntest::SetKeyRights(HKEY_LOCAL_MACHINE, keyPath_ + L"\\Settings", kUsersMayWrite));
    UniqueKey key;
    SettingsPlace place = SettingsPlace::MainKey;
    SettingsKeyRights rights;
    EXPECT_EQ(kSettingsKeyNotProtected,
              OpenMachineSettingsKey(HKEY_LOCAL_MACHINE, keyPath_.c_str(), key, &place, &rights));
    EXPECT_FALSE(key);
    EXPECT_EQ(SettingsPlace::None, place);
    EXPECT_EQ(SettingsPlace::SettingsKey, rights.key);
    EXPECT_EQ(KeyWriters::Grant, rights.check.writers);

    ExpectMachineKeyFailure(kSettingsKeyNotProtected);
    SetText(HKEY_CURRENT_USER, L"Target Window Class", L"UserClass");
    ClientSettings settings;
    ASSERT_TRUE(Read(settings));
    EXPECT_STREQ(L"", settings.clientApplication);
    EXPECT_STREQ(L"UserClass", settings.targetWindowClass);
    EXPECT_TRUE(g_broadcasts.empty());

    // Without Settings, the main key as an administrator made it serves...
    ASSERT_EQ(ERROR_SUCCESS,
              RegDeleteTreeW(HKEY_LOCAL_MACHINE, (keyPath_ + L"\\Settings").c_str()));
    EXPECT_EQ(ERROR_SUCCESS,
              OpenMachineSettingsKey(HKEY_LOCAL_MACHINE, keyPath_.c_str(), key, &place, &rights));
    EXPECT_EQ(SettingsPlace::MainKey, place);
    EXPECT_TRUE(rights.check.trusted());
    // ...but not with the rights the package gives it, where users may set
    // values, nor when its descriptor cannot be read.
    ASSERT_EQ(ERROR_SUCCESS, lmvntest::SetKeyRights(HKEY_LOCAL_MACHINE, keyPath_, kUsersMayWrite));
    EXPECT_EQ(kSettingsKeyNotProtected,
              OpenMachineSettingsKey(HKEY_LOCAL_MACHINE, keyPath_.c_str(), key, &place, &rights));
    EXPECT_EQ(SettingsPlace::MainKey, rights.key);
    ASSERT_EQ(ERROR_SUCCESS, lmvntest::SetKeyRights(HKEY_LOCAL_MACHINE, keyPath_,
                                                    L"O:BAD:(A;;KA;;;BA)(A;;KR;;;BU)"));
    ScopedApiOverride deny(&Win32Api::RegGetKeySecurity, &DenyKeySecurity);
    EXPECT_EQ(kSettingsKeyNotProtected,
              OpenMachineSettingsKey(HKEY_LOCAL_MACHINE, keyPath_.c_str(), key, &place, &rights));
    EXPECT_EQ(KeyWriters::Unreadable, rights.check.writers);
    EXPECT_EQ(ERROR_ACCESS_DENIED, rights.check.status);
}

TEST_F(ClientSettingsTest, RegistryReportTextsInABox) {
    MessageMode = 0;
    static std::vector<std::wstring> texts;
    texts.clear();
    ScopedApiOverride box(
        &Win32Api::MessageBoxW, +[](HWND owner, LPCWSTR text, LPCWSTR, UINT style) {
            if (owner == nullptr && style == MB_SYSTEMMODAL) texts.push_back(text);
            return IDOK;
        });
    ScopedApiOverride deny(&Win32Api::RegOpenKeyExW, &DenyOpen);
    ClientSettings settings;
    EXPECT_FALSE(Read(settings));
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ(0u,
              texts[0].find(L"Failed to open registry key\nHKLM\\Software\\Lumvane\nError # 5: "))
        << texts[0];
}

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_broadcasts.clear();
        MessageMode = 1;
        LogEnabled = 0;
        ASSERT_TRUE(lmvntest::WriteFileBytes(jobFile(), "[Document]\r\n"));
    }
    void TearDown() override {
        MessageMode = 0;
        DeleteFileW(jobFile().c_str());
    }
    std::wstring jobFile() const { return dir_ / L"job.ini"; }
    BOOL Prepare(ClientSettings& settings, const std::wstring& application) {
        CopyText(settings.clientApplication, application.c_str());
        ScopedApiOverride notify(&Win32Api::SendNotifyMessageW, &RecordBroadcast);
        return PrepareClientCommandLine(settings, jobFile().c_str());
    }
    lmvntest::TempDir dir_{L"lmvncmd"};
};

TEST_F(CommandLineTest, QuotesOnlyUnquotedTextWithABlank) {
    struct Case {
        const wchar_t* application;
        const wchar_t* commandLine;
    } cases[] = {
        {L"C:\\apps\\client.exe", L"C:\\apps\\client.exe"},
        {L"C:\\Program Files\\client.exe", L"\"C:\\Program Files\\client.exe\""},
        {L"\"C:\\Program Files\\client.exe\" /job", L"\"C:\\Program Files\\client.exe\" /job"},
        {L"C:\\apps\\client.exe /job", L"\"C:\\apps\\client.exe /job\""},
        {L"C:\\apps\\client.exe\t/job", L"C:\\apps\\client.exe\t/job"},
    };
    for (const Case& c : cases) {
        ClientSettings settings;
        EXPECT_TRUE(Prepare(settings, c.application)) << c.application;
        EXPECT_STREQ(c.commandLine, settings.commandLine);
    }
    EXPECT_TRUE(g_broadcasts.empty());
    EXPECT_TRUE(lmvntest::FileExists(jobFile()));
}

TEST_F(CommandLineTest, EmptyClientReports112AndDeletesTheJobFile) {
    ClientSettings settings;
    EXPECT_FALSE(Prepare(settings, L""));
    ASSERT_EQ(1u, g_broadcasts.size());
    EXPECT_EQ(112u, g_broadcasts[0].code);
    EXPECT_FALSE(lmvntest::FileExists(jobFile()));
}

TEST_F(CommandLineTest, QuotedTextMustFitTheCommandLine) {
    // 257 units and two quotes fill the 260 units with the terminator.
    std::wstring fits = L"C:\\a b\\" + std::wstring(250, L'x');
    ASSERT_EQ(257u, fits.size());
    ClientSettings settings;
    ASSERT_TRUE(Prepare(settings, fits));
    EXPECT_EQ(L"\"" + fits + L"\"", settings.commandLine);
    EXPECT_TRUE(g_broadcasts.empty());

    // One more unit would be cut; the client is not started with a cut name.
    std::wstring tooLong = fits + L"y";
    ClientSettings other;
    EXPECT_FALSE(Prepare(other, tooLong));
    EXPECT_STREQ(L"", other.commandLine);
    ASSERT_EQ(1u, g_broadcasts.size());
    EXPECT_EQ(113u, g_broadcasts[0].code);
    EXPECT_FALSE(lmvntest::FileExists(jobFile()));

    // Quoted already, 259 units are used as they stand.
    ASSERT_TRUE(lmvntest::WriteFileBytes(jobFile(), "[Document]\r\n"));
    std::wstring quoted = L"\"C:\\a b\\c.exe\" " + std::wstring(244, L'z');
    ASSERT_EQ(259u, quoted.size());
    EXPECT_TRUE(Prepare(other, quoted));
    EXPECT_EQ(quoted, other.commandLine);
}

}  // namespace
}  // namespace lmvn
