// Batches: jobs handed over back to back, so that their threads overlap, to a
// client that starts slowly. Every job reaches the client exactly once, the
// client is started once, and no progress indicator outlives its job.
#include "support/desktop.h"
#include "support/harness.h"
#include "support/processes.h"
#include "support/producer.h"
#include "support/robot.h"
#include "support/stagedouble.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

namespace lmvntest {
namespace {

constexpr wchar_t kProgressClass[] = L"Lumvane progress indicator";
// A batch takes some seconds; a job that is lost never arrives.
constexpr DWORD kBatchTimeoutMs = 90000;

class Batch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW((dir_ / L"jobs").c_str(), nullptr));
        ASSERT_TRUE(InstallStageDoubles(dir_.path()));
        StageBehaviour converter;
        converter.delayMs = 300;  // the jobs overlap
        ASSERT_TRUE(SetStageBehaviour(dir_.path(), L"lmvndisp.exe", converter));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
        ASSERT_TRUE(
            AgentRegistry::SetString(HKEY_CURRENT_USER, L"Clipboard Format", L"Lumvane Batch"));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Message ID", 0x8200));
        ASSERT_TRUE(agent_.Start(dir_.path()));
        ASSERT_TRUE(WaitUntil(
            [&] {
                for (const auto& line : LogTexts(dir_ / L"vp_log.txt")) {
                    if (line == L"Waiting for events.") return true;
                }
                return false;
            },
            20000));
    }
    void TearDown() override {
        if (agent_.Running()) {
            EXPECT_EQ(0u, agent_.Stop().value_or(99));
        }
        EndWindowOwners(kClientClass);  // the clients the agent started
        TerminateProcessesIn(dir_.path());
    }

    std::wstring Journal() const { return dir_ / L"client journal.txt"; }
    void ConfigureClient(DWORD mode, const std::wstring& extra) {
        const std::wstring client = L"\"" + JoinPath(BuildDir(), L"lmvnclient.exe") +
                                    L"\" --class " + kClientClass + L" --journal \"" + Journal() +
                                    L"\" --format \"Lumvane Batch\" --message 0x8200 " +
                                    L"--lifetime 120000 " + extra;
        ASSERT_TRUE(AgentRegistry::SetClient(mode, kClientClass, client));
    }

    // Hands `count` jobs over back to back, waits until each has reached the
    // client, then a second more for late duplicates. Fails the test on a job
    // that never arrives.
    void RunBatch(int count) {
        for (int i = 0; i < count; ++i) {
            const std::wstring job = dir_ / (L"jobs\\job" + std::to_wstring(i) + L".ini");
            ASSERT_TRUE(WriteJobFile(job, kFirstJob + i, {}));
            ASSERT_TRUE(HandOver(UserName(), job, false));
        }
        const bool all = WaitUntil([&] { return static_cast<int>(Deliveries().size()) == count; },
                                   kBatchTimeoutMs);
        Sleep(1000);
        const auto seen = Deliveries();
        for (int i = 0; i < count; ++i) {
            const auto found = seen.find(kFirstJob + i);
            EXPECT_EQ(1, found == seen.end() ? 0 : found->second) << "job " << kFirstJob + i;
        }
        ASSERT_TRUE(all);
    }
    // How often each job id reached the client.
    std::map<int, int> Deliveries() const {
        const std::string journal = ReadFileBytes(Journal());
        std::map<int, int> seen;
        for (size_t at = journal.find("jobid="); at != std::string::npos;
             at = journal.find("jobid=", at + 1)) {
            ++seen[std::atoi(journal.c_str() + at + 6)];
        }
        return seen;
    }

    static constexpr wchar_t kClientClass[] = L"LmvnE2EBatch";
    static constexpr int kFirstJob = 9000;
    AgentRegistry registry_;
    DesktopRobot robot_;
    TempDir dir_{L"lmvnbatch"};
    AgentProcess agent_;
};

TEST_F(Batch, CopyDataStartsTheClientOnceAndClosesEveryJobsOwnProgressWindow) {
    StageBehaviour progress;
    progress.window = true;
    ASSERT_TRUE(SetStageBehaviour(dir_.path(), L"progress.exe", progress));
    // Idle for input at once, its window a second and a half later.
    ConfigureClient(1, L"--window-delay 1500");
    RunBatch(12);

    EXPECT_EQ(1, Occurrences(ReadFileBytes(Journal()), "start pid="));
    // Each job posted WM_CLOSE to its own window: none is left, and none
    // closed itself at its time limit.
    EXPECT_TRUE(WaitUntil([] { return CountWindows(kProgressClass) == 0; }, 5000))
        << CountWindows(kProgressClass) << " progress windows left";
    int closed = 0;
    for (const auto& entry : ReadStageJournal(dir_.path())) {
        if (entry.program == L"progress.exe" && entry.event == L"close") ++closed;
    }
    EXPECT_EQ(12, closed);
    // Back to the main thread alone.
    EXPECT_TRUE(
        WaitUntil([&] { return ProcessThreadCount(agent_.pid()).value_or(0) == 1; }, 10000));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(Batch, ClipboardDeliversEachPathOnceAndEndsWindowlessProgressIndicators) {
    // A progress indicator that never shows a window would run on for half a
    // minute after its job.
    StageBehaviour progress;
    progress.idle = true;
    progress.delayMs = 30000;
    ASSERT_TRUE(SetStageBehaviour(dir_.path(), L"progress.exe", progress));
    // Neither idle nor with a window for a second and a half; then it reads
    // each path a moment after its message, not while handling it.
    ConfigureClient(2, L"--start-delay 1500 --read-delay 100");
    RunBatch(30);

    const std::string journal = ReadFileBytes(Journal());
    EXPECT_EQ(1, Occurrences(journal, "start pid="));
    EXPECT_EQ(30, Occurrences(journal, "job via=clipboard message=33280 bytes=260"));
    EXPECT_TRUE(robot_.Boxes().empty());
    // Every job has ended its indicator: with the agent gone, nothing of its
    // folder is left running.
    EXPECT_TRUE(
        WaitUntil([&] { return ProcessThreadCount(agent_.pid()).value_or(0) == 1; }, 10000));
    EXPECT_EQ(0u, agent_.Stop().value_or(99));
    EXPECT_EQ(0, TerminateProcessesIn(dir_.path()));
}

}  // namespace
}  // namespace lmvntest
