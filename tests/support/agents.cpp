#include "agents.h"

#include "processes.h"
#include "stagedouble.h"

#include <algorithm>

namespace lmvntest {

void AgentsTest::SetUp() {
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
    // A copy of the sample client of our own, so that the clients left open
    // can be ended by their folder.
    const std::wstring client = dir_ / L"lmvnclient.exe";
    ASSERT_TRUE(CopyProgram(JoinPath(BuildDir(), L"lmvnclient.exe"), client));
    const std::wstring command =
        L"\"" + client + L"\" --lifetime 3000 --journal \"" + Journal() + L"\"";
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application", command));
}

void AgentsTest::TearDown() {
    for (const auto& [name, agent] : agents_) {
        if (agent->Running()) {
            EXPECT_EQ(0u, agent->Stop().value_or(99)) << Utf8(name);
        }
    }
    TerminateProcessesIn(dir_.path());  // sample clients still open
}

AgentProcess& AgentsTest::StartAgent(const std::wstring& user, RunAs as) {
    const std::wstring folder = dir_ / (!user.empty()               ? user
                                        : as == RunAs::OrdinaryUser ? L"ordinary"
                                                                    : L"own");
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_TRUE(InstallStageDoubles(folder));
    agents_.emplace_back(user, std::make_unique<AgentProcess>());
    AgentProcess& agent = *agents_.back().second;
    const bool started = user.empty() ? agent.Start(folder, as) : agent.StartAs(folder, user);
    EXPECT_TRUE(started) << Utf8(user);
    EXPECT_TRUE(WaitUntil([&] { return EventExists(PrintEventOf(user)); }, kTimeout)) << Utf8(user);
    return agent;
}

std::wstring AgentsTest::PrintEventOf(const std::wstring& user) {
    if (user.empty()) return PrintEventName();
    return L"Global\\" + user + L"_Lumvane_printevent_SESSION" + std::to_wstring(SessionId());
}

bool AgentsTest::EventExists(const std::wstring& name) {
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    if (event == nullptr) return false;
    CloseHandle(event);
    return true;
}

bool AgentsTest::SignalEvent(const std::wstring& name) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (event == nullptr) return false;
    const bool set = SetEvent(event) != FALSE;
    CloseHandle(event);
    return set;
}

int AgentsTest::LogCount(const std::wstring& text) const {
    const auto log = Log();
    return static_cast<int>(std::count(log.begin(), log.end(), text));
}

bool AgentsTest::WaitForLogCount(const std::wstring& text, int count) const {
    return WaitUntil([&] { return LogCount(text) >= count; }, kTimeout);
}

bool AgentsTest::WaitForDelivery(int jobId) const {
    return WaitUntil(
        [&] { return Occurrences(JournalText(), "jobid=" + std::to_string(jobId)) > 0; }, kTimeout);
}

}  // namespace lmvntest
