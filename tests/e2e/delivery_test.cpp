// The real agent delivers jobs, submitted with lmvnsubmit as the printer side
// does, to the sample client lmvnclient in all three transfer modes, and takes
// the failure roads of delivery. Stage programs are the stage doubles.
#include "diag/report.h"
#include "support/desktop.h"
#include "support/harness.h"
#include "support/producer.h"
#include "support/robot.h"
#include "support/stagedouble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using lmvntest::AgentRegistry;
using lmvntest::FileExists;
using lmvntest::JoinPath;
using lmvntest::Occurrences;
using lmvntest::Utf8;
using lmvntest::WaitUntil;

constexpr DWORD kJobTimeoutMs = 30000;
// Copy-data mode polls for up to 10 s after the client became idle.
constexpr DWORD kPollingJobTimeoutMs = 45000;

std::wstring ClipboardText() {
    std::wstring text;
    if (!OpenClipboard(nullptr)) return L"<busy>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = chars;
            GlobalUnlock(data);
        }
    } else {
        text = L"<none>";
    }
    CloseClipboard();
    return text;
}

bool PutClipboardText(HWND owner, const std::wstring& text) {
    if (!OpenClipboard(owner)) return false;
    EmptyClipboard();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    std::memcpy(GlobalLock(block), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    GlobalUnlock(block);
    const bool set = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
    if (!set) GlobalFree(block);
    return set;  // still open: the caller closes it
}

class DeliveryRoads : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::make_unique<lmvntest::TempDir>(L"lmvndeliver");
        client_ = JoinPath(lmvntest::BuildDir(), L"lmvnclient.exe");
        ASSERT_TRUE(FileExists(client_));
        ASSERT_TRUE(lmvntest::InstallStageDoubles(dir()));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir()));
        ASSERT_TRUE(agent_.Start(dir()));
        ASSERT_TRUE(WaitUntil([&] { return HasLog(L"Waiting for events."); }, 20000));
    }
    void TearDown() override {
        if (agent_.Running()) {
            EXPECT_EQ(0u, agent_.Stop().value_or(99));  // the agent's exit code
        }
        for (HANDLE process : started_) {
            TerminateProcess(process, 0);
            CloseHandle(process);
        }
        // Clients the agent started: each lives for a bounded time anyway.
        for (const std::wstring& cls : classes_) lmvntest::EndWindowOwners(cls.c_str());
    }

    const std::wstring& dir() const { return dir_->path(); }
    std::wstring path(const std::wstring& name) const { return JoinPath(dir(), name); }
    std::wstring journal() const { return path(L"client journal.txt"); }
    std::string Journal() const { return lmvntest::ReadFileBytes(journal()); }

    // The client's command line: its window, its journal, a bounded life.
    std::wstring ClientCommand(const std::wstring& cls, const std::wstring& title,
                               const std::wstring& extra = L"") {
        classes_.push_back(cls);
        std::wstring line = L"\"" + client_ + L"\" --class " + cls;
        if (!title.empty()) line += L" --title \"" + title + L"\"";
        return line + L" --journal \"" + journal() + L"\" --lifetime 60000" +
               (extra.empty() ? L"" : L" " + extra);
    }
    // Starts a client ourselves and waits for its window.
    HWND StartClient(const std::wstring& cls, const std::wstring& title,
                     const std::wstring& extra = L"") {
        std::wstring line = ClientCommand(cls, title, extra);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!lmvntest::StartTestProcess(line.data(), FALSE, 0, nullptr, &startup, &info)) {
            return nullptr;
        }
        CloseHandle(info.hThread);
        started_.push_back(info.hProcess);
        HWND window = nullptr;
        WaitUntil([&] { return (window = FindWindowW(cls.c_str(), nullptr)) != nullptr; }, 15000);
        return window;
    }

    void Configure(DWORD mode, const std::wstring& cls, const std::wstring& title,
                   const std::wstring& clientApplication) {
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Transfer Mode", mode));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Target Window Class", cls));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Target Window Title", title));
        ASSERT_TRUE(
            AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application", clientApplication));
        ASSERT_TRUE(
            AgentRegistry::SetString(HKEY_CURRENT_USER, L"Clipboard Format", L"Lumvane Job"));
    }

    // The printer side: lmvnsubmit draws `pages` EMF pages into `folder` and
    // hands the job over. The job path comes back through the client's
    // journal; here we only check the submitter succeeded.
    void SubmitDrawn(int jobId, int pages, const std::wstring& folder) {
        const std::wstring line = L"\"" + JoinPath(lmvntest::BuildDir(), L"lmvnsubmit.exe") +
                                  L"\" --pages " + std::to_wstring(pages) + L" --job-id " +
                                  std::to_wstring(jobId) + L" --dir \"" + folder + L"\"";
        EXPECT_EQ(0u, lmvntest::RunProgram(line, 30000).value_or(99));
    }
    void SubmitFile(const std::wstring& job) {
        const std::wstring line = L"\"" + JoinPath(lmvntest::BuildDir(), L"lmvnsubmit.exe") +
                                  L"\" --job \"" + job + L"\"";
        EXPECT_EQ(0u, lmvntest::RunProgram(line, 30000).value_or(99));
    }

    // A job description file (UTF-16, as the printer side writes it) listing
    // page0.emf, an empty entry and page2.emf; page3.emf lies beyond Count.
    struct Job {
        std::wstring file, page0, page2, page3;
    };
    Job WriteJob(int jobId) {
        Job job{path(L"job.ini"), path(L"page0.emf"), path(L"page2.emf"), path(L"page3.emf")};
        lmvntest::WriteFileBytes(job.file, std::string("\xFF\xFE", 2));
        auto put = [&](const wchar_t* section, const wchar_t* key, const std::wstring& value) {
            WritePrivateProfileStringW(section, key, value.c_str(), job.file.c_str());
        };
        put(L"Document", L"JobID", std::to_wstring(jobId));
        put(L"EMF", L"Count", L"3");
        put(L"EMF", L"File0", job.page0);
        put(L"EMF", L"File1", L"");
        put(L"EMF", L"File2", job.page2);
        put(L"EMF", L"File3", job.page3);
        for (const auto& page : {job.page0, job.page2, job.page3}) {
            lmvntest::WriteFileBytes(page, "EMF");
        }
        return job;
    }

    std::vector<lmvntest::LogLine> Log() const {
        return lmvntest::ParseLog(lmvntest::ReadFileBytes(path(L"vp_log.txt")));
    }
    bool HasLog(const std::wstring& text) const {
        const auto lines = Log();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const auto& l) { return l.text == text; });
    }
    // The log lines of the processing threads, in order (jobs run one after
    // another in these tests).
    std::vector<std::wstring> Road() const {
        std::vector<std::wstring> road;
        bool inJob = false;
        for (const auto& line : Log()) {
            if (line.text == L"Processing thread started.") inJob = true;
            if (inJob && line.text.find(L"print job received.") == std::wstring::npos) {
                road.push_back(line.text);  // main-loop lines left out
            }
        }
        return road;
    }
    static std::vector<std::wstring> StagesThen(int jobId, std::vector<std::wstring> tail) {
        std::vector<std::wstring> road = {
            L"Processing thread started.",
            L"Print job info successfully retrieved. JobID=" + std::to_wstring(jobId),
            L"Preprocessing finished.",
            L"Progress indicator started.",
            L"Starting converter.",
            L"Converter finished.",
            L"Progress indicator process terminated.",
        };
        road.insert(road.end(), tail.begin(), tail.end());
        return road;
    }
    // The line before the report of a job that was not delivered.
    static std::wstring Failed(int jobId, const std::wstring& job, const std::wstring& cause) {
        return L"Delivery failed. JobID=" + std::to_wstring(jobId) + L", path \"" + job +
               L"\". Cause: " + cause + L".";
    }
    bool WaitForJournal(const std::string& part, int count, DWORD timeoutMs = kJobTimeoutMs) {
        return WaitUntil([&] { return Occurrences(Journal(), part) >= count; }, timeoutMs);
    }
    // The first box the robot dismissed, once there is one.
    std::wstring WaitForBox(DWORD timeoutMs = kJobTimeoutMs) {
        if (!robot_.WaitForBoxes(1, timeoutMs)) return L"<no box>";
        return robot_.Boxes()[0].text;
    }
    static std::wstring Shown(const lmvn::ReportKind& kind) {
        std::wstring text = kind.text;
        for (size_t at; (at = text.find(L"%PRINTER_NAME%")) != std::wstring::npos;) {
            text.replace(at, 14, L"Lumvane");
        }
        return text;
    }

    AgentRegistry registry_;
    lmvntest::DesktopRobot robot_;
    std::unique_ptr<lmvntest::TempDir> dir_;
    lmvntest::AgentProcess agent_;
    std::wstring client_;
    std::vector<HANDLE> started_;
    std::vector<std::wstring> classes_;
};

// ---- Delivered ------------------------------------------------------------------

TEST_F(DeliveryRoads, CommandLineStartsTheClientWithThePath) {
    // "Transfer Mode" 0: the client is started with the job path appended.
    Configure(0, L"", L"", ClientCommand(L"LmvnE2ECommandLine", L""));
    SubmitDrawn(701, 2, dir());
    ASSERT_TRUE(WaitForJournal("end", 1));
    const std::string journal = Journal();
    EXPECT_EQ(1, Occurrences(journal, "job via=commandline"));
    EXPECT_EQ(1, Occurrences(journal, "jobid=701\r\npages=2\r\n"));
    EXPECT_EQ(1, Occurrences(journal, "readable=yes"));
    const std::string dirA = Utf8(dir());
    EXPECT_EQ(1, Occurrences(journal, "emf0=" + dirA + "\\lmvnjob701-"));
    EXPECT_EQ(1, Occurrences(journal, "emf1=" + dirA + "\\lmvnjob701-"));
    EXPECT_EQ(1, Occurrences(journal, "path=" + dirA + "\\lmvnjob701-"));
    EXPECT_EQ(StagesThen(701, {L"Run client application."}), Road());
    // Delivered: the job's files stay for the client.
    const size_t at = journal.find("path=") + 5;
    const std::string jobA = journal.substr(at, journal.find("\r\n", at) - at);
    EXPECT_TRUE(FileExists(std::wstring(jobA.begin(), jobA.end())));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(DeliveryRoads, CopyDataGoesToTheRunningClientFoundByClassAlone) {
    const HWND window = StartClient(L"LmvnE2ECopyData", L"Copy data client");
    ASSERT_NE(nullptr, window);
    // The client application would be a second instance: it must not start.
    Configure(1, L"LmvnE2ECopyData", L"", ClientCommand(L"LmvnE2ECopyData", L""));
    // Bring another window forward, so that the activation has work to do.
    HWND mine = CreateWindowExW(0, L"STATIC", L"test", WS_POPUP | WS_VISIBLE, 0, 0, 5, 5, nullptr,
                                nullptr, nullptr, nullptr);
    SetForegroundWindow(mine);

    SubmitDrawn(702, 3, dir());
    ASSERT_TRUE(WaitForJournal("end", 1));
    const std::string journal = Journal();
    EXPECT_EQ(1, Occurrences(journal, "start pid="));
    EXPECT_EQ(1, Occurrences(journal, "job via=copydata dwData=0 cbData=260"));
    EXPECT_EQ(1, Occurrences(journal, "readable=yes\r\njobid=702\r\npages=3\r\n"));
    EXPECT_EQ(StagesThen(702, {L"Sending WM_COPYDATA."}), Road());
    // Activated once WM_COPYDATA has been answered.
    // Our window on this thread gets the broadcast of the timeout change, so
    // keep handling messages while waiting.
    EXPECT_TRUE(WaitUntil(
        [&] {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            return GetForegroundWindow() == window;
        },
        20000));
    DestroyWindow(mine);
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(DeliveryRoads, ClipboardStartsTheClientFoundByTitleAlone) {
    const std::wstring title = L"Lumvane clipboard client";
    Configure(
        2, L"", title,
        ClientCommand(L"LmvnE2EClipboard", title, L"--format \"Lumvane Job\" --message 32768"));
    SubmitDrawn(703, 1, dir());
    ASSERT_TRUE(WaitForJournal("end", 1));
    const std::string journal = Journal();
    EXPECT_EQ(1, Occurrences(journal, "start pid="));  // started by the agent
    EXPECT_EQ(1, Occurrences(journal, "job via=clipboard message=32768 bytes=260"));
    EXPECT_EQ(1, Occurrences(journal, "readable=yes\r\njobid=703\r\npages=1\r\n"));
    EXPECT_EQ(StagesThen(703, {}), Road());
    EXPECT_EQ(FindWindowW(nullptr, title.c_str()), GetForegroundWindow());
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(DeliveryRoads, CopyDataStartsAClientWhoseWindowComesLateAndPassesNegativeIds) {
    // The client is idle for input a second and a half before its window
    // exists: the agent keeps looking.
    Configure(1, L"LmvnE2ELate", L"", ClientCommand(L"LmvnE2ELate", L"", L"--window-delay 1500"));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Message ID", 0xFFFFFFFF));
    SubmitDrawn(704, 1, dir());
    ASSERT_TRUE(WaitForJournal("end", 1, kPollingJobTimeoutMs));
    const std::string journal = Journal();
    EXPECT_EQ(1, Occurrences(journal, "start pid="));
    EXPECT_EQ(1, Occurrences(journal, "job via=copydata dwData=-1 cbData=260"));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(DeliveryRoads, ClipboardMessageIdsOutsideTheRangeBecome0x8000) {
    ASSERT_NE(nullptr, StartClient(L"LmvnE2EMsgLow", L"", L"--message 0x8000"));
    ASSERT_NE(nullptr, StartClient(L"LmvnE2EMsgHigh", L"", L"--message 0xBFFF"));
    struct Case {
        DWORD messageId;
        const wchar_t* cls;
        const char* expected;
    };
    const Case cases[] = {{0x7FFF, L"LmvnE2EMsgLow", "message=32768"},
                          {0xBFFF, L"LmvnE2EMsgHigh", "message=49151"},
                          {0xC000, L"LmvnE2EMsgLow", "message=32768"},
                          {0xFFFFFFFF, L"LmvnE2EMsgLow", "message=32768"}};
    int delivered = 0;
    for (const Case& c : cases) {
        Configure(2, c.cls, L"", L"\"" + path(L"not started.exe") + L"\"");
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Message ID", c.messageId));
        SubmitDrawn(710 + delivered, 1, dir());
        ++delivered;
        ASSERT_TRUE(WaitForJournal("end", delivered)) << c.messageId;
        EXPECT_EQ(1, Occurrences(Journal(), std::string("job via=clipboard ") + c.expected +
                                                " bytes=260\r\npath=" + Utf8(dir()) + "\\lmvnjob" +
                                                std::to_string(709 + delivered)))
            << c.messageId;
    }
    EXPECT_TRUE(robot_.Boxes().empty());
}

// The long form of the file a delivered ANSI path names (the journal holds it
// as the client read it back), or "<no file>".
std::wstring DeliveredFile(const std::string& journal, size_t record) {
    size_t at = 0;
    for (size_t i = 0; i <= record; ++i) {
        at = journal.find("\r\npath=", at);
        if (at == std::string::npos) return L"<no record>";
        at += 7;
    }
    const std::string path = journal.substr(at, journal.find("\r\n", at) - at);
    if (!std::all_of(path.begin(), path.end(), [](char c) { return c > 0 && c != '?'; })) {
        return L"<not plain ASCII: " + std::wstring(path.begin(), path.end()) + L">";
    }
    wchar_t full[MAX_PATH] = {};
    const std::wstring wide(path.begin(), path.end());
    return GetLongPathNameW(wide.c_str(), full, MAX_PATH) != 0 ? full : L"<no file>";
}

TEST_F(DeliveryRoads, ForeignPathsArriveAsShortPathsOfTheSameFileNeverAsLookAlikes) {
    // Code page 1252: Ж and 日本 have no bytes there, and U+FF0F (full-width
    // solidus) would best-fit to "/", where a decoy job waits.
    const std::wstring folder = path(L"caf\u00e9 \u0416\u65e5\u672c");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(path(L"x").c_str(), nullptr));
    ASSERT_TRUE(lmvntest::WriteJobFile(path(L"x\\y.ini"), 799, {}));
    const std::wstring lookAlike = path(L"x\uff0fy.ini");
    ASSERT_TRUE(lmvntest::WriteJobFile(lookAlike, 722, {}));
    ASSERT_NE(nullptr, StartClient(L"LmvnE2EAnsi", L""));

    Configure(1, L"LmvnE2EAnsi", L"", L"\"" + path(L"not started.exe") + L"\"");
    SubmitDrawn(720, 1, folder);
    ASSERT_TRUE(WaitForJournal("end", 1));
    Configure(2, L"LmvnE2EAnsi", L"", L"\"" + path(L"not started.exe") + L"\"");
    SubmitDrawn(721, 1, folder);
    ASSERT_TRUE(WaitForJournal("end", 2));
    SubmitFile(lookAlike);
    ASSERT_TRUE(WaitForJournal("end", 3));

    const std::string journal = Journal();
    EXPECT_EQ(1, Occurrences(journal, "job via=copydata dwData=0 cbData=260\r\npath="));
    EXPECT_EQ(2, Occurrences(journal, "job via=clipboard message=32768 bytes=260\r\npath="));
    EXPECT_EQ(3, Occurrences(journal, "readable=yes"));
    EXPECT_EQ(0, Occurrences(journal, "jobid=799"));
    for (size_t record : {0u, 1u}) {
        const std::wstring file = DeliveredFile(journal, record);
        EXPECT_EQ(0u, file.find(folder + L"\\lmvnjob72")) << Utf8(file);
    }
    wchar_t full[MAX_PATH] = {};
    ASSERT_NE(0u, GetLongPathNameW(lookAlike.c_str(), full, MAX_PATH));
    EXPECT_EQ(std::wstring(full), DeliveredFile(journal, 2));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(DeliveryRoads, AForeignPathWithoutAShortFormIsReportedAsBefore) {
    // The job's file is gone by delivery, so it has no short form either.
    ASSERT_NE(nullptr, StartClient(L"LmvnE2EAnsiGone", L""));
    const std::wstring gone = path(L"\u0416\u0416.ini");
    for (DWORD mode : {1u, 2u}) {
        Configure(mode, L"LmvnE2EAnsiGone", L"", L"\"" + path(L"not started.exe") + L"\"");
        ASSERT_TRUE(lmvntest::HandOver(lmvntest::UserName(), gone, false));
        ASSERT_TRUE(robot_.WaitForBoxes(mode, kJobTimeoutMs)) << mode;
    }
    const auto boxes = robot_.Boxes();
    EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), boxes[0].text);
    EXPECT_EQ(Shown(lmvn::reports::kSetClipboardFailed), boxes[1].text);
    EXPECT_EQ(0, Occurrences(Journal(), "job via="));
}

// ---- Failure roads ------------------------------------------------------------------

TEST_F(DeliveryRoads, ClipboardHeldByAnotherProgramLeavesEverythingAlone) {
    ASSERT_NE(nullptr, StartClient(L"LmvnE2EBusy", L""));
    Configure(2, L"LmvnE2EBusy", L"", L"\"" + path(L"not started.exe") + L"\"");
    const Job job = WriteJob(730);
    HWND holder = CreateWindowExW(0, L"STATIC", L"holder", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_TRUE(PutClipboardText(holder, L"held by the test"));  // and kept open

    SubmitFile(job.file);
    EXPECT_EQ(Shown(lmvn::reports::kOpenClipboardFailed), WaitForBox());
    CloseClipboard();
    DestroyWindow(holder);

    EXPECT_TRUE(FileExists(job.file));
    EXPECT_TRUE(FileExists(job.page0));
    EXPECT_TRUE(FileExists(job.page2));
    EXPECT_EQ(L"held by the test", ClipboardText());
    EXPECT_EQ(0, Occurrences(Journal(), "job via="));
    EXPECT_EQ(StagesThen(730, {Failed(730, job.file, L"another program holds the clipboard open"),
                               lmvn::reports::kOpenClipboardFailed.text}),
              Road());
}

TEST_F(DeliveryRoads, ClipboardWithoutTargetEmptiesItAndDeletesTheJobFiles) {
    // The client starts but ends before it has a window.
    Configure(2, L"LmvnE2ENoSuchWindow", L"",
              ClientCommand(L"LmvnE2ENoSuchWindow", L"", L"--no-window"));
    const Job job = WriteJob(731);
    ASSERT_TRUE(PutClipboardText(nullptr, L"before the job"));
    CloseClipboard();

    SubmitFile(job.file);
    EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), WaitForBox());
    ASSERT_TRUE(WaitUntil([&] { return !FileExists(job.file); }, 10000));
    EXPECT_FALSE(FileExists(job.page0));
    EXPECT_FALSE(FileExists(job.page2));
    EXPECT_TRUE(FileExists(job.page3));  // listed beyond Count
    EXPECT_EQ(L"<none>", ClipboardText());
    EXPECT_EQ(1, Occurrences(Journal(), "start pid="));
    EXPECT_EQ(StagesThen(731, {Failed(731, job.file,
                                      L"the client was started but ended (exit code 2) before its "
                                      L"window was found"),
                               lmvn::reports::kTargetInaccessible.text}),
              Road());
}

TEST_F(DeliveryRoads, CopyDataWithoutTargetKeepsTheFiles) {
    Configure(1, L"LmvnE2ENoWindowCopy", L"",
              ClientCommand(L"LmvnE2ENoWindowCopy", L"", L"--no-window"));
    const Job job = WriteJob(732);
    SubmitFile(job.file);
    EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), WaitForBox(kPollingJobTimeoutMs));
    EXPECT_EQ(StagesThen(732, {L"Sending WM_COPYDATA.",
                               Failed(732, job.file,
                                      L"the client was started but ended (exit code 2) before its "
                                      L"window was found"),
                               lmvn::reports::kTargetInaccessible.text}),
              Road());
    EXPECT_TRUE(FileExists(job.file));
    EXPECT_TRUE(FileExists(job.page0));
    EXPECT_TRUE(FileExists(job.page2));
}

TEST_F(DeliveryRoads, NeitherClassNorTitleStopsModes1And2BeforeTheStages) {
    for (DWORD mode : {1u, 2u}) {
        Configure(mode, L"", L"", ClientCommand(L"LmvnE2ENeverStarted", L""));
        const Job job = WriteJob(740 + static_cast<int>(mode));
        SubmitFile(job.file);
        ASSERT_TRUE(robot_.WaitForBoxes(mode, kJobTimeoutMs)) << mode;
        EXPECT_EQ(Shown(lmvn::reports::kNotConfigured), robot_.Boxes()[mode - 1].text);
        ASSERT_TRUE(WaitUntil([&] { return !FileExists(job.file); }, 10000)) << mode;
        EXPECT_TRUE(FileExists(job.page0)) << mode;
        EXPECT_TRUE(FileExists(job.page2)) << mode;
    }
    const std::wstring cause = L"neither a target window class nor a title is configured";
    const std::vector<std::wstring> road = {
        L"Processing thread started.",        L"Print job info successfully retrieved. JobID=741",
        Failed(741, path(L"job.ini"), cause), lmvn::reports::kNotConfigured.text,
        L"Processing thread started.",        L"Print job info successfully retrieved. JobID=742",
        Failed(742, path(L"job.ini"), cause), lmvn::reports::kNotConfigured.text};
    EXPECT_EQ(road, Road());
    EXPECT_TRUE(lmvntest::ReadStageJournal(dir()).empty());  // no stage ran
    EXPECT_TRUE(Journal().empty());                          // no client started
}

TEST_F(DeliveryRoads, CommandLineClientThatCannotStart) {
    Configure(0, L"", L"", L"\"" + path(L"no such client.exe") + L"\"");
    const Job job = WriteJob(750);
    SubmitFile(job.file);
    EXPECT_EQ(Shown(lmvn::reports::kDispatcherFailed), WaitForBox());
    ASSERT_TRUE(WaitUntil([&] { return !FileExists(job.file); }, 10000));
    EXPECT_TRUE(FileExists(job.page0));
    EXPECT_TRUE(FileExists(job.page2));
    EXPECT_EQ(
        StagesThen(750, {L"Run client application.",
                         Failed(750, job.file, L"the start of the client failed with error 2"),
                         lmvn::reports::kDispatcherFailed.text}),
        Road());
}

TEST_F(DeliveryRoads, ModesOneAndTwoNameTheJobAndWhyNoWindowWasThere) {
    // Clipboard mode: the client starts, but its window is of another class.
    Configure(2, L"LmvnE2EWanted", L"", ClientCommand(L"LmvnE2EOther", L""));
    const Job job = WriteJob(760);
    SubmitFile(job.file);
    EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), WaitForBox());
    // Copy-data mode: the client cannot be started at all.
    Configure(1, L"LmvnE2EWanted", L"Its title", L"\"" + path(L"no such client.exe") + L"\"");
    ASSERT_TRUE(WaitUntil([&] { return !FileExists(job.file); }, 10000));
    const Job second = WriteJob(761);
    SubmitFile(second.file);
    ASSERT_TRUE(robot_.WaitForBoxes(2, kJobTimeoutMs));
    EXPECT_EQ(Shown(lmvn::reports::kTargetInaccessible), robot_.Boxes()[1].text);

    const auto road = Road();
    const auto has = [&](const std::wstring& line) {
        return std::count(road.begin(), road.end(), line) == 1;
    };
    EXPECT_TRUE(has(
        Failed(760, job.file, L"no window of class \"LmvnE2EWanted\" and any title was found")));
    EXPECT_TRUE(has(Failed(761, second.file, L"the start of the client failed with error 2")));
}

}  // namespace
