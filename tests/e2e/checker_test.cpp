// lmvncheck.exe against the real agent's folder, registry and events: a
// correct configuration gives no finding, and each common mistake gives the
// finding, the notification code and the exit code that name it. The checker
// must change nothing it looks at.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

#include "support/harness.h"
#include "support/scratch_registry.h"
#include "support/stagedouble.h"
#include "support/submitter.h"

namespace {

using lmvntest::AgentRegistry;

constexpr wchar_t kClientClass[] = L"LumvaneCheckClient";

class CheckerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::make_unique<lmvntest::TempDir>(L"lmvncheck");
        ASSERT_TRUE(lmvntest::InstallStageDoubles(dir()));
        ASSERT_TRUE(lmvntest::InstallStageDouble(dir(), L"client.exe"));
        // A correct copy-data configuration with logging on.
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir()));
        ASSERT_TRUE(AgentRegistry::SetClient(1, kClientClass, path(L"client.exe")));
        ASSERT_TRUE(agent_.Start(dir()));
        ASSERT_TRUE(lmvntest::WaitUntil(
            [&] {
                const auto texts = lmvntest::LogTexts(path(L"vp_log.txt"));
                return !texts.empty() && texts.back() == L"Waiting for events.";
            },
            20000));
    }
    void TearDown() override {
        if (agent_.Running()) {
            EXPECT_EQ(0u, agent_.Stop().value_or(99));
        }
    }

    const std::wstring& dir() const { return dir_->path(); }
    std::wstring path(const std::wstring& name) const { return lmvntest::JoinPath(dir(), name); }

    // Runs lmvncheck --json for the test's agent folder.
    lmvntest::ToolResult Check(const std::wstring& options = L"") {
        auto result = lmvntest::RunTool(L"lmvncheck.exe",
                                        L"--json --agent-dir \"" + dir() + L"\" " + options);
        EXPECT_TRUE(result.exitCode.has_value()) << "lmvncheck did not end";
        return result;
    }

    AgentRegistry registry_;
    std::unique_ptr<lmvntest::TempDir> dir_;
    lmvntest::AgentProcess agent_;
};

// The JSON of one finding up to its text.
std::wstring Finding(const wchar_t* severity, const wchar_t* code, const wchar_t* id) {
    return std::wstring(L"{\"severity\":\"") + severity + L"\",\"code\":" + code + L",\"id\":\"" +
           id + L"\"";
}

bool Has(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

TEST_F(CheckerTest, CorrectConfigurationHasNoFindingsAndShowsSources) {
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Message ID", 7));
    const auto result = Check();
    EXPECT_EQ(0u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, L"\"findings\":[]")) << result.out;
    EXPECT_TRUE(Has(result.out,
                    L"{\"group\":\"client\",\"name\":\"Transfer Mode\",\"value\":\"1 "
                    L"(0x1): copy-data mode\",\"source\":\"user\",\"stored\":"
                    L"\"REG_DWORD, 4 bytes\"}"))
        << result.out;
    EXPECT_TRUE(Has(result.out,
                    L"\"name\":\"Message ID\",\"value\":\"7 (0x7)\",\"source\":"
                    L"\"machine\""));
    EXPECT_TRUE(Has(result.out,
                    L"\"name\":\"Clipboard Format\",\"value\":\"\\\"\\\"\","
                    L"\"source\":\"default\""));
    EXPECT_TRUE(Has(result.out, L"an agent is running")) << result.out;

    // The plain text form says the same.
    const auto text = lmvntest::RunTool(L"lmvncheck.exe", L"--agent-dir \"" + dir() + L"\"");
    EXPECT_EQ(0u, text.exitCode.value_or(99));
    EXPECT_TRUE(Has(text.out, L"No findings.")) << text.out;
}

// With a Settings key the machine-wide values come from there alone, and the
// settings left in the key above, which users may write, are named as
// ignored.
TEST_F(CheckerTest, SettingsKeyIsTheOnlyMachineSourceWhereItExists) {
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Message ID", 7));
    HKEY settings = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Lumvane\\Settings", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &settings, nullptr));
    const DWORD id = 9;
    const LONG status = RegSetValueExW(settings, L"Message ID", 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&id), sizeof(id));
    RegCloseKey(settings);
    ASSERT_EQ(ERROR_SUCCESS, status);
    const auto result = Check();
    EXPECT_EQ(1u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out,
                    L"\"name\":\"Message ID\",\"value\":\"9 (0x9)\",\"source\":"
                    L"\"machine (Settings)\""))
        << result.out;
    EXPECT_TRUE(Has(result.out,
                    L"\"name\":\"Log\",\"value\":\"0 (0x0): off\",\"source\":"
                    L"\"default\""));
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"settings-ignored") +
                                    L",\"text\":\"HKLM\\\\Software\\\\Lumvane holds "
                                    L"\\\"Log\\\", \\\"LogDestDir\\\", \\\"Message ID\\\", but"))
        << result.out;
}

TEST_F(CheckerTest, ValuesOfAnotherTypeOrSizeAreReadAsTheAgentReadsThem) {
    // "reg add" without /t: REG_SZ "1" reads as 49, command-line mode.
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Transfer Mode", L"1"));
    auto result = Check();
    EXPECT_EQ(1u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"value-type") +
                                    L",\"text\":\"HKCU \\\"Transfer Mode\\\" is REG_SZ \\\"1\\\" "
                                    L"(4 bytes), not REG_DWORD: the agent reads its first 4 bytes "
                                    L"raw, as the number 49 (0x31)."))
        << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"transfer-mode-other")));
    EXPECT_TRUE(Has(result.out, L"\"value\":\"49 (0x31): command-line mode\""));

    // A per-user number of 8 bytes counts as absent: the machine-wide one applies.
    const ULONGLONG wide = 2;
    ASSERT_TRUE(AgentRegistry::SetRaw(HKEY_CURRENT_USER, L"Transfer Mode", REG_QWORD, &wide, 8));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Transfer Mode", 1));
    result = Check();
    EXPECT_EQ(1u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"value-too-large")));
    EXPECT_TRUE(Has(result.out, L"the machine-wide value applies"));
    EXPECT_TRUE(Has(result.out, L"\"value\":\"1 (0x1): copy-data mode\",\"source\":\"machine\""));

    // "Message Mode" as text is not 1: message boxes.
    ASSERT_TRUE(AgentRegistry::Delete(HKEY_CURRENT_USER, L"Transfer Mode"));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"Message Mode", L"1"));
    result = Check();
    EXPECT_EQ(1u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"message-mode-not-one")));
}

// "Producer Accounts": the entries the agent uses, and a warning for one it
// passes over.
TEST_F(CheckerTest, ProducerAccountsAreShownAndAnEntryThatNamesNoAccountIsNamed) {
    const wchar_t list[] = L"NS\0S-1-5-80-1-2-3-4-5\0not an account\0";
    ASSERT_TRUE(AgentRegistry::SetRaw(HKEY_LOCAL_MACHINE, L"Producer Accounts", REG_MULTI_SZ, list,
                                      sizeof(list)));
    const auto result = Check();
    EXPECT_EQ(1u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out,
                    L"\"name\":\"Producer Accounts\",\"value\":\"NS, "
                    L"S-1-5-80-1-2-3-4-5\",\"source\":\"machine\""))
        << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"producer-account-unknown") +
                                    L",\"text\":\"\\\"Producer Accounts\\\" holds \\\"not an "
                                    L"account\\\""))
        << result.out;
}

// Values set by Group Policy show where they come from.
TEST_F(CheckerTest, PoliciesAreShownAsTheSourceOfWhatTheySet) {
    const wchar_t* policies = L"Software\\Policies\\Lumvane";
    struct Cleanup {
        const wchar_t* path;
        ~Cleanup() {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
            RegDeleteTreeW(HKEY_CURRENT_USER, path);
        }
    } cleanup{policies};
    const auto set = [&](HKEY root, const wchar_t* name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, policies, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
        RegCloseKey(key);
    };
    set(HKEY_LOCAL_MACHINE, L"Log", 1);
    set(HKEY_CURRENT_USER, L"Message ID", 40000);
    const auto result = Check();
    EXPECT_TRUE(Has(result.out,
                    L"\"name\":\"Log\",\"value\":\"1 (0x1): on\",\"source\":"
                    L"\"policy (machine)\""))
        << result.out;
    EXPECT_TRUE(Has(result.out, L"\"name\":\"Message ID\",\"value\":\"40000 (0x9C40)"))
        << result.out;
    EXPECT_TRUE(Has(result.out, L"\"source\":\"policy (user)\"")) << result.out;
}

TEST_F(CheckerTest, MissingProgramsAreNamedWithTheCodeTheAgentWouldReport) {
    ASSERT_TRUE(DeleteFileW(path(L"preprocess.exe").c_str()));
    auto result = Check();
    EXPECT_EQ(1u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"stage-missing")));

    ASSERT_TRUE(DeleteFileW(path(L"lmvndisp.exe").c_str()));
    result = Check();
    EXPECT_EQ(2u, *result.exitCode);
    EXPECT_TRUE(Has(result.out, Finding(L"error", L"61456", L"stage-missing") +
                                    L",\"text\":\"lmvndisp.exe is missing"));

    // A client program that does not exist: 0xF007 in copy-data mode, 113 in
    // command-line mode.
    ASSERT_TRUE(AgentRegistry::SetClient(1, kClientClass, path(L"no client.exe") + L" --x"));
    result = Check();
    EXPECT_TRUE(Has(result.out, Finding(L"error", L"61447", L"client-not-found"))) << result.out;
    ASSERT_TRUE(AgentRegistry::SetClient(0, L"", L"noclient"));
    result = Check();
    EXPECT_TRUE(Has(result.out, Finding(L"error", L"113", L"client-not-found"))) << result.out;
    ASSERT_TRUE(AgentRegistry::SetClient(0, L"", L""));
    result = Check();
    EXPECT_TRUE(Has(result.out, Finding(L"error", L"112", L"client-application-empty")));
}

// A client command line whose program's quote never closes (what a repair by
// an older package left of a quoted program with arguments) cannot start;
// an odd quote among the arguments only swallows the job path.
TEST_F(CheckerTest, AnUnclosedQuoteInTheClientCommandIsNamed) {
    ASSERT_TRUE(AgentRegistry::SetClient(1, kClientClass, L"\"" + path(L"client.exe")));
    auto result = Check();
    EXPECT_EQ(2u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"error", L"61447", L"client-application-quotes")))
        << result.out;
    EXPECT_FALSE(Has(result.out, L"\"name\":\"client program\"")) << result.out;

    ASSERT_TRUE(
        AgentRegistry::SetClient(1, kClientClass, L"\"" + path(L"client.exe") + L"\" \"--x"));
    result = Check();
    EXPECT_EQ(1u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"client-application-quotes")))
        << result.out;
}

// A Settings key that users may write is not read at all: named, with who
// may write it.
TEST_F(CheckerTest, ASettingsKeyOthersMayWriteIsNamed) {
    HKEY settings = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Lumvane\\Settings", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &settings, nullptr));
    RegCloseKey(settings);
    ASSERT_EQ(ERROR_SUCCESS,
              lmvntest::SetKeyRights(HKEY_LOCAL_MACHINE, L"Software\\Lumvane\\Settings",
                                     L"O:BAD:(A;;KA;;;BA)(A;;KA;;;SY)(A;;0x2001b;;;BU)"));
    const auto result = Check();
    EXPECT_EQ(2u, *result.exitCode) << result.out;
    EXPECT_TRUE(
        Has(result.out, Finding(L"error", L"null", L"settings-key-writable") +
                            L",\"text\":\"HKLM\\\\Software\\\\Lumvane\\\\Settings holds the "
                            L"machine-wide settings, but its DACL lets S-1-5-32-545 "
                            L"write (rights 0x2001B)"))
        << result.out;
}

TEST_F(CheckerTest, WindowModesNeedAWindowAClipboardFormatAndAMessageInRange) {
    ASSERT_TRUE(AgentRegistry::SetClient(2, L"", path(L"client.exe")));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Message ID", 0x7FFF));
    auto result = Check();
    EXPECT_EQ(2u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"error", L"111", L"no-window-identification")));
    EXPECT_TRUE(Has(result.out, Finding(L"error", L"61448", L"clipboard-format-empty")));
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"message-id-forced") +
                                    L",\"text\":\"\\\"Message ID\\\" is 32767 (0x7FFF): clipboard "
                                    L"mode posts only 0x8000 to 0xBFFF, so the agent posts 0x8000"))
        << result.out;

    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Target Window Title", L"Jobs"));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Clipboard Format", L"Lumvane Job"));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Message ID", 0xBFFF));
    result = Check();
    EXPECT_EQ(0u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, L"\"findings\":[]")) << result.out;
    // Not set at all: a note, not a warning.
    ASSERT_TRUE(AgentRegistry::Delete(HKEY_CURRENT_USER, L"Message ID"));
    result = Check();
    EXPECT_EQ(0u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"note", L"null", L"message-id-default")));
}

TEST_F(CheckerTest, FindWindowTellsWhetherTheTargetWindowIsThere) {
    bool shown = false;
    HANDLE client = lmvntest::StartWindowedProgram(
        L"\"" + lmvntest::JoinPath(lmvntest::BuildDir(), L"lmvnclient.exe") + L"\" --class " +
            kClientClass + L" --lifetime 30000",
        kClientClass, 20000, shown);
    ASSERT_NE(nullptr, client);
    EXPECT_TRUE(shown);
    auto result = Check(L"--find-window");
    EXPECT_EQ(0u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, L"\"name\":\"target window\",\"value\":\"found")) << result.out;

    // A class the client does not register: what a job would report.
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Target Window Class", L"Wrong"));
    result = Check(L"--find-window");
    EXPECT_EQ(1u, *result.exitCode);
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"61447", L"window-not-found"))) << result.out;
    TerminateProcess(client, 0);
    WaitForSingleObject(client, 10000);
    CloseHandle(client);
}

TEST_F(CheckerTest, AnUnusableLogFolderStopsTheAgentAtStart) {
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", path(L"no such dir")));
    auto result = Check();
    EXPECT_EQ(2u, *result.exitCode);
    EXPECT_TRUE(Has(result.out, Finding(L"error", L"61441", L"log-dir-unusable"))) << result.out;
    // With logging off the folder is never used.
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 0));
    EXPECT_EQ(0u, *Check().exitCode);
}

TEST_F(CheckerTest, EventsAndWaitingJobsAreReportedAndLeftAsTheyAre) {
    // A job stored and waiting: reported, and still there afterwards.
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"Shared", path(L"job.ini")));
    auto result = Check();
    EXPECT_EQ(1u, *result.exitCode);
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"job-waiting"))) << result.out;
    EXPECT_EQ(path(L"job.ini"), AgentRegistry::GetString(HKEY_LOCAL_MACHINE, L"Shared"));
    ASSERT_TRUE(AgentRegistry::Delete(HKEY_LOCAL_MACHINE, L"Shared"));

    // Another user and session: that agent's print event is looked for.
    result = Check(L"--user alice --session 7");
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"agent-not-running") +
                                    L",\"text\":\"No agent runs for alice in session 7"))
        << result.out;
    EXPECT_TRUE(Has(result.out, L"Global\\\\alice_Lumvane_printevent_SESSION7"));

    // No agent; then a kill event that someone holds set.
    ASSERT_EQ(0u, agent_.Stop().value_or(99));
    result = Check();
    EXPECT_EQ(1u, *result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, Finding(L"warning", L"null", L"agent-not-running")));
    HANDLE kill = CreateEventW(nullptr, TRUE, TRUE, lmvntest::kKillEventName);
    ASSERT_NE(nullptr, kill);
    result = Check();
    EXPECT_EQ(2u, *result.exitCode);
    EXPECT_TRUE(Has(result.out, Finding(L"error", L"null", L"kill-event-set"))) << result.out;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(kill, 0));
    CloseHandle(kill);
}

}  // namespace
