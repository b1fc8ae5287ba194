// Faults around the real agent: stage programs and clients that crash, hang
// or vanish, an agent killed in the middle of a job, the kill event while
// jobs run, and several processes appending to one log. Whatever happens to
// one job, the others and the kill event are still served.
#include "diag/report.h"
#include "support/harness.h"
#include "support/listener.h"
#include "support/processes.h"
#include "support/producer.h"
#include "support/robot.h"
#include "support/stagedouble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace lmvntest {
namespace {

constexpr DWORD kJobTimeoutMs = 30000;
// Copy-data mode looks for the client's window for about 10 s.
constexpr DWORD kPollingJobTimeoutMs = 45000;
// The kill event ends the agent at once, whatever its jobs are doing; the
// bound only keeps a failing test from hanging.
constexpr DWORD kStopTimeoutMs = 20000;

std::string JobIdLine(int jobId) { return "jobid=" + std::to_string(jobId) + "\r\n"; }

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        client_ = JoinPath(BuildDir(), L"lmvnclient.exe");
        ASSERT_TRUE(FileExists(client_));
        ASSERT_TRUE(InstallStageDoubles(dir()));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir()));
        ASSERT_TRUE(
            AgentRegistry::SetString(HKEY_CURRENT_USER, L"Clipboard Format", L"Lumvane Faults"));
        ASSERT_TRUE(StartAgent());
    }
    void TearDown() override {
        if (agent_->Running()) {
            EXPECT_EQ(0u, agent_->Stop().value_or(99));
        }
        for (HANDLE process : clients_) {
            TerminateProcess(process, 0);
            CloseHandle(process);
        }
        // Doubles still waiting out a delay, clients the agent started.
        TerminateProcessesIn(dir());
        TerminateProcessesIn(BuildDir());
    }

    bool StartAgent() {
        agent_ = std::make_unique<AgentProcess>();
        const size_t waiting = Count(L"Waiting for events.");
        return agent_->Start(dir()) &&
               WaitUntil([&] { return Count(L"Waiting for events.") > waiting; }, 20000);
    }

    const std::wstring& dir() const { return dir_.path(); }
    std::wstring Journal() const { return dir_ / L"client journal.txt"; }
    std::string JournalText() const { return ReadFileBytes(Journal()); }
    std::vector<std::wstring> Log() const { return LogTexts(dir_ / L"vp_log.txt"); }
    size_t Count(const std::wstring& text) const {
        const auto log = Log();
        return static_cast<size_t>(std::count(log.begin(), log.end(), text));
    }
    bool WaitForLog(const std::wstring& text, size_t count = 1,
                    DWORD timeoutMs = kJobTimeoutMs) const {
        return WaitUntil([&] { return Count(text) >= count; }, timeoutMs);
    }
    bool WaitForDelivery(int jobId, DWORD timeoutMs = kJobTimeoutMs) const {
        return WaitUntil([&] { return Occurrences(JournalText(), JobIdLine(jobId)) > 0; },
                         timeoutMs);
    }

    std::wstring ClientCommand(const std::wstring& cls, const std::wstring& extra = L"") const {
        return L"\"" + client_ + L"\" --class " + cls + L" --journal \"" + Journal() +
               L"\" --format \"Lumvane Faults\" --message 0x8000 --lifetime 120000" +
               (extra.empty() ? L"" : L" " + extra);
    }
    bool StartClient(const std::wstring& cls, const std::wstring& extra = L"") {
        bool shown = false;
        HANDLE process = StartWindowedProgram(ClientCommand(cls, extra), cls, 15000, shown);
        if (process == nullptr) return false;
        clients_.push_back(process);
        return shown;
    }
    void Configure(DWORD mode, const std::wstring& cls, const std::wstring& application) {
        ASSERT_TRUE(AgentRegistry::SetClient(mode, cls, application));
    }
    // Command-line mode with a client that journals the job and leaves.
    void ConfigureCommandLine() {
        Configure(0, L"", ClientCommand(L"LmvnFaultCmd", L"--quit-after 1"));
    }

    // Writes job <jobId> and hands it over, per user or shared.
    std::wstring Submit(int jobId, bool shared = false) {
        const std::wstring job = dir_ / (L"job" + std::to_wstring(jobId) + L".ini");
        EXPECT_TRUE(WriteJobFile(job, jobId, {}));
        EXPECT_TRUE(HandOver(shared ? L"Shared" : UserName(), job, shared)) << jobId;
        return job;
    }
    size_t StageStarts(const std::wstring& program) const {
        const auto journal = ReadStageJournal(dir());
        return static_cast<size_t>(std::count_if(journal.begin(), journal.end(), [&](auto& e) {
            return e.program == program && e.event == L"start";
        }));
    }
    void ExpectEndedByKill() const {
        const auto log = Log();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(L"Suicide.", log[log.size() - 2]);
        EXPECT_EQ(L"Agent exits.", log.back());
    }
    // Sets the kill event; the agent must be gone, with exit code 0.
    void KillAndExpectPromptExit() {
        EXPECT_EQ(0u, agent_->Stop(kStopTimeoutMs).value_or(99));
        ExpectEndedByKill();
    }

    AgentRegistry registry_;
    DesktopRobot robot_;
    TempDir dir_{L"faults"};
    std::unique_ptr<AgentProcess> agent_;
    std::wstring client_;
    std::vector<HANDLE> clients_;
};

TEST_F(Faults, CrashingStageProgramsDoNotStopTheJob) {
    StageBehaviour crash;
    crash.crashCode = 0xC0000005;  // an access violation, as the process's exit code
    ASSERT_TRUE(SetStageBehaviour(dir(), L"preprocess.exe", crash));
    ASSERT_TRUE(SetStageBehaviour(dir(), L"progress.exe", crash));
    ASSERT_TRUE(SetStageBehaviour(dir(), L"lmvndisp.exe", crash));
    ConfigureCommandLine();

    Submit(801);
    ASSERT_TRUE(WaitForDelivery(801));
    Submit(802, true);
    ASSERT_TRUE(WaitForDelivery(802));
    // The agent waited for each stage to end, however it ended.
    EXPECT_EQ(2u, Count(L"Preprocessing finished."));
    EXPECT_EQ(2u, Count(L"Converter finished."));
    EXPECT_EQ(2, Occurrences(JournalText(), "job via=commandline"));
    EXPECT_TRUE(robot_.Boxes().empty());
    KillAndExpectPromptExit();
}

TEST_F(Faults, HangingStageProgramHoldsOnlyItsOwnJob) {
    StageBehaviour hang;
    hang.delayMs = 120000;
    ASSERT_TRUE(SetStageBehaviour(dir(), L"lmvndisp.exe", hang));
    ConfigureCommandLine();
    const std::wstring stuck = Submit(811);
    ASSERT_TRUE(WaitUntil([&] { return StageStarts(L"lmvndisp.exe") == 1; }, kJobTimeoutMs));

    // The next converter behaves: the next jobs, per user and shared, go through.
    ASSERT_TRUE(SetStageBehaviour(dir(), L"lmvndisp.exe", StageBehaviour{}));
    Submit(812);
    Submit(813, true);
    ASSERT_TRUE(WaitForDelivery(812));
    ASSERT_TRUE(WaitForDelivery(813));
    EXPECT_EQ(0, Occurrences(JournalText(), JobIdLine(811)));
    EXPECT_EQ(2u, Count(L"Converter finished."));
    EXPECT_TRUE(FileExists(stuck));

    KillAndExpectPromptExit();
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(Faults, ClientThatEndsBeforeItsWindowIsReportedAndTheNextJobIsServed) {
    Configure(1, L"LmvnFaultGone", ClientCommand(L"LmvnFaultGone", L"--no-window"));
    const std::wstring job = Submit(821);
    ASSERT_TRUE(robot_.WaitForBoxes(1, kPollingJobTimeoutMs));
    EXPECT_EQ(L"Target application is inaccessible.", robot_.Boxes()[0].text);
    EXPECT_TRUE(FileExists(job));  // copy-data mode keeps the job's files
    EXPECT_EQ(1, Occurrences(JournalText(), "start pid="));

    ASSERT_TRUE(StartClient(L"LmvnFaultHere"));
    Configure(1, L"LmvnFaultHere", ClientCommand(L"LmvnFaultHere"));
    Submit(822);
    ASSERT_TRUE(WaitForDelivery(822));
    EXPECT_EQ(1u, robot_.Boxes().size());
    KillAndExpectPromptExit();
}

TEST_F(Faults, ClientThatNeverAnswersCopyDataHoldsOnlyItsOwnJob) {
    ASSERT_TRUE(StartClient(L"LmvnFaultDeaf", L"--copydata-delay 120000"));
    Configure(1, L"LmvnFaultDeaf", ClientCommand(L"LmvnFaultDeaf"));
    Submit(831);
    ASSERT_TRUE(WaitForLog(L"Sending WM_COPYDATA."));

    // Other jobs, by clipboard and by command line, while that one waits.
    ASSERT_TRUE(StartClient(L"LmvnFaultClip"));
    Configure(2, L"LmvnFaultClip", ClientCommand(L"LmvnFaultClip"));
    Submit(832, true);
    ASSERT_TRUE(WaitForDelivery(832));
    ConfigureCommandLine();
    Submit(833);
    ASSERT_TRUE(WaitForDelivery(833));
    EXPECT_EQ(0, Occurrences(JournalText(), JobIdLine(831)));

    KillAndExpectPromptExit();
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(Faults, AgentKilledInTheMiddleOfAJobServesTheNextOneWhenStartedAgain) {
    StageBehaviour slow;
    slow.delayMs = 60000;
    ASSERT_TRUE(SetStageBehaviour(dir(), L"lmvndisp.exe", slow));
    ConfigureCommandLine();
    const std::wstring interrupted = Submit(841);
    ASSERT_TRUE(WaitForLog(L"Starting converter."));
    ASSERT_TRUE(TerminateProcess(agent_->process(), 1));
    ASSERT_TRUE(agent_->WaitForExit(kStopTimeoutMs).has_value());

    ASSERT_TRUE(SetStageBehaviour(dir(), L"lmvndisp.exe", StageBehaviour{}));
    ASSERT_TRUE(StartAgent());
    Submit(842);
    ASSERT_TRUE(WaitForDelivery(842));
    // The interrupted job was taken over before the end: its value is gone,
    // and its files stay where the printer side put them.
    EXPECT_TRUE(FileExists(interrupted));
    EXPECT_EQ(0, Occurrences(JournalText(), JobIdLine(841)));
    EXPECT_EQ(2u, Count(L"Agent started."));
    KillAndExpectPromptExit();
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(Faults, KillEventWhileSeveralJobsRunEndsTheAgentWithCodeZero) {
    StageBehaviour slow;
    slow.delayMs = 60000;
    ASSERT_TRUE(SetStageBehaviour(dir(), L"preprocess.exe", slow));
    ConfigureCommandLine();
    for (int i = 0; i < 4; ++i) Submit(851 + i, i % 2 == 1);
    ASSERT_TRUE(WaitUntil([&] { return StageStarts(L"preprocess.exe") == 4; }, kJobTimeoutMs));
    KillAndExpectPromptExit();
    EXPECT_EQ(4u, Count(L"Processing thread started."));
    EXPECT_EQ(0u, Count(L"Preprocessing finished."));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(Faults, FailureRoadsLeaveNoHandleBehind) {
    // Reports are broadcast, so that every failure road runs without a box.
    ASSERT_TRUE(agent_->Stop().has_value());
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Message Mode", 1));
    // No progress indicator: Wine leaks a handle per WaitForInputIdle on it.
    ASSERT_TRUE(DeleteFileW((dir_ / L"progress.exe").c_str()));
    NotifyListener listener;
    ASSERT_TRUE(StartAgent());
    const size_t idleThreads = SteadyThreadCount(agent_->pid());
    ASSERT_GT(idleThreads, 0u);
    ASSERT_TRUE(StartClient(L"LmvnFaultClipTarget"));
    const std::wstring nowhere = L"\"" + (dir_ / L"no such client.exe") + L"\"";
    const std::wstring converter = dir_ / L"lmvndisp.exe";
    const std::wstring converterAside = dir_ / L"lmvndisp.aside";

    // Each road, set up and run once; the job's thread has ended on return.
    int jobId = 860;
    auto runRoad = [&](int road) {
        SCOPED_TRACE(road);
        StageBehaviour preprocessor;
        switch (road) {
            case 0:  // no hand-over value at all
                break;
            case 1:  // the client application is missing
                Configure(0, L"", L"");
                break;
            case 2:  // copy-data mode without class or title
                Configure(1, L"", nowhere);
                break;
            case 3:  // the converter is missing
                Configure(0, L"", nowhere);
                ASSERT_TRUE(MoveFileW(converter.c_str(), converterAside.c_str()));
                break;
            case 4:  // the client cannot be started
                Configure(0, L"", nowhere);
                break;
            case 5:  // copy-data mode, no window and no client
                Configure(1, L"LmvnFaultNowhere", nowhere);
                break;
            case 6:  // clipboard mode, no window and no client
                Configure(2, L"LmvnFaultNowhere", nowhere);
                break;
            case 7:  // clipboard mode, a format without a name
                Configure(2, L"LmvnFaultClipTarget", nowhere);
                ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Clipboard Format", L""));
                break;
            case 8:  // the preprocessor cancels the job
                Configure(0, L"", nowhere);
                preprocessor.result = L"Cancel";
                break;
        }
        ASSERT_TRUE(SetStageBehaviour(dir(), L"preprocess.exe", preprocessor));
        const size_t started = Count(L"Processing thread started.");
        if (road == 0) {
            ASSERT_TRUE(SignalJob(false));
        } else {
            Submit(++jobId, road % 2 == 1);
        }
        ASSERT_TRUE(WaitForLog(L"Processing thread started.", started + 1));
        ASSERT_TRUE(WaitUntil([&] { return ProcessThreadCount(agent_->pid()) == idleThreads; },
                              kJobTimeoutMs));
        if (road == 3) {
            ASSERT_TRUE(MoveFileW(converterAside.c_str(), converter.c_str()));
        }
        if (road == 7) {
            ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Clipboard Format",
                                                 L"Lumvane Faults"));
        }
    };
    constexpr int kRoads = 9;
    // The handle count once the last thread has ended: the threads before it
    // were reaped when its event came, so the agent holds one thread handle.
    auto countAfterRoads = [&](int rounds) -> long long {
        for (int round = 0; round < rounds; ++round) {
            for (int road = 0; road < kRoads; ++road) runRoad(road);
        }
        runRoad(0);
        const auto handles = ProcessHandleCount(agent_->pid());
        return handles ? static_cast<long long>(*handles) : -1;
    };

    const long long before = countAfterRoads(1);
    ASSERT_GT(before, 0);
    const long long after = countAfterRoads(3);
    EXPECT_LE(after - before, 2) << "before " << before << ", after " << after;

    // Every road took its failure: one broadcast each, none for the cancel.
    using namespace lmvn::reports;
    const std::vector<WPARAM> perRound = {kJobInfoFailed.code,      kClientMissing.code,
                                          kNotConfigured.code,      kConverterMissing.code,
                                          kDispatcherFailed.code,   kTargetInaccessible.code,
                                          kTargetInaccessible.code, kSetClipboardFailed.code};
    std::vector<WPARAM> expected;
    for (int round = 0; round < 4; ++round) {
        expected.insert(expected.end(), perRound.begin(), perRound.end());
        if (round == 0 || round == 3) expected.push_back(kJobInfoFailed.code);  // the last job
    }
    ASSERT_TRUE(listener.WaitForCount(expected.size(), 5000));
    std::vector<WPARAM> received;
    for (const Notification& n : listener.Received()) received.push_back(n.code);
    EXPECT_EQ(expected, received);
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(Faults, SeveralProcessesAppendingToOneLogLoseNoLine) {
    ASSERT_TRUE(agent_->Stop().has_value());
    const std::wstring writer = JoinPath(ProgramDir(), L"logwriter.exe");
    constexpr int kWriters = 4;
    constexpr int kThreads = 2;
    constexpr int kLines = 300;
    std::vector<PROCESS_INFORMATION> started;
    for (int w = 0; w < kWriters; ++w) {
        std::wstring line = L"\"" + writer + L"\" " + std::to_wstring(kLines) + L" " +
                            std::to_wstring(kThreads) + L" w" + std::to_wstring(w);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(StartTestProcess(line.data(), FALSE, 0, dir().c_str(), &startup, &info));
        started.push_back(info);
    }
    ExpectCleanExits(started, 60000);

    std::map<std::wstring, int> seen;
    int malformed = 0;
    for (const LogLine& line : ParseLog(ReadFileBytes(dir_ / L"vp_log.txt"))) {
        if (line.stamp.size() != 23) ++malformed;
        ++seen[line.text];
    }
    EXPECT_EQ(0, malformed);
    // The agent's own run before, then every writer's lines, each once.
    EXPECT_EQ(1 + kWriters, seen[L"Agent started."]);
    int missing = 0;
    for (int w = 0; w < kWriters; ++w) {
        for (int t = 0; t < kThreads; ++t) {
            for (int i = 0; i < kLines; ++i) {
                const std::wstring text = L"w" + std::to_wstring(w) + L" " + std::to_wstring(t) +
                                          L" " + std::to_wstring(i) + L".";
                if (seen[text] != 1) ++missing;
            }
        }
    }
    EXPECT_EQ(0, missing);
    const std::string bytes = ReadFileBytes(dir_ / L"vp_log.txt");
    EXPECT_EQ(1, Occurrences(bytes, std::string("\xFF\xFE", 2)));
}

}  // namespace
}  // namespace lmvntest
