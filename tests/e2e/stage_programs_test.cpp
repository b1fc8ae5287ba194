// The real agent runs the stage doubles for jobs submitted as the printer
// side does, and delivers in command-line mode to the double under the name
// client.exe.
#include "common/settings.h"
#include "job/stages.h"
#include "support/harness.h"
#include "support/robot.h"
#include "support/stagedouble.h"
#include "support/submitter.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using lmvntest::AgentRegistry;
using lmvntest::FindEntry;
using lmvntest::IndexOf;
using lmvntest::JournalEntry;
using lmvntest::StageBehaviour;

constexpr DWORD kJobTimeoutMs = 30000;

class StageProgramsTest : public ::testing::Test {
  protected:
    // `folderPrefix` may hold a blank: the agent's folder then has one.
    void Prepare(const std::wstring& folderPrefix = L"lmvnstages") {
        dir_ = std::make_unique<lmvntest::TempDir>(folderPrefix);
        ASSERT_TRUE(lmvntest::InstallStageDouble(dir(), L"client.exe"));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir()));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application",
                                             path(L"client.exe")));
    }
    void StartAgent() {
        ASSERT_TRUE(agent_.Start(dir()));
        ASSERT_TRUE(lmvntest::WaitUntil([&] { return HasLogLine(L"Waiting for events."); }, 20000));
    }
    void TearDown() override {
        if (agent_.Running()) {
            EXPECT_EQ(0u, agent_.Stop().value_or(99));
        }
    }

    const std::wstring& dir() const { return dir_->path(); }
    std::wstring path(const std::wstring& name) const { return lmvntest::JoinPath(dir(), name); }

    // A job description file listing one EMF file, handed over under the
    // user's name, and the user's print event set.
    std::wstring Submit(const std::wstring& jobName, int jobId) {
        const std::wstring job = path(jobName);
        const std::wstring emf = path(L"page " + std::to_wstring(jobId) + L".emf");
        EXPECT_TRUE(lmvntest::WriteFileBytes(emf, "EMF"));
        std::string text =
            "[Document]\r\nJobID=" + std::to_string(jobId) + "\r\n[EMF]\r\nCount=1\r\nFile0=";
        text += std::string(emf.begin(), emf.end()) + "\r\n";
        EXPECT_TRUE(lmvntest::WriteFileBytes(job, text));
        EXPECT_TRUE(
            AgentRegistry::SetString(HKEY_LOCAL_MACHINE, lmvntest::UserName().c_str(), job));
        HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, lmvntest::PrintEventName().c_str());
        EXPECT_NE(nullptr, event);
        if (event != nullptr) {
            SetEvent(event);
            CloseHandle(event);
        }
        return job;
    }

    std::vector<lmvntest::LogLine> Log() const {
        return lmvntest::ParseLog(lmvntest::ReadFileBytes(path(L"vp_log.txt")));
    }
    bool HasLogLine(const std::wstring& text) const {
        const auto lines = Log();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const lmvntest::LogLine& l) { return l.text == text; });
    }
    int CountLogLines(const std::wstring& text) const {
        const auto lines = Log();
        return static_cast<int>(
            std::count_if(lines.begin(), lines.end(),
                          [&](const lmvntest::LogLine& l) { return l.text == text; }));
    }
    // The log's texts that are among `keep`, in their order.
    std::vector<std::wstring> LogTexts(const std::vector<std::wstring>& keep) const {
        std::vector<std::wstring> texts;
        for (const auto& line : Log()) {
            if (std::find(keep.begin(), keep.end(), line.text) != keep.end()) {
                texts.push_back(line.text);
            }
        }
        return texts;
    }
    ULONGLONG LogTime(const std::wstring& text) const {
        for (const auto& line : Log()) {
            if (line.text == text) return lmvntest::StampToTime(line.stamp);
        }
        return 0;
    }

    std::vector<JournalEntry> Journal() const { return lmvntest::ReadStageJournal(dir()); }
    int CountEntries(const std::wstring& program, const std::wstring& event) const {
        const auto journal = Journal();
        return static_cast<int>(std::count_if(journal.begin(), journal.end(), [&](const auto& e) {
            return e.program == program && e.event == event;
        }));
    }
    bool WaitForEntries(const std::wstring& program, const std::wstring& event, int count,
                        DWORD timeoutMs = kJobTimeoutMs) const {
        return lmvntest::WaitUntil([&] { return CountEntries(program, event) >= count; },
                                   timeoutMs);
    }

    AgentRegistry registry_;
    lmvntest::DesktopRobot robot_;
    std::unique_ptr<lmvntest::TempDir> dir_;
    lmvntest::AgentProcess agent_;
};

StageBehaviour ProgressWindow() {
    StageBehaviour progress;
    progress.window = true;
    progress.windowLimitMs = 20000;
    return progress;
}

TEST_F(StageProgramsTest, StagesRunInOrderEachWithTheJobPathAfterOneBlank) {
    Prepare(L"lmvn agent folder");  // blanks in the agent's folder and the job path
    ASSERT_TRUE(lmvntest::InstallStageDoubles(dir()));
    StageBehaviour preprocessor;
    preprocessor.delayMs = 400;
    StageBehaviour converter;
    converter.delayMs = 400;
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir(), L"preprocess.exe", preprocessor));
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir(), L"progress.exe", ProgressWindow()));
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir(), L"lmvndisp.exe", converter));
    StartAgent();

    const std::wstring job = Submit(L"print job 1.ini", 1);
    ASSERT_TRUE(WaitForEntries(L"client.exe", L"end", 1));
    ASSERT_TRUE(WaitForEntries(L"progress.exe", L"close", 1, 10000));
    const auto journal = Journal();

    // Each stage named by its full path in the agent's folder, the job path
    // after one blank, neither quoted; the job path arrives whole.
    for (const wchar_t* name : {L"preprocess.exe", L"progress.exe", L"lmvndisp.exe"}) {
        const auto start = FindEntry(journal, name, L"start");
        ASSERT_TRUE(start) << name;
        // Wine hands the child a command line whose unquoted program path
        // held a blank with that path put in quotes; the exact line the
        // agent passes is checked by the unit tests.
        const std::wstring unquoted = path(name) + L" " + job;
        const std::wstring requoted = L"\"" + path(name) + L"\" " + job;
        EXPECT_TRUE(start->detail == unquoted || start->detail == requoted) << start->detail;
        EXPECT_EQ(job, FindEntry(journal, name, L"job")->detail);
    }
    EXPECT_EQ(L"\"" + path(L"client.exe") + L"\" " + job,
              FindEntry(journal, L"client.exe", L"start")->detail);

    // One stage at a time, the progress indicator's window up before the
    // converter starts, and the client last.
    const int order[] = {
        IndexOf(journal, L"preprocess.exe", L"start"), IndexOf(journal, L"preprocess.exe", L"end"),
        IndexOf(journal, L"progress.exe", L"start"),   IndexOf(journal, L"progress.exe", L"window"),
        IndexOf(journal, L"lmvndisp.exe", L"start"),   IndexOf(journal, L"lmvndisp.exe", L"end"),
        IndexOf(journal, L"client.exe", L"start"),
    };
    for (size_t i = 0; i + 1 < std::size(order); ++i) {
        EXPECT_GE(order[i], 0) << i;
        EXPECT_LT(order[i], order[i + 1]) << i;
    }

    // The log lines at their moments (log stamps are whole milliseconds).
    const std::vector<std::wstring> stageLines = {L"Preprocessing finished.",
                                                  L"Progress indicator started.",
                                                  L"Starting converter.",
                                                  L"Converter finished.",
                                                  L"Progress indicator process terminated.",
                                                  L"Run client application."};
    EXPECT_EQ(stageLines, LogTexts(stageLines));
    using lmvntest::ToMilliseconds;
    EXPECT_GE(LogTime(L"Preprocessing finished."),
              ToMilliseconds(FindEntry(journal, L"preprocess.exe", L"end")->time));
    EXPECT_LE(LogTime(L"Starting converter."), FindEntry(journal, L"lmvndisp.exe", L"start")->time);
    EXPECT_GE(LogTime(L"Converter finished."),
              ToMilliseconds(FindEntry(journal, L"lmvndisp.exe", L"end")->time));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(StageProgramsTest, MissingPreprocessorAndProgressIndicatorAreSkipped) {
    Prepare();
    ASSERT_TRUE(lmvntest::InstallStageDouble(dir(), L"lmvndisp.exe"));
    StageBehaviour converter;
    converter.crashCode = 0xC0000005;  // a converter that crashes has still run
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir(), L"lmvndisp.exe", converter));
    StartAgent();

    const std::wstring job = Submit(L"job2.ini", 2);
    ASSERT_TRUE(WaitForEntries(L"client.exe", L"end", 1));
    EXPECT_EQ(path(L"client.exe") + L" " + job,
              FindEntry(Journal(), L"client.exe", L"start")->detail);
    EXPECT_EQ(path(L"lmvndisp.exe") + L" " + job,
              FindEntry(Journal(), L"lmvndisp.exe", L"start")->detail);
    EXPECT_EQ(1, CountEntries(L"lmvndisp.exe", L"crash"));
    EXPECT_EQ(0, CountLogLines(L"Preprocessing finished."));
    EXPECT_EQ(0, CountLogLines(L"Progress indicator started."));
    EXPECT_EQ(0, CountLogLines(L"Progress indicator process terminated."));
    EXPECT_EQ(1, CountLogLines(L"Converter finished."));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(StageProgramsTest, MissingConverterIsReportedAndNothingIsDelivered) {
    Prepare();
    ASSERT_TRUE(lmvntest::InstallStageDouble(dir(), L"preprocess.exe"));
    ASSERT_TRUE(lmvntest::InstallStageDouble(dir(), L"progress.exe"));
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir(), L"progress.exe", ProgressWindow()));
    StartAgent();

    const std::wstring job = Submit(L"job3.ini", 3);
    ASSERT_TRUE(robot_.WaitForBoxes(1, kJobTimeoutMs));
    EXPECT_EQ(L"Cannot find converter executable.", robot_.Boxes()[0].text);
    // The progress indicator is still told to close.
    ASSERT_TRUE(WaitForEntries(L"progress.exe", L"close", 1, 10000));
    EXPECT_FALSE(lmvntest::FileExists(job));
    EXPECT_TRUE(lmvntest::FileExists(path(L"page 3.emf")));

    const std::vector<std::wstring> lines = {L"Starting converter.",
                                             L"Cannot find converter executable.",
                                             L"Progress indicator process terminated."};
    EXPECT_EQ(lines, LogTexts(lines));
    // Give a wrongly started client time to show up.
    Sleep(1500);
    EXPECT_EQ(0, CountEntries(L"client.exe", L"start"));
    EXPECT_EQ(0, CountLogLines(L"Run client application."));
    EXPECT_EQ(1u, robot_.Boxes().size());
}

TEST_F(StageProgramsTest, OnlyCancelInAnyCaseStopsTheJob) {
    Prepare();
    ASSERT_TRUE(lmvntest::InstallStageDoubles(dir()));
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir(), L"progress.exe", ProgressWindow()));
    StageBehaviour preprocessor;
    preprocessor.result = L"Cancelled";
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir(), L"preprocess.exe", preprocessor));
    StartAgent();

    // Not a cancel: delivered.
    Submit(L"job4.ini", 4);
    ASSERT_TRUE(WaitForEntries(L"client.exe", L"end", 1));

    preprocessor.result = L"cAnCeL";
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir(), L"preprocess.exe", preprocessor));
    const std::wstring job = Submit(L"job5.ini", 5);
    ASSERT_TRUE(WaitForEntries(L"preprocess.exe", L"end", 2));
    ASSERT_TRUE(
        lmvntest::WaitUntil([&] { return CountLogLines(L"Preprocessing finished.") == 2; }, 10000));
    // Nothing may follow for the cancelled job.
    Sleep(1500);
    EXPECT_EQ(1, CountEntries(L"progress.exe", L"start"));
    EXPECT_EQ(1, CountEntries(L"lmvndisp.exe", L"start"));
    EXPECT_EQ(1, CountEntries(L"client.exe", L"start"));
    EXPECT_EQ(1, CountLogLines(L"Starting converter."));
    EXPECT_TRUE(lmvntest::FileExists(job));
    EXPECT_TRUE(lmvntest::FileExists(path(L"page 5.emf")));
    EXPECT_TRUE(robot_.Boxes().empty());
}

// What lmvnsubmit writes with --title and --set reaches the stage programs:
// the preprocessor double reads the keys back from the job description file.
TEST_F(StageProgramsTest, SubmitterTitleAndSetKeysReachThePreprocessor) {
    Prepare();
    ASSERT_TRUE(lmvntest::InstallStageDoubles(dir()));
    StageBehaviour preprocessor;
    preprocessor.echo = L"Document.Title,Document.JobID,Vendor.Tray,EMF.Count";
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir(), L"preprocess.exe", preprocessor));
    StartAgent();

    // A title outside the ANSI code page, a value holding '=', and a --set
    // that overrides a key lmvnsubmit writes itself.
    const std::wstring title = L"\u041E\u0442\u0447\u0451\u0442 [draft] 2026";
    const auto submitted = lmvntest::Submit(L"--dir \"" + dir() + L"\" --title \"" + title +
                                            L"\" --set Vendor.Tray=a=b --set Document.JobID=77");
    ASSERT_EQ(0u, submitted.exitCode.value_or(99)) << submitted.err;
    ASSERT_TRUE(WaitForEntries(L"preprocess.exe", L"key", 4));
    std::vector<std::wstring> keys;
    for (const auto& entry : Journal()) {
        if (entry.program == L"preprocess.exe" && entry.event == L"key")
            keys.push_back(entry.detail);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Document.Title=" + title, L"Document.JobID=77",
                                         L"Vendor.Tray=a=b", L"EMF.Count=1"}),
              keys);
    EXPECT_EQ(submitted.out, FindEntry(Journal(), L"preprocess.exe", L"job")->detail);

    // Mistakes are refused before anything is written or stored.
    for (const wchar_t* wrong : {L"--set Tray=1", L"--set .Key=1", L"--set Vendor.=1",
                                 L"--set [V].Key=1", L"--job x.ini --title T"}) {
        const auto refused = lmvntest::Submit(wrong);
        EXPECT_EQ(1u, refused.exitCode.value_or(99)) << wrong;
    }
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, lmvntest::UserName().c_str()));
}

}  // namespace

namespace lmvn {
namespace {

// The operations themselves with real processes: the stage double installed in
// a folder that this process's own path is made to point at. Here rather than
// among the unit tests because the progress window's class is the one the
// agent's tests use, and these tests run one at a time.
std::wstring g_modulePath;

DWORD WINAPI FakeModuleFileName(HMODULE, LPWSTR buffer, DWORD size) {
    const DWORD length = static_cast<DWORD>(g_modulePath.size());
    if (length >= size) return 0;
    g_modulePath.copy(buffer, length);
    buffer[length] = L'\0';
    return length;
}

class StageDoubleTest : public ::testing::Test {
  protected:
    StageDoubleTest() : module_(&Win32Api::GetModuleFileNameW, &FakeModuleFileName) {}
    void SetUp() override {
        g_modulePath = dir_ / L"lmvnagent.exe";
        ASSERT_TRUE(lmvntest::InstallStageDoubles(dir_.path()));
        ASSERT_TRUE(lmvntest::WriteFileBytes(job_, "[Document]\r\nJobID=1\r\n"));
        LogEnabled = 0;
    }
    lmvntest::TempDir dir_{L"lmvn double"};
    std::wstring job_ = dir_ / L"the job.ini";
    ScopedApiOverride<decltype(&::GetModuleFileNameW)> module_;
};

TEST_F(StageDoubleTest, WaitsForTheStagesAsTheyRun) {
    lmvntest::StageBehaviour preprocessor;
    preprocessor.delayMs = 300;
    preprocessor.result = L"cancel";
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir_.path(), L"preprocess.exe", preprocessor));
    ASSERT_TRUE(RunPreprocessor(job_.c_str()));
    // Returned only once the preprocessor had ended, which got the job path
    // (with its blank) whole.
    auto journal = lmvntest::ReadStageJournal(dir_.path());
    auto job = lmvntest::FindEntry(journal, L"preprocess.exe", L"job");
    ASSERT_TRUE(job);
    EXPECT_EQ(job_, job->detail);
    EXPECT_TRUE(lmvntest::FindEntry(journal, L"preprocess.exe", L"end"));
    EXPECT_FALSE(CheckPreprocessingResult(job_.c_str()));

    lmvntest::StageBehaviour progress;
    progress.window = true;
    progress.windowDelayMs = 300;
    progress.windowLimitMs = 20000;
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir_.path(), L"progress.exe", progress));
    UniqueHandle indicator = StartProgressIndicator(job_.c_str());
    ASSERT_TRUE(indicator);
    // Input idle means its window is up.
    EXPECT_NE(nullptr, FindWindowW(L"Lumvane progress indicator", nullptr));

    lmvntest::StageBehaviour converter;
    converter.crashCode = 0xC0000005;  // a converter that crashes still ran
    ASSERT_TRUE(lmvntest::SetStageBehaviour(dir_.path(), L"lmvndisp.exe", converter));
    EXPECT_TRUE(RunConverter(job_.c_str()));

    const HANDLE process = indicator.get();
    HANDLE watch = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &watch,
                                SYNCHRONIZE, FALSE, 0));
    CloseProgressIndicator(std::move(indicator));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watch, 10000));
    CloseHandle(watch);

    journal = lmvntest::ReadStageJournal(dir_.path());
    const int closed = lmvntest::IndexOf(journal, L"progress.exe", L"close");
    ASSERT_GE(closed, 0);
    EXPECT_LT(lmvntest::IndexOf(journal, L"progress.exe", L"window"),
              lmvntest::IndexOf(journal, L"lmvndisp.exe", L"start"));
    EXPECT_LT(lmvntest::IndexOf(journal, L"lmvndisp.exe", L"crash"), closed);
    EXPECT_TRUE(lmvntest::FileExists(job_));
}

}  // namespace
}  // namespace lmvn
