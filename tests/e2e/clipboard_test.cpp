// Clipboard mode against clients that are busy, slow or deaf: the real agent,
// the sample client lmvnclient with its behaviours for testing, and the stage
// doubles. Every job that the client reads arrives once and without a report;
// a client that never reads is reported after the bound, with its files kept.
#include "diag/report.h"
#include "support/harness.h"
#include "support/processes.h"
#include "support/producer.h"
#include "support/robot.h"
#include "support/stagedouble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace lmvntest {
namespace {

constexpr wchar_t kFormat[] = L"Lumvane Clipboard Test";
constexpr DWORD kJobTimeoutMs = 30000;
// The agent's bound for a client to read (60 s), and room for the rest.
constexpr DWORD kUnreadTimeoutMs = 100000;

class Clipboard : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(InstallStageDoubles(dir_.path()));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Clipboard Format", kFormat));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Message ID", 0x8300));
        // Never started: the tests start the client themselves.
        ASSERT_TRUE(
            AgentRegistry::SetClient(2, kClientClass, L"\"" + (dir_ / L"none.exe") + L"\""));
        ASSERT_TRUE(agent_.Start(dir_.path()));
        ASSERT_TRUE(WaitUntil([&] { return Logged(L"Waiting for events.") > 0; }, 20000));
    }
    void TearDown() override {
        if (agent_.Running()) {
            EXPECT_EQ(0u, agent_.Stop().value_or(99));
        }
        if (client_ != nullptr) {
            TerminateProcess(client_, 0);
            CloseHandle(client_);
        }
    }

    // Starts lmvnclient with `behaviour` and waits for its window.
    void StartClient(const std::wstring& behaviour) {
        const std::wstring line = L"\"" + JoinPath(BuildDir(), L"lmvnclient.exe") + L"\" --class " +
                                  kClientClass + L" --format \"" + kFormat +
                                  L"\" --message 0x8300 --journal \"" + Journal() +
                                  L"\" --lifetime 180000 " + behaviour;
        bool shown = false;
        client_ = StartWindowedProgram(line, kClientClass, 15000, shown);
        ASSERT_TRUE(shown);
    }
    // A job of `pages` EMF files, handed over as the printer side does.
    std::wstring Submit(int jobId, int pages = 0) {
        std::vector<std::wstring> files;
        for (int i = 0; i < pages; ++i) {
            files.push_back(
                dir_ / (L"job" + std::to_wstring(jobId) + L"-" + std::to_wstring(i) + L".emf"));
            EXPECT_TRUE(WriteFileBytes(files.back(), "EMF"));
        }
        const std::wstring job = dir_ / (L"job" + std::to_wstring(jobId) + L".ini");
        EXPECT_TRUE(WriteJobFile(job, jobId, files));
        EXPECT_TRUE(HandOver(UserName(), job, false));
        return job;
    }

    std::wstring Journal() const { return dir_ / L"client journal.txt"; }
    int Arrivals(int jobId) const {
        return Occurrences(ReadFileBytes(Journal()), "jobid=" + std::to_string(jobId) + "\r\n");
    }
    bool WaitForArrival(int jobId) {
        return WaitUntil([&] { return Arrivals(jobId) > 0; }, kJobTimeoutMs);
    }
    int Logged(const std::wstring& text) const {
        const auto lines = LogTexts(dir_ / L"vp_log.txt");
        return static_cast<int>(std::count(lines.begin(), lines.end(), text));
    }
    // Every job's thread has ended: whatever it was going to report, it has.
    bool WaitForJobsToEnd() {
        return WaitUntil([&] { return ProcessThreadCount(agent_.pid()).value_or(0) == 1; },
                         kJobTimeoutMs);
    }

    static constexpr wchar_t kClientClass[] = L"LmvnE2EClipboardClient";
    AgentRegistry registry_;
    DesktopRobot robot_;
    TempDir dir_{L"lmvnclip"};
    AgentProcess agent_;
    HANDLE client_ = nullptr;
};

TEST_F(Clipboard, ABusyClientGetsTheJobThatArrivedMeanwhileWithoutAReport) {
    // After each job the client's window thread works for 7 s without
    // looking at its messages, as a client that opens the document does; the
    // system takes such a window for hung after 5 s.
    StartClient(L"--busy-after 7000");
    Submit(1001);
    ASSERT_TRUE(WaitForArrival(1001));
    Sleep(5500);
    Submit(1002);
    ASSERT_TRUE(WaitForArrival(1002));
    ASSERT_TRUE(WaitForJobsToEnd());
    EXPECT_EQ(1, Arrivals(1001));
    EXPECT_EQ(1, Arrivals(1002));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(Clipboard, AHandlerThatTakesLongAfterReadingGetsNoFalseReport) {
    // The client reads the path at once, then spends 12 s in the handler (a
    // dialog about the document).
    StartClient(L"--handler-delay 12000");
    Submit(1011);
    ASSERT_TRUE(WaitForArrival(1011));
    ASSERT_TRUE(WaitForJobsToEnd());
    EXPECT_EQ(1, Arrivals(1011));
    EXPECT_TRUE(robot_.Boxes().empty());
    for (const auto& line : LogTexts(dir_ / L"vp_log.txt")) {
        EXPECT_NE(0u, line.find(L"Delivery failed.")) << Utf8(line);
    }
}

TEST_F(Clipboard, AClientThatKeepsTheClipboardOpenAfterReadingGetsTheNextJobToo) {
    // The handler reads the path and keeps the clipboard open for 3 s (a
    // dialog before CloseClipboard), then empties it, which waits for the
    // agent's owner window to take note; the second job waits for the
    // clipboard meanwhile.
    StartClient(L"--hold-open 3000 --empty-on-read");
    Submit(1031);
    Submit(1032);
    ASSERT_TRUE(WaitForArrival(1031));
    ASSERT_TRUE(WaitForArrival(1032));
    ASSERT_TRUE(WaitForJobsToEnd());
    EXPECT_EQ(1, Arrivals(1031));
    EXPECT_EQ(1, Arrivals(1032));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(Clipboard, AClientThatNeverReadsIsReportedAfterTheBoundAndKeepsTheFiles) {
    StartClient(L"--never-read");
    const std::wstring job = Submit(1021, 2);
    ASSERT_TRUE(robot_.WaitForBoxes(1, kUnreadTimeoutMs));
    EXPECT_EQ(lmvn::reports::kTargetInaccessible.text, robot_.Boxes()[0].text);
    EXPECT_EQ(1, Occurrences(ReadFileBytes(Journal()), "unread via=clipboard message=33536"));
    EXPECT_EQ(1, Logged(L"Delivery failed. JobID=1021, path \"" + job +
                        L"\". Cause: the client did not read the clipboard within 60 s."));
    EXPECT_TRUE(FileExists(job));
    EXPECT_TRUE(FileExists(dir_ / L"job1021-0.emf"));
    EXPECT_TRUE(FileExists(dir_ / L"job1021-1.emf"));
    // The path was withdrawn: a late read finds nothing.
    EXPECT_FALSE(IsClipboardFormatAvailable(RegisterClipboardFormatW(kFormat)));
}

}  // namespace
}  // namespace lmvntest
