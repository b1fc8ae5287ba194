#include "job/stages.h"

#include "common/settings.h"
#include "diag/log.h"
#include "support/harness.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace lmvn {
namespace {

// Fake process handles; every other handle goes to the real CloseHandle.
const HANDLE kFakeProcess = reinterpret_cast<HANDLE>(0x7A010);
const HANDLE kFakeThread = reinterpret_cast<HANDLE>(0x7A020);
const HANDLE kFakeLog = reinterpret_cast<HANDLE>(0x7A030);
const HWND kFakeWindow = reinterpret_cast<HWND>(0x7A040);

struct Start {
    bool applicationNameNull;
    std::wstring commandLine;
    BOOL inherit;
    DWORD flags;
    bool defaultsUsed;  // no security attributes, environment or directory
    bool startupZeroedButSize;
};

// The fakes' state (statics, as the seam takes plain function pointers).
std::wstring g_modulePath;
std::wstring g_failingProgram;  // CreateProcessW fails for a line holding it
int g_systemFailures = 0;       // the next so many starts fail for the system's sake
std::vector<Start> g_starts;
std::vector<std::wstring> g_events;  // calls and log lines, in order
decltype(&::CloseHandle) g_realCloseHandle = nullptr;

std::wstring Hex(const void* value) {
    wchar_t text[32];
    swprintf(text, 32, L"%llx", reinterpret_cast<unsigned long long>(value));
    return text;
}

DWORD WINAPI FakeModuleFileName(HMODULE, LPWSTR buffer, DWORD size) {
    // As the real call: a path that does not fit is cut and the size returned.
    const DWORD length = static_cast<DWORD>(g_modulePath.size());
    const DWORD copied = length < size ? length : size - 1;
    g_modulePath.copy(buffer, copied);
    buffer[copied] = L'\0';
    return length < size ? length : size;
}

BOOL WINAPI FakeCreateProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES pa,
                              LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                              LPCWSTR dir, LPSTARTUPINFOW si, LPPROCESS_INFORMATION pi) {
    STARTUPINFOW zero = {};
    zero.cb = sizeof(zero);
    g_starts.push_back({application == nullptr, commandLine, inherit, flags,
                        pa == nullptr && ta == nullptr && env == nullptr && dir == nullptr,
                        memcmp(si, &zero, sizeof(zero)) == 0});
    g_events.push_back(L"start " + std::wstring(commandLine));
    if (g_systemFailures > 0) {
        --g_systemFailures;
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }
    if (!g_failingProgram.empty() &&
        std::wstring(commandLine).find(g_failingProgram) != std::wstring::npos) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    pi->hProcess = kFakeProcess;
    pi->hThread = kFakeThread;
    pi->dwProcessId = 4242;
    pi->dwThreadId = 4343;
    return TRUE;
}

DWORD g_waitResult = WAIT_OBJECT_0;  // the fake processes have ended

DWORD WINAPI FakeWait(HANDLE handle, DWORD timeout) {
    g_events.push_back(L"wait " + Hex(handle) + L" " + std::to_wstring(timeout));
    return g_waitResult;
}

DWORD WINAPI FakeInputIdle(HANDLE handle, DWORD timeout) {
    g_events.push_back(L"idle " + Hex(handle) + L" " + std::to_wstring(timeout));
    return WAIT_TIMEOUT;  // its outcome must not matter
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
    if (handle == kFakeProcess || handle == kFakeThread) {
        g_events.push_back(L"close " + Hex(handle));
        return TRUE;
    }
    return g_realCloseHandle(handle);
}

// The desktop: top-level windows with their owner process and class. The
// windows of our fake process show up from search number g_ownWindowFrom on.
struct FakeWindow {
    HWND window;
    DWORD processId;
    std::wstring windowClass;
};
std::vector<FakeWindow> g_windows;
int g_searches = 0;
int g_ownWindowFrom = 1;
constexpr DWORD kFakeProcessId = 4242;

BOOL WINAPI FakeEnumWindows(WNDENUMPROC callback, LPARAM param) {
    g_events.push_back(L"enum");
    ++g_searches;
    for (const FakeWindow& w : g_windows) {
        if (w.processId == kFakeProcessId && g_searches < g_ownWindowFrom) continue;
        if (!callback(w.window, param)) break;
    }
    return TRUE;
}

const FakeWindow* FindFake(HWND window) {
    for (const FakeWindow& w : g_windows) {
        if (w.window == window) return &w;
    }
    return nullptr;
}

DWORD WINAPI FakeWindowThreadProcessId(HWND window, LPDWORD processId) {
    const FakeWindow* w = FindFake(window);
    if (processId != nullptr) *processId = w ? w->processId : 0;
    return w ? 1 : 0;
}

int WINAPI FakeClassName(HWND window, LPWSTR name, int size) {
    const FakeWindow* w = FindFake(window);
    if (w == nullptr || size <= 0) return 0;
    const int length = static_cast<int>(w->windowClass.size()) < size - 1
                           ? static_cast<int>(w->windowClass.size())
                           : size - 1;
    w->windowClass.copy(name, static_cast<size_t>(length));
    name[length] = L'\0';
    return length;
}

DWORD WINAPI FakeProcessId(HANDLE process) {
    if (process == kFakeProcess) return kFakeProcessId;
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

BOOL WINAPI FakeTerminate(HANDLE process, UINT code) {
    g_events.push_back(L"terminate " + Hex(process) + L" " + std::to_wstring(code));
    return TRUE;
}

BOOL WINAPI FakePostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    g_events.push_back(L"post " + Hex(window) + L" " + std::to_wstring(message) + L" " +
                       std::to_wstring(wParam) + L" " + std::to_wstring(lParam));
    return TRUE;
}

int WINAPI FakeMessageBox(HWND, LPCWSTR text, LPCWSTR, UINT) {
    g_events.push_back(L"box " + std::wstring(text));
    return IDOK;
}

DWORD WINAPI FakeSeek(HANDLE, LONG, PLONG, DWORD) { return 0; }

// Log lines land in the event list: the text after the time stamp's tab.
BOOL WINAPI FakeLogWrite(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED) {
    if (file != kFakeLog) return FALSE;
    std::wstring line(static_cast<const wchar_t*>(data), bytes / sizeof(wchar_t));
    line = line.substr(line.find(L'\t') + 1);
    if (line.size() >= 2) line.resize(line.size() - 2);  // CR LF
    g_events.push_back(L"log " + line);
    *written = bytes;
    return TRUE;
}

class StagesTest : public ::testing::Test {
  protected:
    StagesTest()
        : module_(&Win32Api::GetModuleFileNameW, &FakeModuleFileName),
          create_(&Win32Api::CreateProcessW, &FakeCreateProcess),
          wait_(&Win32Api::WaitForSingleObject, &FakeWait),
          idle_(&Win32Api::WaitForInputIdle, &FakeInputIdle),
          close_(&Win32Api::CloseHandle, &FakeCloseHandle),
          enum_(&Win32Api::EnumWindows, &FakeEnumWindows),
          owner_(&Win32Api::GetWindowThreadProcessId, &FakeWindowThreadProcessId),
          class_(&Win32Api::GetClassNameW, &FakeClassName),
          pid_(&Win32Api::GetProcessId, &FakeProcessId),
          terminate_(&Win32Api::TerminateProcess, &FakeTerminate),
          post_(&Win32Api::PostMessageW, &FakePostMessage),
          box_(&Win32Api::MessageBoxW, &FakeMessageBox),
          seek_(&Win32Api::SetFilePointer, &FakeSeek),
          write_(&Win32Api::WriteFile, &FakeLogWrite) {
        g_realCloseHandle = close_.original();
    }
    void SetUp() override {
        g_modulePath = L"C:\\Agent Dir\\lmvnagent.exe";
        g_failingProgram.clear();
        g_systemFailures = 0;
        g_starts.clear();
        g_events.clear();
        g_waitResult = WAIT_OBJECT_0;
        g_searches = 0;
        g_ownWindowFrom = 1;
        // Another job's progress window first, then a window of ours of
        // another class, then ours.
        g_windows = {{reinterpret_cast<HWND>(0x7A050), 999, L"Lumvane progress indicator"},
                     {reinterpret_cast<HWND>(0x7A060), kFakeProcessId, L"Lumvane"},
                     {kFakeWindow, kFakeProcessId, L"Lumvane progress indicator"}};
        MessageMode = 0;
        LogEnabled = 1;
        LogFileHandle = kFakeLog;
        ASSERT_TRUE(lmvntest::WriteFileBytes(emf_, "EMF"));
        WriteJob("");
    }
    void TearDown() override {
        LogFileHandle = INVALID_HANDLE_VALUE;
        LogEnabled = 0;
    }
    void WriteJob(const std::string& result) {
        std::string text = "[Document]\r\nJobID=7\r\n";
        if (!result.empty()) text += "PreprocessingResult=" + result + "\r\n";
        std::string emf(emf_.begin(), emf_.end());
        text += "[EMF]\r\nCount=1\r\nFile0=" + emf + "\r\n";
        ASSERT_TRUE(lmvntest::WriteFileBytes(job_, text));
    }
    std::wstring Expect(const wchar_t* program) const {
        return L"C:\\Agent Dir\\" + std::wstring(program) + L" " + job_;
    }

    lmvntest::TempDir dir_{L"lmvn stages"};  // a blank in the job path
    std::wstring job_ = dir_ / L"job 1.ini";
    std::wstring emf_ = dir_ / L"page0.emf";
    ScopedApiOverride<decltype(&::GetModuleFileNameW)> module_;
    ScopedApiOverride<decltype(&::CreateProcessW)> create_;
    ScopedApiOverride<decltype(&::WaitForSingleObject)> wait_;
    ScopedApiOverride<decltype(&::WaitForInputIdle)> idle_;
    ScopedApiOverride<decltype(&::CloseHandle)> close_;
    ScopedApiOverride<decltype(&::EnumWindows)> enum_;
    ScopedApiOverride<decltype(&::GetWindowThreadProcessId)> owner_;
    ScopedApiOverride<decltype(&::GetClassNameW)> class_;
    ScopedApiOverride<decltype(&::GetProcessId)> pid_;
    ScopedApiOverride<decltype(&::TerminateProcess)> terminate_;
    ScopedApiOverride<decltype(&::PostMessageW)> post_;
    ScopedApiOverride<decltype(&::MessageBoxW)> box_;
    ScopedApiOverride<decltype(&::SetFilePointer)> seek_;
    ScopedApiOverride<decltype(&::WriteFile)> write_;
};

const std::wstring kProcess = L"7a010";
const std::wstring kThread = L"7a020";

TEST_F(StagesTest, EachStageStartsFromTheAgentsFolderWithTheJobPathUnquoted) {
    EXPECT_TRUE(RunPreprocessor(job_.c_str()));
    UniqueHandle progress = StartProgressIndicator(job_.c_str());
    EXPECT_EQ(kFakeProcess, progress.get());
    EXPECT_TRUE(RunConverter(job_.c_str()));

    ASSERT_EQ(3u, g_starts.size());
    EXPECT_EQ(Expect(L"preprocess.exe"), g_starts[0].commandLine);
    EXPECT_EQ(Expect(L"progress.exe"), g_starts[1].commandLine);
    EXPECT_EQ(Expect(L"lmvndisp.exe"), g_starts[2].commandLine);
    const BOOL inherits[] = {FALSE, FALSE, TRUE};  // the converter alone inherits
    for (size_t i = 0; i < g_starts.size(); ++i) {
        EXPECT_TRUE(g_starts[i].applicationNameNull) << i;
        EXPECT_EQ(inherits[i], g_starts[i].inherit) << i;
        EXPECT_EQ(static_cast<DWORD>(NORMAL_PRIORITY_CLASS), g_starts[i].flags) << i;
        EXPECT_TRUE(g_starts[i].defaultsUsed) << i;
        EXPECT_TRUE(g_starts[i].startupZeroedButSize) << i;
    }

    const std::vector<std::wstring> expected = {
        L"start " + Expect(L"preprocess.exe"),
        L"wait " + kProcess + L" " + std::to_wstring(INFINITE),
        L"close " + kProcess,
        L"close " + kThread,
        L"log Preprocessing finished.",
        L"start " + Expect(L"progress.exe"),
        L"idle " + kProcess + L" 20000",
        L"log Progress indicator started.",
        L"close " + kThread,
        L"log Starting converter.",
        L"start " + Expect(L"lmvndisp.exe"),
        L"wait " + kProcess + L" " + std::to_wstring(INFINITE),
        L"close " + kProcess,
        L"close " + kThread,
        L"log Converter finished.",
    };
    EXPECT_EQ(expected, g_events);

    g_events.clear();
    CloseProgressIndicator(std::move(progress));
    const std::vector<std::wstring> closing = {
        L"enum",
        L"post 7a040 16 0 0",  // WM_CLOSE, to the window of its own process
        L"close " + kProcess,
        L"log Progress indicator process terminated.",
    };
    EXPECT_EQ(closing, g_events);
    EXPECT_TRUE(lmvntest::FileExists(job_));
}

TEST_F(StagesTest, StartsThatFail) {
    g_failingProgram = L".exe";
    EXPECT_FALSE(RunPreprocessor(job_.c_str()));
    EXPECT_FALSE(StartProgressIndicator(job_.c_str()));
    const std::vector<std::wstring> quiet = {L"start " + Expect(L"preprocess.exe"),
                                             L"start " + Expect(L"progress.exe")};
    EXPECT_EQ(quiet, g_events);
    EXPECT_TRUE(lmvntest::FileExists(job_));

    g_events.clear();
    EXPECT_FALSE(RunConverter(job_.c_str()));
    const std::vector<std::wstring> reported = {
        L"log Starting converter.",
        L"start " + Expect(L"lmvndisp.exe"),
        L"log Cannot find converter executable.",
        L"box Cannot find converter executable.",
    };
    EXPECT_EQ(reported, g_events);
    EXPECT_FALSE(lmvntest::FileExists(job_));
    EXPECT_TRUE(lmvntest::FileExists(emf_));  // the pages are not touched
}

// A start the system failed for a moment is made again, and the job goes on
// as if the first had worked; one that keeps failing is reported as before.
TEST_F(StagesTest, StartsTheSystemFailedAreMadeAgain) {
    ScopedApiOverride<decltype(&::Sleep)> sleep(
        &Win32Api::Sleep, [](DWORD ms) { g_events.push_back(L"sleep " + std::to_wstring(ms)); });
    g_systemFailures = 2;
    EXPECT_TRUE(RunConverter(job_.c_str()));
    const std::wstring start = L"start " + Expect(L"lmvndisp.exe");
    const std::vector<std::wstring> retried = {
        L"log Starting converter.",
        start,
        L"sleep 100",
        start,
        L"sleep 100",
        start,
        L"wait " + kProcess + L" " + std::to_wstring(INFINITE),
        L"close " + kProcess,
        L"close " + kThread,
        L"log Converter finished.",
    };
    EXPECT_EQ(retried, g_events);

    g_events.clear();
    g_systemFailures = 3;
    EXPECT_FALSE(RunConverter(job_.c_str()));
    EXPECT_EQ(3, std::count(g_events.begin(), g_events.end(), start));
    EXPECT_EQ(L"box Cannot find converter executable.", g_events.back());
}

TEST_F(StagesTest, CommandLinesThatDoNotFitAreNeverStarted) {
    // The progress indicator's line has 260 units with its terminator.
    const std::wstring job = L"C:\\j.ini";
    const size_t fixed = std::wstring(L"C:\\\\progress.exe ").size() + job.size();
    g_modulePath = L"C:\\" + std::wstring(259 - fixed, L'd') + L"\\lmvnagent.exe";
    UniqueHandle progress = StartProgressIndicator(job.c_str());
    ASSERT_EQ(1u, g_starts.size());
    EXPECT_EQ(259u, g_starts[0].commandLine.size());
    progress.reset();

    g_starts.clear();
    g_events.clear();
    g_modulePath = L"C:\\" + std::wstring(260 - fixed, L'd') + L"\\lmvnagent.exe";
    EXPECT_FALSE(StartProgressIndicator(job.c_str()));
    // An agent path that does not even fit the buffer.
    g_modulePath = L"C:\\" + std::wstring(300, L'd') + L"\\lmvnagent.exe";
    EXPECT_FALSE(StartProgressIndicator(job.c_str()));
    EXPECT_TRUE(g_starts.empty());
    EXPECT_TRUE(g_events.empty());  // no log line either

    // The 1024 units of the preprocessor and the converter.
    const std::wstring longJob = dir_ / (std::wstring(200, L'j') + L".ini");
    ASSERT_TRUE(lmvntest::WriteFileBytes(longJob, "[Document]\r\n"));
    // "C:\<dir>\lmvndisp.exe <job>" in exactly 1023 units is started ...
    g_modulePath = L"C:\\" + std::wstring(1024 - 18 - longJob.size(), L'd') + L"\\lmvnagent.exe";
    EXPECT_TRUE(RunConverter(longJob.c_str()));
    ASSERT_EQ(1u, g_starts.size());
    EXPECT_EQ(1023u, g_starts[0].commandLine.size());
    // ... one unit more is not.
    g_starts.clear();
    g_events.clear();
    g_modulePath = L"C:\\" + std::wstring(1024 - 17 - longJob.size(), L'd') + L"\\lmvnagent.exe";
    EXPECT_FALSE(RunPreprocessor(longJob.c_str()));
    EXPECT_FALSE(RunConverter(longJob.c_str()));
    EXPECT_TRUE(g_starts.empty());
    const std::vector<std::wstring> reported = {
        L"log Starting converter.",
        L"log Cannot find converter executable.",
        L"box Cannot find converter executable.",
    };
    EXPECT_EQ(reported, g_events);
    EXPECT_FALSE(lmvntest::FileExists(longJob));
}

TEST_F(StagesTest, OnlyCancelInAnyLetterCaseCancels) {
    for (const char* value : {"Cancel", "cancel", "CANCEL", "cAnCeL"}) {
        WriteJob(value);
        EXPECT_FALSE(CheckPreprocessingResult(job_.c_str())) << value;
    }
    // Whole-value match only.
    for (const char* value : {"Cancelled", "Cance", "Cancel!", " Cancel x", "OK"}) {
        WriteJob(value);
        EXPECT_TRUE(CheckPreprocessingResult(job_.c_str())) << value;
    }
    WriteJob("");  // no such key
    EXPECT_TRUE(CheckPreprocessingResult(job_.c_str()));
    EXPECT_TRUE(CheckPreprocessingResult((dir_ / L"missing.ini").c_str()));
}

TEST_F(StagesTest, NonAsciiLettersAreNotFolded) {
    // Letters that a linguistic or width-blind comparison would take for the
    // ASCII ones: only A to Z are folded.
    static const wchar_t* value = nullptr;
    ScopedApiOverride<decltype(&::GetPrivateProfileStringW)> profile(
        &Win32Api::GetPrivateProfileStringW,
        +[](LPCWSTR, LPCWSTR, LPCWSTR, LPWSTR out, DWORD size, LPCWSTR) -> DWORD {
            wcsncpy(out, value, size);
            return static_cast<DWORD>(wcslen(value));
        });
    for (const wchar_t* text : {L"\uFF23ancel", L"\uFF43\uFF41\uFF4E\uFF43\uFF45\uFF4C",
                                L"C\u0430ncel", L"Canc\u00E9l", L"Cancel\u0301"}) {
        value = text;
        EXPECT_TRUE(CheckPreprocessingResult(job_.c_str()));
    }
    value = L"cANCEL";
    EXPECT_FALSE(CheckPreprocessingResult(job_.c_str()));
}

TEST_F(StagesTest, SequenceStopsAtCancelAndAtAConverterThatCannotStart) {
    WriteJob("CANCEL");
    UniqueHandle progress;
    EXPECT_EQ(StageOutcome::Cancelled, RunStageSequence(job_.c_str(), progress));
    EXPECT_FALSE(progress);
    ASSERT_EQ(1u, g_starts.size());
    EXPECT_EQ(Expect(L"preprocess.exe"), g_starts[0].commandLine);
    EXPECT_TRUE(lmvntest::FileExists(job_));
    EXPECT_TRUE(lmvntest::FileExists(emf_));

    // A missing preprocessor is skipped; the converter's failure stops the job
    // with the progress indicator left for the caller to close.
    WriteJob("");
    g_starts.clear();
    g_failingProgram = L"preprocess.exe";
    EXPECT_EQ(StageOutcome::Converted, RunStageSequence(job_.c_str(), progress));
    EXPECT_EQ(kFakeProcess, progress.get());
    ASSERT_EQ(3u, g_starts.size());
    EXPECT_EQ(Expect(L"lmvndisp.exe"), g_starts[2].commandLine);
    progress.reset();

    g_starts.clear();
    g_failingProgram = L"lmvndisp.exe";
    EXPECT_EQ(StageOutcome::ConverterFailed, RunStageSequence(job_.c_str(), progress));
    EXPECT_EQ(kFakeProcess, progress.get());
    EXPECT_EQ(3u, g_starts.size());
    EXPECT_FALSE(lmvntest::FileExists(job_));
    progress.reset();
}

TEST_F(StagesTest, ClosingWhenTheProcessHasNoWindowOfItsOwn) {
    g_windows.pop_back();  // another job's window and one of another class remain
    const std::wstring tail[] = {L"close " + kProcess,
                                 L"log Progress indicator process terminated."};

    // Ended already: nothing to wait for, nothing to end.
    CloseProgressIndicator(UniqueHandle(kFakeProcess));
    std::vector<std::wstring> expected = {L"enum", L"wait " + kProcess + L" 50",
                                          L"wait " + kProcess + L" 0", tail[0], tail[1]};
    EXPECT_EQ(expected, g_events);

    // Still running and never a window: a second of looking, then it is ended.
    g_events.clear();
    g_searches = 0;
    g_waitResult = WAIT_TIMEOUT;
    CloseProgressIndicator(UniqueHandle(kFakeProcess));
    expected = {L"enum"};
    for (int i = 0; i < 20; ++i) {
        expected.push_back(L"wait " + kProcess + L" 50");
        expected.push_back(L"enum");
    }
    expected.insert(expected.end(), {L"wait " + kProcess + L" 0", L"terminate " + kProcess + L" 1",
                                     tail[0], tail[1]});
    EXPECT_EQ(expected, g_events);

    // Its window comes on the third look: closed, not ended.
    g_windows.push_back({kFakeWindow, kFakeProcessId, L"Lumvane progress indicator"});
    g_events.clear();
    g_searches = 0;
    g_ownWindowFrom = 3;
    CloseProgressIndicator(UniqueHandle(kFakeProcess));
    expected = {L"enum", L"wait " + kProcess + L" 50", L"enum", L"wait " + kProcess + L" 50",
                L"enum", L"post 7a040 16 0 0",         tail[0], tail[1]};
    EXPECT_EQ(expected, g_events);

    g_events.clear();
    CloseProgressIndicator(UniqueHandle());
    EXPECT_TRUE(g_events.empty());
}

}  // namespace
}  // namespace lmvn
