// Bad input for the real agent, one row per test: registry values of the
// wrong type, one byte too long, filling their room without a terminator or
// empty; awkward hand-over paths; broken job description files. Each row
// ends in a delivery or a clear report, deletes only what it should, and
// leaves an agent that still answers the kill event.
#include "diag/report.h"
#include "support/harness.h"
#include "support/processes.h"
#include "support/producer.h"
#include "support/robot.h"
#include "support/stagedouble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace lmvntest {
namespace {

constexpr DWORD kJobTimeoutMs = 30000;

std::wstring Shown(const lmvn::ReportKind& kind) {
    std::wstring text = kind.text;
    for (size_t at; (at = text.find(L"%PRINTER_NAME%")) != std::wstring::npos;) {
        text.replace(at, 14, L"Lumvane");
    }
    return text;
}

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override {
        client_ = JoinPath(BuildDir(), L"lmvnclient.exe");
        ASSERT_TRUE(FileExists(client_));
        ASSERT_TRUE(InstallStageDoubles(dir()));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir()));
        // Command-line mode with a client that journals the job and leaves.
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application",
                                             L"\"" + client_ + L"\" --journal \"" + Journal() +
                                                 L"\" --quit-after 1 --lifetime 30000"));
    }
    void TearDown() override {
        // Whatever the row did, the main loop still serves the kill event.
        if (agent_.Running()) {
            EXPECT_EQ(0u, agent_.Stop(10000).value_or(99));
        }
        TerminateProcessesIn(BuildDir());  // clients still waiting for a job
    }

    bool StartAgent() {
        return agent_.Start(dir()) &&
               WaitUntil([&] { return LogHas(L"Waiting for events."); }, 20000);
    }
    const std::wstring& dir() const { return dir_.path(); }
    std::wstring path(const std::wstring& name) const { return JoinPath(dir(), name); }
    std::wstring Journal() const { return path(L"client journal.txt"); }
    std::string JournalText() const { return ReadFileBytes(Journal()); }
    std::vector<std::wstring> Log() const { return LogTexts(path(L"vp_log.txt")); }
    bool LogHas(const std::wstring& text) const {
        const auto log = Log();
        return std::find(log.begin(), log.end(), text) != log.end();
    }
    bool WaitForLog(const std::wstring& text) const {
        return WaitUntil([&] { return LogHas(text); }, kJobTimeoutMs);
    }
    // The text of the first box the robot dismissed.
    std::wstring WaitForBox() {
        if (!robot_.WaitForBoxes(1, kJobTimeoutMs)) return L"<no box>";
        return robot_.Boxes()[0].text;
    }
    bool WaitForJournal(const std::string& part) const {
        return WaitUntil([&] { return Occurrences(JournalText(), part) > 0; }, kJobTimeoutMs);
    }
    // A job with two real EMF files; returns the job description file path.
    std::wstring WriteJob(const std::wstring& name, int jobId) {
        const std::wstring job = path(name);
        EXPECT_TRUE(WriteJobFile(job, jobId, {path(L"page0.emf"), path(L"page1.emf")}));
        EXPECT_TRUE(WriteFileBytes(path(L"page0.emf"), "EMF"));
        EXPECT_TRUE(WriteFileBytes(path(L"page1.emf"), "EMF"));
        return job;
    }
    void SubmitPath(const std::wstring& job) {
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, UserName().c_str(), job));
        ASSERT_TRUE(SignalJob(false));
    }
    void SubmitRaw(DWORD type, const void* data, DWORD size) {
        ASSERT_TRUE(
            AgentRegistry::SetRaw(HKEY_LOCAL_MACHINE, UserName().c_str(), type, data, size));
        ASSERT_TRUE(SignalJob(false));
    }
    // Clipboard mode whose target never appears: after the report the agent
    // deletes the job's files as the job description file lists them.
    void ConfigureClipboardWithoutTarget() {
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Transfer Mode", 2));
        ASSERT_TRUE(
            AgentRegistry::SetString(HKEY_CURRENT_USER, L"Target Window Class", L"LmvnBadNowhere"));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application",
                                             L"\"" + path(L"no such client.exe") + L"\""));
    }
    // Text of `units` characters with no terminator in the data.
    static std::wstring Letters(size_t units) { return std::wstring(units, L'a'); }

    AgentRegistry registry_;
    DesktopRobot robot_;
    TempDir dir_{L"badinput"};
    AgentProcess agent_;
    std::wstring client_;
};

// ---- Registry values -----------------------------------------------------------

TEST_F(BadInput, AgentValueOfTheWrongTypeIsReadRawAndItsLogFailureReported) {
    // "LogDestDir" as REG_DWORD 0x41: the text "A", a folder that is not there.
    const DWORD letterA = 0x41;
    ASSERT_TRUE(AgentRegistry::SetRaw(HKEY_LOCAL_MACHINE, L"LogDestDir", REG_DWORD, &letterA, 4));
    ASSERT_TRUE(agent_.Start(dir()));
    EXPECT_EQ(L"Failed to open the log file:\nA\\vp_log.txt", WaitForBox());
    EXPECT_EQ(0u, agent_.WaitForExit(kJobTimeoutMs).value_or(99));
}

TEST_F(BadInput, AgentValueOneByteTooLongCountsAsAbsent) {
    // "Log" of five bytes: logging stays off, and jobs are still served.
    const BYTE five[5] = {1, 0, 0, 0, 0};
    ASSERT_TRUE(AgentRegistry::SetRaw(HKEY_LOCAL_MACHINE, L"Log", REG_BINARY, five, 5));
    ASSERT_TRUE(agent_.Start(dir()));
    // No log to watch: the print event tells that the agent is waiting.
    ASSERT_TRUE(WaitUntil(
        [] {
            HANDLE print = OpenEventW(SYNCHRONIZE, FALSE, PrintEventName().c_str());
            if (print != nullptr) CloseHandle(print);
            return print != nullptr;
        },
        20000));
    SubmitPath(WriteJob(L"job.ini", 901));
    EXPECT_TRUE(WaitForJournal("jobid=901\r\n"));
    EXPECT_FALSE(FileExists(path(L"vp_log.txt")));
}

TEST_F(BadInput, TransferModeStoredAsTextReadsAsItsBytes) {
    // REG_SZ "2" is the bytes 32 00 00 00: 50, which means command-line mode.
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Transfer Mode", L"2"));
    ASSERT_TRUE(StartAgent());
    SubmitPath(WriteJob(L"job.ini", 902));
    EXPECT_TRUE(WaitForJournal("job via=commandline"));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(BadInput, TransferModeOneByteTooLongGivesWayToTheMachineValue) {
    const BYTE five[5] = {2, 0, 0, 0, 0};
    ASSERT_TRUE(
        AgentRegistry::SetRaw(HKEY_CURRENT_USER, L"Transfer Mode", REG_BINARY, five, sizeof(five)));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Transfer Mode", 0));
    ASSERT_TRUE(StartAgent());
    SubmitPath(WriteJob(L"job.ini", 903));
    EXPECT_TRUE(WaitForJournal("job via=commandline"));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(BadInput, ClientApplicationFillingItsRoomWithoutTerminatorIsMissing) {
    const std::wstring full = Letters(260);  // 520 bytes, no terminator
    ASSERT_TRUE(
        AgentRegistry::SetRaw(HKEY_CURRENT_USER, L"Client Application", REG_SZ, full.data(), 520));
    ASSERT_TRUE(StartAgent());
    const std::wstring job = WriteJob(L"job.ini", 904);
    SubmitPath(job);
    EXPECT_EQ(Shown(lmvn::reports::kClientMissing), WaitForBox());
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(job); }, 5000));
    EXPECT_TRUE(FileExists(path(L"page0.emf")));
}

TEST_F(BadInput, ClientApplicationOneByteTooLongIsMissing) {
    const std::wstring full = Letters(261);
    ASSERT_TRUE(
        AgentRegistry::SetRaw(HKEY_CURRENT_USER, L"Client Application", REG_SZ, full.data(), 521));
    ASSERT_TRUE(StartAgent());
    SubmitPath(WriteJob(L"job.ini", 905));
    EXPECT_EQ(Shown(lmvn::reports::kClientMissing), WaitForBox());
}

TEST_F(BadInput, EmptyClientApplicationIsMissing) {
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application", L""));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"Client Application",
                                         L"\"" + client_ + L"\""));  // the empty one wins
    ASSERT_TRUE(StartAgent());
    const std::wstring job = WriteJob(L"job.ini", 906);
    SubmitPath(job);
    EXPECT_EQ(Shown(lmvn::reports::kClientMissing), WaitForBox());
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(job); }, 5000));
    EXPECT_TRUE(lmvntest::ReadStageJournal(dir()).empty());  // no stage ran
}

TEST_F(BadInput, ClientApplicationOf259CharactersWithABlankCannotBeQuoted) {
    const std::wstring program = L"C:\\a b\\" + Letters(252);
    ASSERT_EQ(259u, program.size());
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application", program));
    ASSERT_TRUE(StartAgent());
    const std::wstring job = WriteJob(L"job.ini", 907);
    SubmitPath(job);
    EXPECT_EQ(Shown(lmvn::reports::kDispatcherFailed), WaitForBox());
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(job); }, 5000));
    EXPECT_TRUE(FileExists(path(L"page0.emf")));
    EXPECT_TRUE(FileExists(path(L"page1.emf")));
}

TEST_F(BadInput, TargetClassOfTheWrongTypeFindsNoWindowAndKeepsTheFiles) {
    // REG_DWORD 0x41 as "Target Window Class": the class "A", which no window has.
    const DWORD letterA = 0x41;
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Transfer Mode", 1));
    ASSERT_TRUE(
        AgentRegistry::SetRaw(HKEY_CURRENT_USER, L"Target Window Class", REG_DWORD, &letterA, 4));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application",
                                         L"\"" + path(L"no such client.exe") + L"\""));
    ASSERT_TRUE(StartAgent());
    const std::wstring job = WriteJob(L"job.ini", 908);
    SubmitPath(job);
    EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), WaitForBox());
    EXPECT_TRUE(FileExists(job));
    EXPECT_TRUE(FileExists(path(L"page0.emf")));
}

TEST_F(BadInput, EmptyClipboardFormatFailsToPlaceTheDataAndDeletesTheJob) {
    // The client is running, but a format without a name cannot be registered.
    std::wstring line = L"\"" + client_ + L"\" --class LmvnBadFormat --lifetime 60000";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(StartTestProcess(line.data(), FALSE, 0, nullptr, &startup, &info));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    ASSERT_TRUE(WaitUntil([] { return FindWindowW(L"LmvnBadFormat", nullptr) != nullptr; }, 15000));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Transfer Mode", 2));
    ASSERT_TRUE(
        AgentRegistry::SetString(HKEY_CURRENT_USER, L"Target Window Class", L"LmvnBadFormat"));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Clipboard Format", L""));
    ASSERT_TRUE(StartAgent());
    const std::wstring job = WriteJob(L"job.ini", 909);
    SubmitPath(job);
    EXPECT_EQ(Shown(lmvn::reports::kSetClipboardFailed), WaitForBox());
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(job); }, 5000));
    EXPECT_FALSE(FileExists(path(L"page0.emf")));
    EXPECT_FALSE(FileExists(path(L"page1.emf")));
}

// ---- Hand-over values -----------------------------------------------------------

// A value that holds no path is claimed like a job and reported with the
// read's error: left in place, it would keep its producer, which waits for it
// to go, from storing any further job.
TEST_F(BadInput, HandOverFillingItsRoomWithoutTerminatorIsClaimedAndReported) {
    ASSERT_TRUE(StartAgent());
    const std::wstring full = Letters(260);
    SubmitRaw(REG_SZ, full.data(), 520);
    EXPECT_EQ(L"Failed to get print job info.\nError # 234: ", WaitForBox().substr(0, 43));
    EXPECT_TRUE(WaitUntil(
        [&] { return !AgentRegistry::Exists(HKEY_LOCAL_MACHINE, UserName().c_str()); }, 5000));
}

TEST_F(BadInput, HandOverOneCharacterTooLongIsClaimedAndReported) {
    ASSERT_TRUE(StartAgent());
    const std::wstring tooLong = Letters(260);
    SubmitRaw(REG_SZ, tooLong.c_str(), 522);
    EXPECT_EQ(L"Failed to get print job info.\nError # 234: ", WaitForBox().substr(0, 43));
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, UserName().c_str()));
}

TEST_F(BadInput, EmptyHandOverIsTakenOverAndOneNotTextIsReported) {
    ASSERT_TRUE(StartAgent());
    // Empty text is claimed and gives a path that names no job description
    // file: delivered as it stands.
    SubmitPath(L"");
    ASSERT_TRUE(WaitForLog(L"Run client application."));
    ASSERT_TRUE(WaitUntil(
        [&] { return !AgentRegistry::Exists(HKEY_LOCAL_MACHINE, UserName().c_str()); }, 5000));
    // A REG_DWORD is no path at all: claimed and reported (13: invalid data).
    const DWORD number = 0x41;
    SubmitRaw(REG_DWORD, &number, 4);
    EXPECT_EQ(L"Failed to get print job info.\nError # 13: ", WaitForBox().substr(0, 42));
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, UserName().c_str()));
    const auto log = Log();
    EXPECT_EQ(
        1, std::count(log.begin(), log.end(), L"Print job info successfully retrieved. JobID=0"));
}

TEST_F(BadInput, PathOf259CharactersReachesTheClientWhole) {
    const std::wstring folder = path(L"long");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring job = JoinPath(folder, Letters(259 - folder.size() - 5) + L".ini");
    ASSERT_EQ(259u, job.size());
    ASSERT_TRUE(WriteJobFile(job, 910, {}));
    ASSERT_TRUE(StartAgent());
    SubmitPath(job);
    EXPECT_TRUE(WaitForJournal("path=" + Utf8(job) + "\r\nreadable=yes\r\njobid=910\r\n"));
    // The progress indicator's command line has room for 260 units only: it
    // is skipped, and the converter still runs.
    EXPECT_TRUE(WaitForLog(L"Converter finished."));
    EXPECT_FALSE(LogHas(L"Progress indicator started."));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(BadInput, PathWithBlanksAndLettersOutsideTheCodePageReachesACommandLineClientWhole) {
    const std::wstring folder = path(L"two  blanks \u0416\u4e2d");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring job = JoinPath(folder, L"job file.ini");
    ASSERT_TRUE(WriteJobFile(job, 911, {}));
    ASSERT_TRUE(StartAgent());
    SubmitPath(job);
    EXPECT_TRUE(WaitForJournal("path=" + Utf8(job) + "\r\nreadable=yes\r\njobid=911\r\n"));
    EXPECT_TRUE(robot_.Boxes().empty());
}

// ---- Job description files -------------------------------------------------------

TEST_F(BadInput, MissingEmptyOrBinaryJobFileEndsInTheReportAndIsDeletedIfThere) {
    ConfigureClipboardWithoutTarget();
    ASSERT_TRUE(StartAgent());
    const std::wstring empty = path(L"empty.ini");
    const std::wstring binary = path(L"binary.ini");
    ASSERT_TRUE(WriteFileBytes(empty, ""));
    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919) % 251);
    ASSERT_TRUE(WriteFileBytes(binary, noise));

    const std::wstring jobs[] = {path(L"missing.ini"), empty, binary};
    for (size_t i = 0; i < 3; ++i) {
        SubmitPath(jobs[i]);
        ASSERT_TRUE(robot_.WaitForBoxes(i + 1, kJobTimeoutMs)) << i;
        EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), robot_.Boxes()[i].text);
    }
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(empty) && !FileExists(binary); }, 5000));
    const auto log = Log();
    EXPECT_EQ(
        3, std::count(log.begin(), log.end(), L"Print job info successfully retrieved. JobID=0"));
}

TEST_F(BadInput, EmfCountOfZeroOrBelowDeletesNoPage) {
    ConfigureClipboardWithoutTarget();
    ASSERT_TRUE(StartAgent());
    for (const wchar_t* count : {L"0", L"-1"}) {
        const std::wstring job = WriteJob(L"job.ini", 912);
        WritePrivateProfileStringW(L"EMF", L"Count", count, job.c_str());
        SubmitPath(job);
        ASSERT_TRUE(WaitUntil([&] { return !FileExists(job); }, kJobTimeoutMs)) << count;
        EXPECT_TRUE(FileExists(path(L"page0.emf"))) << count;
        EXPECT_TRUE(FileExists(path(L"page1.emf"))) << count;
    }
    // The robot records a box once it has gone, which may be just after the
    // agent has deleted the job file.
    EXPECT_TRUE(robot_.WaitForBoxes(2, kJobTimeoutMs));
    EXPECT_EQ(2u, robot_.Boxes().size());
}

TEST_F(BadInput, HugeEmfCountDeletesTheListedPagesInBoundedTime) {
    ConfigureClipboardWithoutTarget();
    ASSERT_TRUE(StartAgent());
    const std::wstring job = WriteJob(L"job.ini", 913);
    WritePrivateProfileStringW(L"EMF", L"Count", L"2147483647", job.c_str());
    SubmitPath(job);
    EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), WaitForBox());
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(job); }, 60000));
    EXPECT_FALSE(FileExists(path(L"page0.emf")));
    EXPECT_FALSE(FileExists(path(L"page1.emf")));
}

TEST_F(BadInput, EmfEntriesNamingFoldersMissingOrBusyFilesDoNotStopTheDeletion) {
    ConfigureClipboardWithoutTarget();
    ASSERT_TRUE(StartAgent());
    const std::wstring folder = path(L"a folder");
    const std::wstring busy = path(L"busy.emf");
    const std::wstring last = path(L"last.emf");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(busy, "EMF"));
    ASSERT_TRUE(WriteFileBytes(last, "EMF"));
    const std::wstring job = path(L"job.ini");
    ASSERT_TRUE(WriteJobFile(job, 914, {folder, path(L"gone.emf"), busy, last}));
    // Open without delete sharing: the agent cannot delete it while we hold it.
    HANDLE held = CreateFileW(busy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    SubmitPath(job);
    EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), WaitForBox());
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(job); }, 5000));
    CloseHandle(held);
    EXPECT_FALSE(FileExists(last));
    EXPECT_TRUE(FileExists(busy));
    EXPECT_TRUE(FileExists(folder));
}

TEST_F(BadInput, EmfEntryLongerThanAPathIsNotCutToAnotherFilesName) {
    ConfigureClipboardWithoutTarget();
    ASSERT_TRUE(StartAgent());
    // The entry names a file whose path is 263 characters long; its first 259
    // characters name another file, which the job never listed.
    const std::wstring folder = path(L"cut");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring other = JoinPath(folder, Letters(259 - folder.size() - 1));
    ASSERT_EQ(259u, other.size());
    ASSERT_TRUE(WriteFileBytes(other, "not this job's"));
    const std::wstring job = path(L"job.ini");
    ASSERT_TRUE(WriteJobFile(job, 915, {other + L".emf", path(L"page1.emf")}));
    ASSERT_TRUE(WriteFileBytes(path(L"page1.emf"), "EMF"));
    SubmitPath(job);
    EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), WaitForBox());
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(job); }, 5000));
    EXPECT_FALSE(FileExists(path(L"page1.emf")));
    EXPECT_TRUE(FileExists(other));
}

}  // namespace
}  // namespace lmvntest
