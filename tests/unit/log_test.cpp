#include "common/settings.h"
#include "capture.h"
#include "diag/format.h"
#include "diag/log.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

namespace lmvn {
namespace {

using lmvntest::TempDir;

TEST(LogLine, TimeStampIsZeroPaddedWithTabAndCrLf) {
    SYSTEMTIME t = {};
    t.wYear = 2024;
    t.wMonth = 3;
    t.wDay = 5;
    t.wHour = 7;
    t.wMinute = 4;
    t.wSecond = 9;
    t.wMilliseconds = 31;
    wchar_t line[1024];
    EXPECT_EQ(41u, FormatLogLine(line, t, L"Agent started."));
    EXPECT_STREQ(L"2024-03-05 07:04:09.031:\tAgent started.\r\n", line);
}

TEST(LogLine, OverlongTextIsCutAndStillEndsWithCrLf) {
    SYSTEMTIME t = {};
    t.wYear = 2024;
    t.wMonth = 12;
    t.wDay = 31;
    std::wstring text(3000, L'x');
    wchar_t line[1025];
    line[1024] = L'#';
    auto& inner = *reinterpret_cast<wchar_t(*)[1024]>(line);
    EXPECT_EQ(1023u, FormatLogLine(inner, t, text.c_str()));
    EXPECT_EQ(L'\r', line[1021]);
    EXPECT_EQ(L'\n', line[1022]);
    EXPECT_EQ(L'\0', line[1023]);
    EXPECT_EQ(L'#', line[1024]);
}

TEST(LogPath, TrailingBackslashEmptyAndTooLong) {
    wchar_t path[260];
    EXPECT_TRUE(BuildLogFilePath(path, L"C:\\Logs"));
    EXPECT_STREQ(L"C:\\Logs\\vp_log.txt", path);
    EXPECT_TRUE(BuildLogFilePath(path, L"C:\\Logs\\"));
    EXPECT_STREQ(L"C:\\Logs\\vp_log.txt", path);
    EXPECT_TRUE(BuildLogFilePath(path, L""));
    EXPECT_STREQ(L"\\vp_log.txt", path);
    const std::wstring longDir = L"C:\\" + std::wstring(252, L'd');  // 255 units
    EXPECT_FALSE(BuildLogFilePath(path, longDir.c_str()));
    EXPECT_EQ(259u, wcslen(path));
}

// A file that holds only its byte-order mark never moves, so a line longer
// than the limit gets a file of its own; the largest limits are kept below the
// 4 GiB where the 32-bit seek fails.
TEST(LogMove, DueOnlyPastTheLimitAndNeverForAnEmptyFile) {
    EXPECT_FALSE(LogMoveDue(1000, 24, 1));  // 1024 bytes: the limit, not past it
    EXPECT_TRUE(LogMoveDue(1000, 26, 1));
    EXPECT_FALSE(LogMoveDue(2, 5000, 1));
    EXPECT_TRUE(LogMoveDue(0xFFFFFA00u, 2046, 0xFFFFFFFFu));
}

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CopyText(LogDestDir, dir_.path().c_str());
        LogEnabled = 1;
    }
    void TearDown() override {
        CloseLogFile();
        LogDestDir[0] = L'\0';
        LogMaxSize = kDefaultLogMaxSize;
    }
    std::wstring LogPath() const { return dir_ / L"vp_log.txt"; }
    lmvntest::ReportCapture capture_;
    TempDir dir_;
};

TEST_F(LogFileTest, NewFileGetsByteOrderMarkThenAgentStarted) {
    ASSERT_TRUE(OpenLogFile());
    WriteLog(L"second\nhalf");
    CloseLogFile();
    const std::string bytes = lmvntest::ReadFileBytes(LogPath());
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ('\xFF', bytes[0]);
    EXPECT_EQ('\xFE', bytes[1]);
    const auto lines = lmvntest::ParseLog(bytes);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"Agent started.", lines[0].text);
    EXPECT_EQ(L"second\nhalf", lines[1].text);
    // The stamp is UTC now (give a minute of slack around midnight).
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t day[16];
    FormatText(day, L"%d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
    EXPECT_EQ(0u, lines[0].stamp.find(day)) << lines[0].stamp;
    EXPECT_TRUE(capture_.Boxes().empty());
}

TEST_F(LogFileTest, ExistingEmptyFileGetsNoByteOrderMark) {
    ASSERT_TRUE(lmvntest::WriteFileBytes(LogPath(), ""));
    ASSERT_TRUE(OpenLogFile());
    CloseLogFile();
    const std::string bytes = lmvntest::ReadFileBytes(LogPath());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ('2', bytes[0]);  // the year of the first stamp, no FF FE
    EXPECT_EQ('\0', bytes[1]);
}

TEST_F(LogFileTest, ExistingContentIsKeptAndAppendedTo) {
    ASSERT_TRUE(lmvntest::WriteFileBytes(LogPath(), std::string("o\0l\0d\0", 6)));
    ASSERT_TRUE(OpenLogFile());
    CloseLogFile();
    const std::string bytes = lmvntest::ReadFileBytes(LogPath());
    EXPECT_EQ(0u, bytes.find(std::string("o\0l\0d\0"
                                         "2\0",
                                         8)));
}

TEST_F(LogFileTest, MissingDirectoryReportsAndLeavesTheLogClosed) {
    const std::wstring missing = dir_ / L"absent";
    CopyText(LogDestDir, missing.c_str());
    EXPECT_FALSE(OpenLogFile());
    EXPECT_EQ(INVALID_HANDLE_VALUE, LogFileHandle);
    const auto boxes = capture_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"Failed to open the log file:\n" + missing + L"\\vp_log.txt", boxes[0].text);
}

TEST_F(LogFileTest, DirectoryTooLongForThePathIsAFailureToOpen) {
    const std::wstring longDir = dir_.path() + L"\\" + std::wstring(250, L'd');
    ASSERT_TRUE(CopyText(std::span<wchar_t>(LogDestDir, 256), longDir.substr(0, 255).c_str()));
    EXPECT_FALSE(OpenLogFile());
    ASSERT_EQ(1u, capture_.Boxes().size());
    EXPECT_EQ(0u, capture_.Boxes()[0].text.find(L"Failed to open the log file:\n"));
}

TEST_F(LogFileTest, NothingIsWrittenAfterCloseOrWhenTheSeekFails) {
    ASSERT_TRUE(OpenLogFile());
    {
        ScopedApiOverride seek(
            &Win32Api::SetFilePointer, +[](HANDLE, LONG, PLONG, DWORD) -> DWORD {
                SetLastError(ERROR_NEGATIVE_SEEK);
                return INVALID_SET_FILE_POINTER;
            });
        WriteLog(L"dropped");
    }
    CloseLogFile();
    WriteLog(L"after close");
    EXPECT_EQ(std::vector<std::wstring>{L"Agent started."}, lmvntest::LogTexts(LogPath()));
}

TEST_F(LogFileTest, WriteLogKeepsTheCallersLastError) {
    ASSERT_TRUE(OpenLogFile());
    SetLastError(0xdeadbeef);
    WriteLog(L"line");
    EXPECT_EQ(0xdeadbeefu, GetLastError());
}

TEST_F(LogFileTest, ManyThreadsWriteWholeLinesOnly) {
    ASSERT_TRUE(OpenLogFile());
    constexpr int kThreads = 8, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                wchar_t text[64];
                FormatText(text, L"thread %d line %d", t, i);
                WriteLog(text);
            }
        });
    }
    for (auto& th : threads) th.join();
    CloseLogFile();
    const auto lines = lmvntest::ParseLog(lmvntest::ReadFileBytes(LogPath()));
    ASSERT_EQ(1u + kThreads * kLines, lines.size());
    std::set<std::wstring> seen;
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(23u, lines[i].stamp.size());
        seen.insert(lines[i].text);
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

// Another holder of the log's named mutex: a thread of its own (a mutex
// belongs to a thread), which takes it first and keeps it until Release.
class MutexHolder {
  public:
    MutexHolder() {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] {
            wchar_t name[64];
            FormatText(name, L"Global\\%s_log_mutex", kPrinterName);
            HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
            holding_ = mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
            SetEvent(ready_);
            WaitForSingleObject(release_, 60000);
            if (mutex != nullptr) {
                ReleaseMutex(mutex);
                CloseHandle(mutex);
            }
        });
        WaitForSingleObject(ready_, 10000);
    }
    ~MutexHolder() {
        Release();
        CloseHandle(ready_);
        CloseHandle(release_);
    }
    bool Holding() const { return holding_; }
    void Release() {
        SetEvent(release_);
        if (thread_.joinable()) thread_.join();
    }

  private:
    HANDLE ready_ = nullptr;
    HANDLE release_ = nullptr;
    bool holding_ = false;
    std::thread thread_;
};

// What the log writer's waits asked for and got, and a clock it reads.
struct MutexWait {
    DWORD timeoutMs;
    DWORD result;
};
std::vector<MutexWait> mutexWaits;
DWORD fakeTicks = 0;

DWORD WINAPI RecordedWait(HANDLE object, DWORD timeoutMs) {
    const DWORD result = WaitForSingleObject(object, timeoutMs);
    mutexWaits.push_back({timeoutMs, result});
    return result;
}

TEST_F(LogFileTest, AMutexHeldElsewhereCostsOneShortWaitPerHoldOffAndIsTakenAgainOnceFree) {
    MutexHolder holder;
    ASSERT_TRUE(holder.Holding());
    mutexWaits.clear();
    fakeTicks = 0xFFFFFFFFu - 10000;  // the hold-off runs across the tick count's wrap
    ScopedApiOverride waits(&Win32Api::WaitForSingleObject, &RecordedWait);
    ScopedApiOverride clock(
        &Win32Api::GetTickCount, +[]() -> DWORD { return fakeTicks; });
    auto waitsSince = [](size_t from) {
        return std::vector<MutexWait>(mutexWaits.begin() + static_cast<std::ptrdiff_t>(from),
                                      mutexWaits.end());
    };

    ASSERT_TRUE(OpenLogFile());
    for (int i = 0; i < 20; ++i) WriteLog(L"held elsewhere");
    // One short wait at the start, then each line only tries.
    ASSERT_EQ(22u, mutexWaits.size());  // creation, "Agent started.", 20 lines
    EXPECT_GT(mutexWaits[0].timeoutMs, 0u);
    EXPECT_LE(mutexWaits[0].timeoutMs, 500u);
    for (const MutexWait& wait : waitsSince(1)) EXPECT_EQ(0u, wait.timeoutMs);
    for (const MutexWait& wait : mutexWaits) EXPECT_EQ(WAIT_TIMEOUT, wait.result);

    // Half a minute on: one short wait again, then tries.
    fakeTicks += 29000;
    WriteLog(L"still held");
    fakeTicks += 2000;
    size_t from = mutexWaits.size();
    WriteLog(L"hold-off over");
    WriteLog(L"held again");
    auto later = waitsSince(from);
    ASSERT_EQ(2u, later.size());
    EXPECT_GT(later[0].timeoutMs, 0u);
    EXPECT_EQ(0u, later[1].timeoutMs);

    // Let go: the next try takes it, and the lines after wait their turn again.
    holder.Release();
    from = mutexWaits.size();
    WriteLog(L"free again");
    WriteLog(L"taking turns");
    later = waitsSince(from);
    ASSERT_EQ(2u, later.size());
    EXPECT_EQ(WAIT_OBJECT_0, later[0].result);
    EXPECT_EQ(WAIT_OBJECT_0, later[1].result);
    EXPECT_GT(later[1].timeoutMs, 0u);
    CloseLogFile();

    const auto lines = lmvntest::ParseLog(lmvntest::ReadFileBytes(LogPath()));
    ASSERT_EQ(26u, lines.size());
    for (const auto& line : lines) EXPECT_EQ(23u, line.stamp.size());
    EXPECT_EQ(L"taking turns", lines.back().text);
}

// Several processes append to one file at once: the test program starts
// copies of itself, each writing through its own handle.
constexpr wchar_t kChildVariable[] = L"LMVN_LOG_CHILD_DIR";

TEST(LogChild, AppendLines) {
    wchar_t dir[260] = {};
    if (GetEnvironmentVariableW(kChildVariable, dir, 260) == 0) {
        GTEST_SKIP() << "runs only as a child of SeveralProcessesAppendWholeLines";
    }
    CopyText(LogDestDir, dir);
    LogEnabled = 1;
    ASSERT_TRUE(OpenLogFile());
    // Widen the gap between the seek to the end and the write, where another
    // process's line can land: a writer that trusts its seek overwrites it.
    static decltype(&::SetFilePointer) realSeek = &::SetFilePointer;
    ScopedApiOverride seek(
        &Win32Api::SetFilePointer,
        +[](HANDLE file, LONG distance, PLONG high, DWORD method) -> DWORD {
            const DWORD result = realSeek(file, distance, high, method);
            Sleep(1);
            return result;
        });
    for (int i = 0; i < 300; ++i) {
        wchar_t text[64];
        FormatText(text, L"pid %u line %d", GetCurrentProcessId(), i);
        WriteLog(text);
    }
    CloseLogFile();
}

TEST(LogProcesses, SeveralProcessesAppendWholeLines) {
    TempDir dir;
    SetEnvironmentVariableW(kChildVariable, dir.path().c_str());
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring command =
        L"\"" + std::wstring(self) + L"\" --gtest_filter=LogChild.AppendLines";
    std::vector<HANDLE> children;
    for (int i = 0; i < 4; ++i) {
        std::wstring line = command;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(lmvntest::StartTestProcess(line.data(), FALSE, 0, nullptr, &si, &pi));
        CloseHandle(pi.hThread);
        children.push_back(pi.hProcess);
    }
    SetEnvironmentVariableW(kChildVariable, nullptr);
    for (HANDLE child : children) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 60000));
        DWORD code = 1;
        GetExitCodeProcess(child, &code);
        EXPECT_EQ(0u, code);
        CloseHandle(child);
    }
    const auto lines = lmvntest::ParseLog(lmvntest::ReadFileBytes(dir / L"vp_log.txt"));
    std::set<std::wstring> seen;
    size_t started = 0;
    for (const auto& line : lines) {
        ASSERT_EQ(23u, line.stamp.size()) << "a broken line: " << line.text.size() << " units";
        if (line.text == L"Agent started.") {
            ++started;
        } else {
            seen.insert(line.text);
        }
    }
    EXPECT_EQ(4u, started);
    EXPECT_EQ(4u * 300u, seen.size());
}

// vp_log.1.txt taken by a directory (as any user of the shared folder can do):
// every line goes on into the full file, one line says so, and the move is
// tried again after the hold-off, not at every line.
TEST_F(LogFileTest, AFailedMoveKeepsEveryLineAndIsTriedAgainLater) {
    LogMaxSize = 1;
    const std::wstring moved = dir_ / L"vp_log.1.txt";
    ASSERT_TRUE(CreateDirectoryW(moved.c_str(), nullptr));
    fakeTicks = 1000;
    ScopedApiOverride clock(
        &Win32Api::GetTickCount, +[]() -> DWORD { return fakeTicks; });
    ASSERT_TRUE(OpenLogFile());
    for (int i = 0; i < 30; ++i) WriteLog((L"line " + std::to_wstring(i)).c_str());
    std::vector<std::wstring> texts = lmvntest::LogTexts(LogPath());
    ASSERT_EQ(32u, texts.size());  // "Agent started.", 30 lines and the note
    const auto note = std::find_if(texts.begin(), texts.end(), [](const std::wstring& text) {
        return text.starts_with(L"Log file not moved to vp_log.1.txt (error ");
    });
    ASSERT_NE(texts.end(), note);
    texts.erase(note);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(L"line " + std::to_wstring(i), texts[i + 1u]);

    ASSERT_TRUE(RemoveDirectoryW(moved.c_str()));
    fakeTicks += 4000;
    WriteLog(L"held off");
    fakeTicks += 1000;
    WriteLog(L"moved before this");
    CloseLogFile();
    EXPECT_EQ(L"held off", lmvntest::LogTexts(moved).back());
    EXPECT_EQ(std::vector<std::wstring>{L"moved before this"}, lmvntest::LogTexts(LogPath()));
}

// Windows without POSIX rename semantics will not replace a file that others
// hold open, and an agent that has not written since the last move still
// holds the earlier vp_log.1.txt. Refused so, the full file still moves: the
// old one is renamed aside and deleted.
BOOL WINAPI MoveRefusingToReplace(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (GetFileAttributesW(to) != INVALID_FILE_ATTRIBUTES) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return MoveFileExW(from, to, flags);
}

TEST_F(LogFileTest, AnEarlierMovedFileThatCannotBeReplacedIsRenamedAsideAndDeleted) {
    LogMaxSize = 1;
    const std::wstring moved = dir_ / L"vp_log.1.txt";
    ScopedApiOverride refuse(&Win32Api::MoveFileExW, &MoveRefusingToReplace);
    ASSERT_TRUE(OpenLogFile());
    HANDLE idle = INVALID_HANDLE_VALUE;  // an agent's that writes no more
    for (int i = 0; i < 40; ++i) {
        WriteLog((L"line " + std::to_wstring(i)).c_str());
        if (i == 19)
            idle = CreateFileW(moved.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    CloseLogFile();
    ASSERT_NE(INVALID_HANDLE_VALUE, idle);
    CloseHandle(idle);
    // The last two files hold the last lines in order, with no gap; those of
    // the first file (about 14 lines) are gone, and nothing is left aside.
    std::vector<std::wstring> texts = lmvntest::LogTexts(moved);
    for (const std::wstring& text : lmvntest::LogTexts(LogPath())) texts.push_back(text);
    const int first = 40 - static_cast<int>(texts.size());
    EXPECT_GT(first, 12);
    for (size_t k = 0; k < texts.size(); ++k) {
        EXPECT_EQ(L"line " + std::to_wstring(first + static_cast<int>(k)), texts[k]);
    }
    WIN32_FIND_DATAW found;
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW((dir_ / L"*.old").c_str(), &found));
}

// A move the system refuses deletes nothing: not when the agent's user may not
// rename vp_log.txt (another user created it), nor when vp_log.1.txt can be
// neither replaced nor renamed aside. Every line stays in vp_log.txt, the
// earlier vp_log.1.txt is kept as it was, and no name of the move is left.
enum class Refused { kLog, kMoved };
Refused refused = Refused::kLog;

BOOL WINAPI MoveRefusing(LPCWSTR from, LPCWSTR to, DWORD flags) {
    const std::wstring_view source(from);
    const std::wstring_view target(to);
    if (refused == Refused::kLog
            ? source.ends_with(L"\\vp_log.txt")
            : source.ends_with(L"\\vp_log.1.txt") || target.ends_with(L"\\vp_log.1.txt")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return MoveFileExW(from, to, flags);
}

TEST_F(LogFileTest, ARefusedMoveDeletesNothingAndKeepsEveryLine) {
    LogMaxSize = 1;
    const std::wstring moved = dir_ / L"vp_log.1.txt";
    const std::string history("\xFF\xFEh\0i\0", 6);
    ScopedApiOverride refuse(&Win32Api::MoveFileExW, &MoveRefusing);
    for (const Refused which : {Refused::kLog, Refused::kMoved}) {
        refused = which;
        ASSERT_TRUE(lmvntest::WriteFileBytes(moved, history));
        ASSERT_TRUE(OpenLogFile());
        for (int i = 0; i < 30; ++i) WriteLog((L"line " + std::to_wstring(i)).c_str());
        CloseLogFile();
        EXPECT_EQ(history, lmvntest::ReadFileBytes(moved));
        std::vector<std::wstring> texts = lmvntest::LogTexts(LogPath());
        std::erase_if(texts, [](const std::wstring& text) {
            return text == L"Agent started." ||
                   text.starts_with(L"Log file not moved to vp_log.1.txt (error 5). It grows");
        });
        ASSERT_EQ(30u, texts.size());
        for (int i = 0; i < 30; ++i) EXPECT_EQ(L"line " + std::to_wstring(i), texts[i]);
        size_t files = 0;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((dir_ / L"*").c_str(), &found);
        ASSERT_NE(INVALID_HANDLE_VALUE, find);
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ++files;
        } while (FindNextFileW(find, &found));
        FindClose(find);
        EXPECT_EQ(2u, files);
        ASSERT_TRUE(DeleteFileW(LogPath().c_str()));
    }
}

// Someone who may rename the log file may put a file of his own in its place
// and hold an opportunistic lock on it, and on Windows an open then waits for
// him without limit. Here the open of the new file blocks until released: the
// lines meanwhile go on into the file held so far, and once the open can end,
// the next line follows.
struct BlockedOpen {
    static inline HANDLE release = nullptr;
    static inline std::atomic<int> entered{0};
    static inline std::atomic<int> finished{0};
    static HANDLE WINAPI Open(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE model) {
        const bool appending = (access & FILE_APPEND_DATA) != 0;
        if (appending) {
            ++entered;
            WaitForSingleObject(release, 20000);
        }
        const HANDLE file = ::CreateFileW(path, access, share, security, disposition, flags, model);
        const DWORD error = GetLastError();
        if (appending) ++finished;
        SetLastError(error);
        return file;
    }
};

TEST_F(LogFileTest, AnOpenThatWaitsOnSomeoneElseHoldsUpNoLine) {
    ASSERT_TRUE(OpenLogFile());
    for (int i = 0; i < 20; ++i) WriteLog(L"filler");
    // The held file is past the limit from here on, but it is not the one at
    // the path: the move, which renames what is at the path, must wait.
    LogMaxSize = 1;
    const std::wstring moved = dir_ / L"elsewhere.txt";
    ASSERT_TRUE(MoveFileExW(LogPath().c_str(), moved.c_str(), 0));
    ASSERT_TRUE(lmvntest::WriteFileBytes(LogPath(), std::string("\xFF\xFE", 2)));
    BlockedOpen::release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BlockedOpen::entered = 0;
    BlockedOpen::finished = 0;
    {
        ScopedApiOverride<decltype(&::CreateFileW)> blocked(&Win32Api::CreateFileW,
                                                            &BlockedOpen::Open);
        WriteLog(L"while blocked 1");
        WriteLog(L"while blocked 2");
        // Returned with the open still waiting, and no second one started.
        EXPECT_EQ(1, BlockedOpen::entered.load());
        EXPECT_EQ(0, BlockedOpen::finished.load());
        SetEvent(BlockedOpen::release);
        for (int i = 0; i < 200 && BlockedOpen::finished.load() == 0; ++i) Sleep(50);
        ASSERT_EQ(1, BlockedOpen::finished.load());
        // Once the open given up on has ended (it closes its file itself),
        // a line follows to the file at the path.
        for (int i = 0; i < 200 && lmvntest::LogTexts(LogPath()).empty(); ++i) {
            WriteLog(L"after");
            if (lmvntest::LogTexts(LogPath()).empty()) Sleep(50);
        }
    }
    CloseLogFile();
    CloseHandle(BlockedOpen::release);
    const auto held = lmvntest::LogTexts(moved);
    ASSERT_GE(held.size(), 23u);
    EXPECT_EQ(L"while blocked 1", held[21]);
    EXPECT_EQ(L"while blocked 2", held[22]);
    // Lines written before the open's end was noticed stay in the held file.
    for (size_t i = 23; i < held.size(); ++i) EXPECT_EQ(L"after", held[i]);
    EXPECT_FALSE(lmvntest::FileExists(dir_ / L"vp_log.1.txt"));
    EXPECT_EQ(std::vector<std::wstring>{L"after"}, lmvntest::LogTexts(LogPath()));
}

}  // namespace
}  // namespace lmvn
