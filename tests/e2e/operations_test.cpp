// What administrators run the agent by: its reports in the Windows Event Log,
// and Group Policy over its settings, with the real agent.
#include "diag/report.h"
#include "support/harness.h"
#include "support/robot.h"
#include "support/processes.h"
#include "support/stagedouble.h"
#include "support/submitter.h"

#include <gtest/gtest.h>

#include <string>

namespace lmvntest {
namespace {

constexpr DWORD kTimeout = 30000;

class Operations : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(InstallStageDoubles(dir_.path()));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
    }

    bool WaitForLine(const std::wstring& text, int count = 1) const {
        return WaitUntil(
            [&] {
                int seen = 0;
                for (const auto& line : LogTexts(dir_ / L"vp_log.txt")) seen += line == text;
                return seen >= count;
            },
            kTimeout);
    }
    static bool SignalPrintEvent() {
        HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, PrintEventName().c_str());
        if (event == nullptr) return false;
        const bool set = SetEvent(event) != FALSE;
        CloseHandle(event);
        return set;
    }
    // The lines Wine's stand-in for the Event Log printed for the agent.
    std::string EventLines() const {
        const std::string all = ReadFileBytes(dir_ / L"agent-errors.txt");
        std::string events;
        size_t at = 0;
        while ((at = all.find("ReportEventW", at)) != std::string::npos) {
            const size_t end = all.find('\n', at);
            events += all.substr(at, end - at) + "\n";
            at = end;
        }
        return events;
    }

    AgentRegistry registry_;
    TempDir dir_{L"operations"};
    DesktopRobot robot_;
};

// A signal with no job stored makes the agent report 0xF005: the report goes
// to the Event Log as well as to the box, and with "Event Log" 0 to the box
// alone.
TEST_F(Operations, EveryReportGoesToTheEventLogUnlessItIsTurnedOff) {
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on ? "on" : "off");
        if (!on) {
            ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Event Log", 0));
        }
        AgentProcess agent;
        ASSERT_TRUE(agent.StartWithErrorOutput(dir_.path(), dir_ / L"agent-errors.txt",
                                               L"-all,err+eventlog"));
        ASSERT_TRUE(WaitForLine(L"Waiting for events.", on ? 1 : 2));
        ASSERT_TRUE(SignalPrintEvent());
        ASSERT_TRUE(robot_.WaitForBoxes(on ? 1 : 2, kTimeout));
        EXPECT_EQ(0u, agent.Stop().value_or(99));
    }
    // One event, from the first run: its text as the box showed it.
    const std::string events = EventLines();
    EXPECT_EQ(1, Occurrences(events, "ReportEventW")) << events;
    EXPECT_EQ(1, Occurrences(events, "L\"Failed to get print job info.\\nError # 2: ")) << events;
    const auto boxes = robot_.Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(0u, boxes[1].text.find(lmvn::reports::kJobInfoFailed.text));
}

// The Group Policy keys of the agent, emptied before and after each test.
class PolicyKeys {
  public:
    PolicyKeys() { Clear(); }
    ~PolicyKeys() { Clear(); }
    PolicyKeys(const PolicyKeys&) = delete;
    PolicyKeys& operator=(const PolicyKeys&) = delete;

    static void Clear() {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            RegDeleteTreeW(root, kPath);
        }
    }
    static bool SetString(HKEY root, const wchar_t* name, const std::wstring& text) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(root, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            return false;
        }
        const LSTATUS status =
            RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        return status == ERROR_SUCCESS;
    }

  private:
    static constexpr wchar_t kPath[] = L"Software\\Policies\\Lumvane";
};

// Which client each job reaches, with four of them configured at once: one
// in the machine's settings, one in the user's, one by user policy and one
// by machine policy. Each is a copy of the sample client with a journal of
// its own.
class Policies : public Operations {
  protected:
    void SetUp() override {
        Operations::SetUp();
        for (const wchar_t* who : {L"machine", L"user", L"userpolicy", L"machinepolicy"}) {
            ASSERT_TRUE(CopyProgram(JoinPath(BuildDir(), L"lmvnclient.exe"),
                                    dir_ / (std::wstring(who) + L".exe")));
        }
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"Client Application",
                                             Client(L"machine")));
        ASSERT_TRUE(
            AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application", Client(L"user")));
    }
    void TearDown() override { TerminateProcessesIn(dir_.path()); }

    std::wstring Client(const std::wstring& who) const {
        return L"\"" + (dir_ / (who + L".exe")) + L"\" --lifetime 2000 --journal \"" +
               (dir_ / (who + L".txt")) + L"\"";
    }
    // Submits a job and waits until some client has it: the one that did.
    std::string Deliver(int jobId) const {
        const SubmitResult r =
            Submit(L"--job-id " + std::to_wstring(jobId) + L" --dir \"" + dir_.path() + L"\"");
        EXPECT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
        const std::string mark = "jobid=" + std::to_string(jobId);
        std::string who;
        WaitUntil(
            [&] {
                for (const wchar_t* name : {L"machine", L"user", L"userpolicy", L"machinepolicy"}) {
                    if (Occurrences(ReadFileBytes(dir_ / (std::wstring(name) + L".txt")), mark) >
                        0) {
                        who = Utf8(name);
                        return true;
                    }
                }
                return false;
            },
            kTimeout);
        return who;
    }

    PolicyKeys policies_;
};

TEST_F(Policies, MachinePolicyWinsOverAllAndUserPolicyOverTheUsersOwn) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(WaitForLine(L"Waiting for events."));
    EXPECT_EQ("user", Deliver(61));  // the user's own wins over the machine's

    ASSERT_TRUE(
        PolicyKeys::SetString(HKEY_CURRENT_USER, L"Client Application", Client(L"userpolicy")));
    EXPECT_EQ("userpolicy", Deliver(62));

    ASSERT_TRUE(
        PolicyKeys::SetString(HKEY_LOCAL_MACHINE, L"Client Application", Client(L"machinepolicy")));
    EXPECT_EQ("machinepolicy", Deliver(63));

    // A policy withdrawn: the next job goes back to the user's policy.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Lumvane");
    EXPECT_EQ("userpolicy", Deliver(64));
    EXPECT_TRUE(robot_.Boxes().empty());
    EXPECT_EQ(0u, agent.Stop().value_or(99));
}

}  // namespace
}  // namespace lmvntest
