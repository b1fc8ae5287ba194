// Another account on the machine: what a program with an ordinary user's
// rights can do to the agent's named events, and what a flood of signals
// costs the user's agent. Under Wine every user has the same SID: an
// ordinary user is played by a program whose Administrators group is
// deny-only (support/ordinary_user.h), and what rests on the user SID alone
// is shown by reading the DACL back.
#include "diag/report.h"
#include "setup_agents.h"
#include "support/agents.h"
#include "support/ordinary_user.h"
#include "support/processes.h"
#include "support/submitter.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>

namespace lmvntest {
namespace {

constexpr wchar_t kOtherUser[] = L"lmvnbob";
constexpr wchar_t kWaiting[] = L"Waiting for events.";

using Accounts = AgentsTest;

std::wstring ProbeCommand(const std::wstring& arguments) {
    return L"\"" + JoinPath(ProgramDir(), L"eventprobe.exe") + L"\" " + arguments;
}

// Sets the event `name` from a program run as an ordinary user: 0, or the
// error of the step that failed.
std::optional<DWORD> SetAsOrdinaryUser(const std::wstring& name) {
    return RunProgram(ProbeCommand(L"set " + name), AgentsTest::kTimeout, L"", RunAs::OrdinaryUser);
}

// A program the test started and ends, whatever happens.
class RunningProgram {
  public:
    explicit RunningProgram(HANDLE process) : process_(process) {}
    ~RunningProgram() {
        if (process_ == nullptr) return;
        TerminateProcess(process_, 0);
        WaitForSingleObject(process_, 5000);
        CloseHandle(process_);
    }
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    bool Running() const {
        return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
    }

  private:
    HANDLE process_;
};

// The package's StopAgents custom action, called as the installer calls it
// (as SYSTEM there; here with the Administrators group, which the kill
// event's DACL lets set it as well). Its result, or none when the
// installer's module cannot be loaded.
// What the package's StopAgents does (as SYSTEM, before files are replaced):
// finds every agent, sets the kill event, waits for them, resets the event.
// How many still run afterwards, or none when the kill event cannot be opened.
std::optional<size_t> RunStopAgents() {
    const auto agents = lmvnsetup::FindAgents(true);
    DWORD error = ERROR_SUCCESS;
    const size_t running = lmvnsetup::StopAgents(agents, 10000, error);
    if (error != ERROR_SUCCESS) return std::nullopt;
    return running;
}

TEST_F(Accounts, AnOrdinaryUserCannotStopTheAgentButStopAgentsAndTheTestsStopDo) {
    AgentProcess& agent = StartAgent(L"");
    ASSERT_TRUE(WaitForLogCount(kWaiting, 1));

    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
              SetAsOrdinaryUser(kKillEventName).value_or(99));
    SubmitResult r = Submit(L"--job-id 61" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    EXPECT_TRUE(WaitForDelivery(61));
    EXPECT_TRUE(agent.Running());
    EXPECT_EQ(0, LogCount(L"Suicide."));

    // The package's way, before files are replaced.
    EXPECT_EQ(0u, RunStopAgents().value_or(99));
    EXPECT_EQ(0u, agent.WaitForExit(kTimeout).value_or(99));
    EXPECT_EQ(1, LogCount(L"Suicide."));

    // StopAgents resets the event: the next agent runs, and the tests' own
    // stop ends it.
    AgentProcess& next = StartAgent(L"");
    ASSERT_TRUE(WaitForLogCount(kWaiting, 2));
    EXPECT_EQ(0u, next.Stop().value_or(99));
    EXPECT_EQ(2, LogCount(L"Suicide."));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(Accounts, AnOrdinaryUsersAgentUsesEveryEventAnotherUsersAgentCreated) {
    // Another user's agent, started first, creates the shared printing event
    // and the kill event with the rights every account gets on them.
    AgentProcess& other = StartAgent(kOtherUser);
    ASSERT_TRUE(WaitForLogCount(kWaiting, 1));
    ASSERT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
              SetAsOrdinaryUser(kKillEventName).value_or(99))
        << "the kill event lets an ordinary user set it";

    AgentProcess& agent = StartAgent(L"", RunAs::OrdinaryUser);
    ASSERT_TRUE(WaitForLogCount(kWaiting, 2)) << "the ordinary user's agent did not start";
    EXPECT_TRUE(RunsAsOrdinaryUser(agent.process()).value_or(false));

    SubmitResult r = Submit(L"--job-id 71" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    EXPECT_TRUE(WaitForDelivery(71));

    // The shared job must be this agent's: the other one goes first (not
    // through the kill event, which would stop both).
    TerminateProcess(other.process(), 0);
    ASSERT_TRUE(other.WaitForExit(kTimeout).has_value());
    r = Submit(L"--shared --job-id 72" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    EXPECT_TRUE(WaitForDelivery(72));
    EXPECT_EQ(1, LogCount(L"Print job info successfully retrieved. JobID=72"));
    // It reset the shared event as it took the signal.
    HANDLE shared = OpenEventW(SYNCHRONIZE, FALSE, kSharedEventName);
    ASSERT_NE(nullptr, shared);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(shared, 0));
    CloseHandle(shared);

    EXPECT_EQ(0u, agent.Stop().value_or(99));
    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(L"Suicide.", log[log.size() - 2]);
    EXPECT_TRUE(robot_.Boxes().empty()) << Utf8(robot_.Boxes().front().text);
}

// The text form of `sid` ("S-1-5-...").
std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"?";
    std::wstring result = text;
    LocalFree(text);
    return result;
}

std::wstring OwnUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    const BOOL read = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    CloseHandle(token);
    return read ? SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : L"";
}

TEST_F(Accounts, OnlyTheUserAdministratorsSystemAndProducerAccountsMaySetThePrintEvent) {
    // A producer service that runs as Network Service, named by an
    // administrator.
    const wchar_t producers[] = L"S-1-5-20\0";
    ASSERT_TRUE(AgentRegistry::SetRaw(HKEY_LOCAL_MACHINE, L"Producer Accounts", REG_MULTI_SZ,
                                      producers, sizeof(producers)));
    StartAgent(L"");
    ASSERT_TRUE(WaitForLogCount(kWaiting, 1));

    HANDLE print = OpenEventW(READ_CONTROL, FALSE, PrintEventName().c_str());
    ASSERT_NE(nullptr, print);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(print, SE_KERNEL_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor));
    CloseHandle(print);
    const std::wstring user = OwnUserSid();
    EXPECT_EQ(user, SidText(owner));
    std::map<std::wstring, ACCESS_MASK> allowed;
    if (dacl != nullptr) {
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            void* ace = nullptr;
            ASSERT_TRUE(GetAce(dacl, i, &ace));
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
            ASSERT_EQ(ACCESS_ALLOWED_ACE_TYPE, header->AceType) << "ACE " << i;
            auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            allowed[SidText(reinterpret_cast<PSID>(&entry->SidStart))] |= entry->Mask;
        }
    }
    LocalFree(descriptor);
    ASSERT_NE(nullptr, dacl) << "a null DACL lets every account set the event";

    // No broad group may set it, nor do more than wait on it.
    constexpr ACCESS_MASK kLooking = SYNCHRONIZE | READ_CONTROL;
    for (const wchar_t* group : {L"S-1-1-0", L"S-1-5-32-545", L"S-1-5-11", L"S-1-5-4"}) {
        EXPECT_EQ(0u, allowed[group] & ~kLooking) << Utf8(group);
    }
    // The user, SYSTEM (the producer's service) and Administrators hold it;
    // the producer account may set it; nobody else is named.
    EXPECT_EQ(static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS), allowed[user]);
    EXPECT_EQ(static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS), allowed[L"S-1-5-18"]);
    EXPECT_EQ(static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS), allowed[L"S-1-5-32-544"]);
    EXPECT_EQ(static_cast<ACCESS_MASK>(SYNCHRONIZE | EVENT_MODIFY_STATE), allowed[L"S-1-5-20"]);
    for (const auto& [sid, rights] : allowed) {
        if (sid == user || sid == L"S-1-5-18" || sid == L"S-1-5-32-544" || sid == L"S-1-5-20") {
            continue;
        }
        EXPECT_EQ(0u, rights & ~kLooking) << Utf8(sid);
    }

    // The user's own programs (lmvnsubmit without the Administrators group)
    // still hand jobs over.
    SubmitResult r = Submit(L"--no-event --job-id 81" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    EXPECT_EQ(0u, SetAsOrdinaryUser(PrintEventName()).value_or(99));
    EXPECT_TRUE(WaitForDelivery(81));
}

TEST_F(Accounts, APrintEventAnotherProgramMadeFirstIsReportedAndTheAgentLeaves) {
    // An ordinary user's program takes the name first, open to all.
    const RunningProgram squatter(
        StartProgram(ProbeCommand(L"squat 120 " + PrintEventName()), RunAs::OrdinaryUser));
    ASSERT_TRUE(WaitUntil([&] { return EventExists(PrintEventName()); }, kTimeout));
    ASSERT_TRUE(squatter.Running());

    AgentProcess& agent = StartAgent(L"");
    ASSERT_TRUE(robot_.WaitForBoxes(1, kTimeout)) << "the agent left without a word";
    EXPECT_EQ(0u, agent.WaitForExit(kTimeout).value_or(99));
    const auto boxes = robot_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(std::wstring(lmvn::reports::kPrintEventHeld.text), boxes[0].text);
    EXPECT_EQ(1, LogCount(lmvn::reports::kPrintEventHeld.text));
    EXPECT_EQ(0, LogCount(kWaiting));
}

TEST_F(Accounts, AFloodOfEmptySignalsLeavesOneBoxAndFewThreadsAndTheNextJobIsServed) {
    constexpr int kSignals = 150;
    AgentProcess& agent = StartAgent(L"");
    ASSERT_TRUE(WaitForLogCount(kWaiting, 1));
    const size_t idleThreads = SteadyThreadCount(agent.pid());

    // Boxes are left open while the signals come, and counted.
    robot_.Hold();
    std::atomic<bool> flooding{true};
    size_t peakThreads = 0;
    int peakBoxes = 0;
    std::thread sampler([&] {
        while (flooding) {
            peakThreads = std::max(peakThreads, ProcessThreadCount(agent.pid()).value_or(0));
            peakBoxes = std::max(peakBoxes, robot_.OpenBoxes());
            Sleep(10);
        }
    });
    HANDLE print = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, PrintEventName().c_str());
    int signals = 0;
    if (print != nullptr) {
        // Each signal once the main loop has reset the last: 150 wake-ups.
        for (; signals < kSignals; ++signals) {
            if (!SetEvent(print)) break;
            if (!WaitUntil([&] { return WaitForSingleObject(print, 0) == WAIT_TIMEOUT; },
                           kTimeout)) {
                break;
            }
        }
        CloseHandle(print);
    }
    // Until the agent has served every signal: its threads stay as they are.
    const size_t settledThreads = SteadyThreadCount(agent.pid());
    flooding = false;
    sampler.join();
    const int openBoxes = robot_.OpenBoxes();
    robot_.Release();
    std::printf(
        "[ figures  ] %d signals: agent threads idle %zu, peak %zu, after %zu; open "
        "boxes peak %d, after %d\n",
        signals, idleThreads, peakThreads, settledThreads, peakBoxes, openBoxes);
    ASSERT_EQ(kSignals, signals);
    EXPECT_EQ(1, openBoxes);
    EXPECT_LE(peakBoxes, 1);
    EXPECT_LT(peakThreads, 16u);

    // The box is the report of a signal with no job; the next real job is
    // served.
    ASSERT_TRUE(robot_.WaitForBoxes(1, kTimeout));
    EXPECT_EQ(0u, robot_.Boxes()[0].text.find(lmvn::reports::kJobInfoFailed.text));
    SubmitResult r = Submit(L"--job-id 91" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
    EXPECT_TRUE(WaitForDelivery(91));
    EXPECT_EQ(1, LogCount(L"Print job info successfully retrieved. JobID=91"));
    EXPECT_TRUE(agent.Running());
}

}  // namespace
}  // namespace lmvntest
