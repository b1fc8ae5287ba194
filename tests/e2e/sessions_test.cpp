// Jobs beyond one agent and its own signals: two users' agents side by side
// in one session, as on a terminal server, where a shared job wakes every
// agent and only one may take it; and jobs stored while no agent ran.
#include "diag/report.h"
#include "support/harness.h"
#include "support/processes.h"
#include "support/robot.h"
#include "support/stagedouble.h"
#include "support/submitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace lmvntest {
namespace {

constexpr DWORD kTimeout = 30000;
constexpr wchar_t kOtherUser[] = L"lmvnalice";

// Agents that share the registry, the log and the client configuration;
// each lives in a folder of its own with the stage doubles beside it, and
// delivers in command-line mode to the sample client, which keeps a journal.
class Agents : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
        // A copy of the sample client of our own, so that the clients left
        // open can be ended by their folder.
        const std::wstring client = dir_ / L"lmvnclient.exe";
        ASSERT_TRUE(CopyProgram(JoinPath(BuildDir(), L"lmvnclient.exe"), client));
        const std::wstring command =
            L"\"" + client + L"\" --lifetime 3000 --journal \"" + Journal() + L"\"";
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application", command));
    }
    void TearDown() override {
        for (const auto& [name, agent] : agents_) {
            if (agent->Running()) {
                EXPECT_EQ(0u, agent->Stop().value_or(99)) << Utf8(name);
            }
        }
        TerminateProcessesIn(dir_.path());  // sample clients still open
    }

    // Starts the agent of `user` (empty: ours) in a folder of its own and
    // waits until its print event exists.
    AgentProcess& StartAgent(const std::wstring& user) {
        const std::wstring folder = dir_ / (user.empty() ? L"own" : user);
        CreateDirectoryW(folder.c_str(), nullptr);
        EXPECT_TRUE(InstallStageDoubles(folder));
        agents_.emplace_back(user, std::make_unique<AgentProcess>());
        AgentProcess& agent = *agents_.back().second;
        const bool started = user.empty() ? agent.Start(folder) : agent.StartAs(folder, user);
        EXPECT_TRUE(started) << Utf8(user);
        EXPECT_TRUE(WaitUntil([&] { return EventExists(PrintEventOf(user)); }, kTimeout))
            << Utf8(user);
        return agent;
    }
    static std::wstring PrintEventOf(const std::wstring& user) {
        if (user.empty()) return PrintEventName();
        return L"Global\\" + user + L"_Lumvane_printevent_SESSION" + std::to_wstring(SessionId());
    }
    static bool EventExists(const std::wstring& name) {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
        if (event == nullptr) return false;
        CloseHandle(event);
        return true;
    }
    static bool SignalEvent(const std::wstring& name) {
        HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
        if (event == nullptr) return false;
        const bool set = SetEvent(event) != FALSE;
        CloseHandle(event);
        return set;
    }

    std::wstring Journal() const { return dir_ / L"client.txt"; }
    std::string JournalText() const { return ReadFileBytes(Journal()); }
    std::vector<std::wstring> Log() const { return LogTexts(dir_ / L"vp_log.txt"); }
    int LogCount(const std::wstring& text) const {
        const auto log = Log();
        return static_cast<int>(std::count(log.begin(), log.end(), text));
    }
    bool WaitForLogCount(const std::wstring& text, int count) const {
        return WaitUntil([&] { return LogCount(text) >= count; }, kTimeout);
    }
    bool WaitForDelivery(int jobId) const {
        return WaitUntil(
            [&] { return Occurrences(JournalText(), "jobid=" + std::to_string(jobId)) > 0; },
            kTimeout);
    }
    std::wstring InDir() const { return L" --dir \"" + dir_.path() + L"\""; }

    AgentRegistry registry_;
    TempDir dir_{L"sessions"};
    DesktopRobot robot_;
    std::vector<std::pair<std::wstring, std::unique_ptr<AgentProcess>>> agents_;
};

constexpr wchar_t kSharedReceived[] = L"Shared print job received. Start processing thread.";
constexpr wchar_t kSharedTaken[] = L"No shared print job found. Another agent has taken it.";

TEST_F(Agents, ASharedJobIsTakenByOneAgentAndTheOtherUserSeesNothing) {
    StartAgent(L"");
    StartAgent(kOtherUser);
    ASSERT_TRUE(WaitForLogCount(L"Waiting for events.", 2));

    // The shared event with nothing stored: every agent that wakes ends its
    // thread quietly. A set event releases only the agents waiting at that
    // moment (one that is still starting finds it reset), so it is set again
    // until both have been woken.
    bool bothWoken = false;
    for (int signal = 0; signal < 10 && !bothWoken; ++signal) {
        ASSERT_TRUE(SignalEvent(kSharedEventName));
        bothWoken = WaitUntil([&] { return LogCount(kSharedTaken) >= 2; }, 3000);
    }
    ASSERT_TRUE(bothWoken);

    // A shared job: delivered once; every other agent it woke says so in the
    // log only.
    SubmitResult r = Submit(L"--shared --job-id 41" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    ASSERT_TRUE(WaitForDelivery(41));
    EXPECT_TRUE(WaitUntil([&] { return LogCount(kSharedTaken) == LogCount(kSharedReceived) - 1; },
                          kTimeout))
        << LogCount(kSharedReceived) << " woken, " << LogCount(kSharedTaken) << " found nothing";
    EXPECT_EQ(1, LogCount(L"Print job info successfully retrieved. JobID=41"));

    // Each user's own jobs still reach that user's agent.
    r = Submit(L"--job-id 42" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    r = Submit(L"--user " + std::wstring(kOtherUser) + L" --job-id 43" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    EXPECT_TRUE(WaitForDelivery(42));
    EXPECT_TRUE(WaitForDelivery(43));

    const std::string journal = JournalText();
    EXPECT_EQ(1, Occurrences(journal, "jobid=41"));
    EXPECT_EQ(1, Occurrences(journal, "jobid=42"));
    EXPECT_EQ(1, Occurrences(journal, "jobid=43"));
    EXPECT_TRUE(robot_.Boxes().empty()) << Utf8(robot_.Boxes().front().text);
    for (const auto& [name, agent] : agents_) {
        EXPECT_EQ(0u, agent->Stop().value_or(99)) << Utf8(name);
    }
}

constexpr wchar_t kStoredFound[] = L"Stored print job found at start-up.";
constexpr wchar_t kLateSignal[] =
    L"No print job found. The job stored at start-up was served already.";

TEST_F(Agents, AJobStoredBeforeTheAgentStartedIsServedWithoutASignal) {
    SubmitResult r = Submit(L"--no-event --job-id 51" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    // Another user's stored job and a shared one are not ours to serve.
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, kOtherUser, L"C:\\other.ini"));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"Shared", L"C:\\shared.ini"));

    StartAgent(L"");
    ASSERT_TRUE(WaitForDelivery(51));
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, UserName().c_str()));
    EXPECT_TRUE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, kOtherUser));
    EXPECT_TRUE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, L"Shared"));
    const auto log = Log();
    const auto found = std::find(log.begin(), log.end(), kStoredFound);
    const auto waiting = std::find(log.begin(), log.end(), L"Waiting for events.");
    EXPECT_LT(found, waiting);
    ASSERT_TRUE(AgentRegistry::Delete(HKEY_LOCAL_MACHINE, L"Shared"));

    // The producer's own signal, late: nothing to take, nothing to report.
    ASSERT_TRUE(SignalEvent(PrintEventName()));
    ASSERT_TRUE(WaitForLogCount(kLateSignal, 1));
    // A second signal with nothing stored is a producer's fault again.
    ASSERT_TRUE(SignalEvent(PrintEventName()));
    ASSERT_TRUE(robot_.WaitForBoxes(1, kTimeout));
    EXPECT_NE(std::wstring::npos, robot_.Boxes()[0].text.find(lmvn::reports::kJobInfoFailed.text));

    // The user's next job goes through.
    r = Submit(L"--job-id 52" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    EXPECT_TRUE(WaitForDelivery(52));
    EXPECT_EQ(1, Occurrences(JournalText(), "jobid=51"));
    EXPECT_EQ(1u, robot_.Boxes().size());
}

TEST_F(Agents, AStoredPathThatNamesNoFileIsDroppedQuietly) {
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, UserName().c_str(),
                                         dir_ / L"gone\\lmvnjob.ini"));
    AgentProcess& agent = StartAgent(L"");
    ASSERT_TRUE(WaitForLogCount(L"Waiting for events.", 1));
    EXPECT_EQ(1, LogCount(L"Stored print job dropped. Its job description file does not exist."));
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, UserName().c_str()));
    EXPECT_EQ(0, LogCount(L"New print job received. Start processing thread."));

    // Nothing holds the user's printing up.
    SubmitResult r = Submit(L"--job-id 53" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    EXPECT_TRUE(WaitForDelivery(53));
    EXPECT_TRUE(robot_.Boxes().empty());
    EXPECT_EQ(0u, agent.Stop().value_or(99));
}

}  // namespace
}  // namespace lmvntest
