// Jobs beyond one agent and its own signals: two users' agents side by side
// in one session, as on a terminal server, where a shared job wakes every
// agent and only one may take it; and jobs stored while no agent ran.
#include "diag/report.h"
#include "support/agents.h"
#include "support/submitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace lmvntest {
namespace {

constexpr wchar_t kOtherUser[] = L"lmvnalice";

using Agents = AgentsTest;

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

// A "Shared" value that holds no path (here 600 bytes) would stay for good,
// and its producer, waiting for it to go, would store no further shared job.
// The agent whose deletion takes it reports it; every other agent stays quiet.
TEST_F(Agents, AnUnreadableSharedValueIsClaimedAndReportedOnce) {
    StartAgent(L"");
    StartAgent(kOtherUser);
    ASSERT_TRUE(WaitForLogCount(L"Waiting for events.", 2));
    const std::wstring junk(300, L'x');
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"Shared", junk));

    // Set until both agents have been woken (see above).
    bool bothWoken = false;
    for (int signal = 0; signal < 10 && !bothWoken; ++signal) {
        ASSERT_TRUE(SignalEvent(kSharedEventName));
        bothWoken = WaitUntil([&] { return LogCount(kSharedReceived) >= 2; }, 3000);
    }
    ASSERT_TRUE(bothWoken);
    ASSERT_TRUE(robot_.WaitForBoxes(1, kTimeout));
    // Every woken thread but the one that reported says so in the log.
    EXPECT_TRUE(WaitUntil([&] { return LogCount(kSharedTaken) == LogCount(kSharedReceived) - 1; },
                          kTimeout));
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, L"Shared"));
    const auto boxes = robot_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(std::wstring(lmvn::reports::kJobInfoFailed.text) +
                                     L"\nError # 234: "));
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
    // Served as a signal: its thread, not start-up, finds the file missing.
    ASSERT_TRUE(
        WaitForLogCount(L"Stored print job dropped. Its job description file does not exist.", 1));
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, UserName().c_str()));
    EXPECT_EQ(0, LogCount(L"Print job info successfully retrieved. JobID=0"));

    // Nothing holds the user's printing up.
    SubmitResult r = Submit(L"--job-id 53" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    EXPECT_TRUE(WaitForDelivery(53));
    EXPECT_TRUE(robot_.Boxes().empty());
    EXPECT_EQ(0u, agent.Stop().value_or(99));
}

}  // namespace
}  // namespace lmvntest
