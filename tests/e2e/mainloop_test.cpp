// The real agent's events and main loop: single instance, the kill event,
// and the order in which signals are served.
#include "support/harness.h"
#include "support/robot.h"
#include "support/submitter.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace lmvntest {
namespace {

constexpr DWORD kTimeout = 20000;

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

class MainLoopE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
    }
    std::vector<std::wstring> Log() const { return LogTexts(dir_ / L"vp_log.txt"); }
    bool WaitForLine(const std::wstring& text) const {
        return WaitUntil([&] { return Contains(Log(), text); }, kTimeout);
    }
    void ExpectEndedByKill() const {
        const auto log = Log();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(L"Suicide.", log[log.size() - 2]);
        EXPECT_EQ(L"Agent exits.", log.back());
    }

    AgentRegistry registry_;
    TempDir dir_{L"mainloop"};
    DesktopRobot robot_;
};

TEST_F(MainLoopE2E, KillEventEndsTheAgentWithCodeZero) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(WaitForLine(L"Waiting for events."));
    const SubmitResult r = Submit(L"--kill");
    EXPECT_EQ(0u, r.exitCode.value_or(99)) << r.err;
    EXPECT_EQ(0u, agent.WaitForExit(kTimeout).value_or(99));
    ExpectEndedByKill();
}

TEST_F(MainLoopE2E, SecondAgentBeepsAndLeavesWhileTheFirstKeepsServing) {
    AgentProcess first;
    ASSERT_TRUE(first.Start(dir_.path()));
    ASSERT_TRUE(WaitForLine(L"Waiting for events."));

    TempDir otherDir(L"second");
    AgentProcess second;
    ASSERT_TRUE(second.Start(otherDir.path()));
    EXPECT_EQ(0u, second.WaitForExit(kTimeout).value_or(99));
    EXPECT_TRUE(first.Running());
    const auto log = Log();
    EXPECT_EQ(1, std::count(log.begin(), log.end(), L"Waiting for events."));

    const SubmitResult r = Submit(L"--job-id 5 --dir \"" + dir_.path() + L"\"");
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << r.err;
    EXPECT_TRUE(WaitForLine(L"Print job info successfully retrieved. JobID=5"));
    EXPECT_EQ(0u, first.Stop().value_or(99));
}

TEST_F(MainLoopE2E, KillEventAlreadySetEndsANewAgentAtItsFirstWait) {
    HANDLE kill = CreateEventW(nullptr, TRUE, TRUE, kKillEventName);
    ASSERT_NE(nullptr, kill);
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    EXPECT_EQ(0u, agent.WaitForExit(kTimeout).value_or(99));
    CloseHandle(kill);
    EXPECT_EQ((std::vector<std::wstring>{L"Agent started.", L"Waiting for events.", L"Suicide.",
                                         L"Agent exits."}),
              Log());
}

TEST_F(MainLoopE2E, KillNameTakenByAnotherKindLeavesTheAgentServing) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kKillEventName);
    ASSERT_NE(nullptr, mutex);
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(WaitForLine(L"Waiting for events."));

    const SubmitResult kill = Submit(L"--kill");
    EXPECT_EQ(5u, kill.exitCode.value_or(99));
    const SubmitResult job = Submit(L"--job-id 6 --dir \"" + dir_.path() + L"\"");
    ASSERT_EQ(0u, job.exitCode.value_or(99)) << job.err;
    EXPECT_TRUE(WaitForLine(L"Print job info successfully retrieved. JobID=6"));
    EXPECT_TRUE(agent.Running());
    EXPECT_FALSE(Contains(Log(), L"Suicide."));

    // It cannot be stopped by the kill event now.
    TerminateProcess(agent.process(), 0);
    agent.WaitForExit(kTimeout);
    CloseHandle(mutex);
}

TEST_F(MainLoopE2E, PrintAndKillSetTogetherServeTheJobFirst) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(WaitForLine(L"Waiting for events."));
    const SubmitResult job = Submit(L"--no-event --job-id 8 --dir \"" + dir_.path() + L"\"");
    ASSERT_EQ(0u, job.exitCode.value_or(99)) << job.err;

    HANDLE print = OpenEventW(EVENT_MODIFY_STATE, FALSE, PrintEventName().c_str());
    HANDLE kill = OpenEventW(EVENT_MODIFY_STATE, FALSE, kKillEventName);
    ASSERT_NE(nullptr, print);
    ASSERT_NE(nullptr, kill);
    SetEvent(print);
    SetEvent(kill);
    CloseHandle(print);
    CloseHandle(kill);

    EXPECT_EQ(0u, agent.WaitForExit(kTimeout).value_or(99));
    const auto log = Log();
    const auto received =
        std::find(log.begin(), log.end(), L"New print job received. Start processing thread.");
    const auto suicide = std::find(log.begin(), log.end(), L"Suicide.");
    const auto exits = std::find(log.begin(), log.end(), L"Agent exits.");
    EXPECT_TRUE(received < suicide);
    EXPECT_TRUE(suicide < exits);
    EXPECT_TRUE(exits != log.end());
    // The job's thread was started just before the kill: its first lines may
    // fall between the agent's last two, or after them, up to the moment the
    // log is closed.
}

}  // namespace
}  // namespace lmvntest
