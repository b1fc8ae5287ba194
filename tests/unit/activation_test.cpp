#include "job/activation.h"

#include "support/harness.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lmvn {
namespace {

// ---- A recorded, fully faked foreground API ---------------------------------

std::mutex callsLock;
std::vector<std::string> calls;

DWORD windowThread = 0;   // what GetWindowThreadProcessId answers
DWORD windowProcess = 0;  // its process output
DWORD versionMajor = 6, versionMinor = 1;
bool largeVersionRefused = false;
bool keyboardReadable = true;
bool altDown = false;
bool timeoutReadable = true;
DWORD userTimeout = 200000;  // the "user's" foreground lock timeout
BOOL foregroundResult = TRUE;

void Record(std::string call) {
    std::lock_guard<std::mutex> hold(callsLock);
    calls.push_back(std::move(call));
}

DWORD WINAPI FakeWindowThread(HWND, LPDWORD process) {
    if (process != nullptr) *process = windowProcess;
    return windowThread;
}

BOOL WINAPI FakeSpi(UINT action, UINT, PVOID param, UINT flags) {
    if (action == SPI_GETFOREGROUNDLOCKTIMEOUT) {
        Record("get-timeout");
        if (!timeoutReadable) return FALSE;
        *static_cast<DWORD*>(param) = userTimeout;
        return TRUE;
    }
    if (action == SPI_SETFOREGROUNDLOCKTIMEOUT) {
        const auto value = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(param));
        Record("set-timeout " + std::to_string(value) + " flags " + std::to_string(flags));
        return TRUE;
    }
    Record("spi " + std::to_string(action));
    return FALSE;
}

BOOL WINAPI FakeVersion(LPOSVERSIONINFOW info) {
    Record("version " + std::to_string(info->dwOSVersionInfoSize));
    if (largeVersionRefused && info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = versionMajor;
    info->dwMinorVersion = versionMinor;
    return TRUE;
}

BOOL WINAPI FakeAllow(DWORD process) {
    Record(process == ASFW_ANY ? "allow-any" : "allow " + std::to_string(process));
    return TRUE;
}

BOOL WINAPI FakeKeyboardState(PBYTE keys) {
    Record("keyboard-state");
    if (!keyboardReadable) return FALSE;
    keys[VK_MENU] = altDown ? 0x81 : 0x01;  // toggle bit alone is not "down"
    return TRUE;
}

void WINAPI FakeKey(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extra) {
    Record("key " + std::to_string(vk) + " " + std::to_string(scan) + " " + std::to_string(flags) +
           " " + std::to_string(extra));
}

BOOL WINAPI FakeForeground(HWND) {
    Record("set-foreground");
    return foregroundResult;
}

class ActivationSeam : public ::testing::Test {
  protected:
    void SetUp() override {
        calls.clear();
        windowThread = GetCurrentThreadId() + 1000;  // another thread's window
        windowProcess = 4242;
        versionMajor = 6;
        versionMinor = 1;
        largeVersionRefused = false;
        keyboardReadable = true;
        altDown = false;
        timeoutReadable = true;
        userTimeout = 200000;
        foregroundResult = TRUE;
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> hold(callsLock);
        return calls;
    }
    bool Called(const std::string& call) {
        for (const auto& c : Calls()) {
            if (c == call) return true;
        }
        return false;
    }

    HWND window_ = reinterpret_cast<HWND>(0x1234);
    ScopedApiOverride<decltype(&::GetWindowThreadProcessId)> thread_{
        &Win32Api::GetWindowThreadProcessId, &FakeWindowThread};
    ScopedApiOverride<decltype(&::SystemParametersInfoW)> spi_{&Win32Api::SystemParametersInfoW,
                                                               &FakeSpi};
    ScopedApiOverride<decltype(&::GetVersionExW)> version_{&Win32Api::GetVersionExW, &FakeVersion};
    ScopedApiOverride<decltype(&::AllowSetForegroundWindow)> allow_{
        &Win32Api::AllowSetForegroundWindow, &FakeAllow};
    ScopedApiOverride<decltype(&::GetKeyboardState)> keys_{&Win32Api::GetKeyboardState,
                                                           &FakeKeyboardState};
    ScopedApiOverride<decltype(&::keybd_event)> key_{&Win32Api::keybd_event, &FakeKey};
    ScopedApiOverride<decltype(&::SetForegroundWindow)> fg_{&Win32Api::SetForegroundWindow,
                                                            &FakeForeground};
};

TEST_F(ActivationSeam, WindowOfAnotherProcessGetsTheWholeSequence) {
    EXPECT_EQ(TRUE, ActivateWindow(window_));
    const std::vector<std::string> expected = {
        "get-timeout",  "set-timeout 0 flags 3", "version 284",
        "allow-any",    "keyboard-state",        "key 18 0 1 0",
        "key 18 0 3 0", "set-foreground",        "set-timeout 200000 flags 3",
    };
    EXPECT_EQ(expected, Calls());
}

TEST_F(ActivationSeam, NoAltIsSynthesisedWhenAltIsDownOrTheStateIsUnreadable) {
    altDown = true;
    ActivateWindow(window_);
    const std::vector<std::string> withAltDown = {
        "get-timeout",    "set-timeout 0 flags 3",     "version 284", "allow-any", "keyboard-state",
        "set-foreground", "set-timeout 200000 flags 3"};
    EXPECT_EQ(withAltDown, Calls());

    calls.clear();
    altDown = false;
    keyboardReadable = false;
    ActivateWindow(window_);
    EXPECT_EQ(withAltDown, Calls());
}

TEST_F(ActivationSeam, AllowSetForegroundOnlyFromVersion490) {
    struct Case {
        DWORD major, minor;
        bool allowed;
    };
    const Case cases[] = {{4, 0, false}, {4, 10, false}, {4, 90, true},
                          {5, 0, true},  {6, 1, true},   {10, 0, true}};
    for (const Case& c : cases) {
        calls.clear();
        versionMajor = c.major;
        versionMinor = c.minor;
        ActivateWindow(window_);
        EXPECT_EQ(c.allowed, Called("allow-any")) << c.major << "." << c.minor;
        EXPECT_EQ(c.allowed, NeedsAllowSetForeground(c.major, c.minor));
        EXPECT_TRUE(Called("set-timeout 200000 flags 3"));
    }
    EXPECT_FALSE(NeedsAllowSetForeground(4, 91));
    EXPECT_FALSE(NeedsAllowSetForeground(3, 95));
}

TEST_F(ActivationSeam, RefusedLargeVersionRecordIsRetriedWithTheSmallOne) {
    largeVersionRefused = true;
    ActivateWindow(window_);
    const auto seen = Calls();
    ASSERT_GE(seen.size(), 5u);
    EXPECT_EQ("version 284", seen[2]);
    EXPECT_EQ("version 276", seen[3]);
    EXPECT_EQ("allow-any", seen[4]);  // the small record's 6.1 counts
}

TEST_F(ActivationSeam, TimeoutIsRestoredWhenForegroundIsRefusedAndZeroWhenUnreadable) {
    foregroundResult = FALSE;
    userTimeout = 7;
    EXPECT_EQ(FALSE, ActivateWindow(window_));
    EXPECT_EQ("set-timeout 7 flags 3", Calls().back());

    calls.clear();
    timeoutReadable = false;
    ActivateWindow(window_);
    EXPECT_EQ("set-timeout 0 flags 3", Calls().back());
}

TEST_F(ActivationSeam, OwnThreadsWindowOnlyGetsSetForeground) {
    windowThread = GetCurrentThreadId();
    EXPECT_EQ(TRUE, ActivateWindow(window_));
    EXPECT_EQ(std::vector<std::string>{"set-foreground"}, Calls());
}

// Two activations at once must never both be between the save and the restore.
std::atomic<int> inside{0};
std::atomic<int> mostInside{0};

BOOL WINAPI SlowSpi(UINT action, UINT, PVOID param, UINT) {
    if (action == SPI_GETFOREGROUNDLOCKTIMEOUT) {
        const int now = ++inside;
        int seen = mostInside.load();
        while (now > seen && !mostInside.compare_exchange_weak(seen, now)) {
        }
        *static_cast<DWORD*>(param) = 5000;
        Sleep(20);  // widen the window in which another thread could enter
        return TRUE;
    }
    if (action == SPI_SETFOREGROUNDLOCKTIMEOUT && param != nullptr) --inside;
    return TRUE;
}

TEST_F(ActivationSeam, ConcurrentActivationsDoNotOverlap) {
    ScopedApiOverride<decltype(&::SystemParametersInfoW)> slow(&Win32Api::SystemParametersInfoW,
                                                               &SlowSpi);
    inside = 0;
    mostInside = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 5; ++i) ActivateWindow(window_);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(1, mostInside.load());
    EXPECT_EQ(0, inside.load());
}

// Activations asked for while one is lifting the timeout are done together,
// in one more lifting, each window brought forward once.
HANDLE g_firstInside = nullptr;
HANDLE g_releaseFirst = nullptr;
std::atomic<int> g_asked{0};

DWORD WINAPI CountingWindowThread(HWND window, LPDWORD process) {
    ++g_asked;
    return FakeWindowThread(window, process);
}

BOOL WINAPI HeldSpi(UINT action, UINT ui, PVOID param, UINT flags) {
    const BOOL result = FakeSpi(action, ui, param, flags);
    if (action == SPI_GETFOREGROUNDLOCKTIMEOUT && SetEvent(g_firstInside)) {
        WaitForSingleObject(g_releaseFirst, 10000);
    }
    return result;
}

TEST_F(ActivationSeam, ActivationsAskedMeanwhileShareOneLifting) {
    ScopedApiOverride<decltype(&::SystemParametersInfoW)> held(&Win32Api::SystemParametersInfoW,
                                                               &HeldSpi);
    ScopedApiOverride<decltype(&::GetWindowThreadProcessId)> asking(
        &Win32Api::GetWindowThreadProcessId, &CountingWindowThread);
    g_asked = 0;
    g_firstInside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_releaseFirst = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread first([this] { ActivateWindow(window_); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_firstInside, 10000));
    std::vector<std::thread> later;
    for (int t = 0; t < 5; ++t) later.emplace_back([this] { ActivateWindow(window_); });
    // Each asks right after looking at the window's thread.
    EXPECT_TRUE(lmvntest::WaitUntil([] { return g_asked == 6; }, 10000));
    Sleep(50);
    SetEvent(g_releaseFirst);
    first.join();
    for (auto& t : later) t.join();
    CloseHandle(g_firstInside);
    CloseHandle(g_releaseFirst);

    int reads = 0;
    int restores = 0;
    int forwards = 0;
    for (const auto& call : Calls()) {
        reads += call == "get-timeout";
        restores += call == "set-timeout 200000 flags 3";
        forwards += call == "set-foreground";
    }
    EXPECT_EQ(6, forwards);
    EXPECT_EQ(reads, restores);  // the user's value back after each lifting
    // The first alone, the five others together (one of them at worst late):
    // one lifting each would make six.
    EXPECT_LE(reads, 3);
    EXPECT_EQ("set-timeout 200000 flags 3", Calls().back());
}

// EnumWindows walks from the top of the Z order; the callback must stop at the
// first window of the process and skip windows whose owner is unknown.
TEST(ActivateProcessWindow, ActivatesTheFirstWindowOfTheProcessAndStops) {
    static std::vector<HWND> activated;
    static const std::pair<HWND, DWORD> zOrder[] = {
        {reinterpret_cast<HWND>(0x10), 0},    // owner unknown
        {reinterpret_cast<HWND>(0x20), 111},  // another process
        {reinterpret_cast<HWND>(0x30), 222},  // the client: upper window
        {reinterpret_cast<HWND>(0x40), 222},  // the client: lower window
    };
    ScopedApiOverride<decltype(&::GetWindowThreadProcessId)> owner(
        &Win32Api::GetWindowThreadProcessId, [](HWND window, LPDWORD process) -> DWORD {
            for (const auto& [w, pid] : zOrder) {
                if (w == window) {
                    if (process != nullptr) *process = pid;
                    return pid == 0 ? 0 : pid + 1;
                }
            }
            return 0;
        });
    ScopedApiOverride<decltype(&::SetForegroundWindow)> fg(&Win32Api::SetForegroundWindow,
                                                           [](HWND window) -> BOOL {
                                                               activated.push_back(window);
                                                               return TRUE;
                                                           });
    ScopedApiOverride<decltype(&::SystemParametersInfoW)> spi(
        &Win32Api::SystemParametersInfoW, [](UINT, UINT, PVOID, UINT) -> BOOL { return TRUE; });
    ScopedApiOverride<decltype(&::keybd_event)> key(&Win32Api::keybd_event,
                                                    [](BYTE, BYTE, DWORD, ULONG_PTR) {});

    auto enumerate = [](DWORD pid) {
        int visited = 0;
        for (const auto& [w, p] : zOrder) {
            ++visited;
            if (!ActivateProcessWindow(w, static_cast<LPARAM>(pid))) break;
        }
        return visited;
    };

    activated.clear();
    EXPECT_EQ(3, enumerate(222));
    EXPECT_EQ(std::vector<HWND>{reinterpret_cast<HWND>(0x30)}, activated);

    activated.clear();
    EXPECT_EQ(4, enumerate(0));  // identifier 0 never matches an unknown owner
    EXPECT_TRUE(activated.empty());
}

// ---- The real calls under Wine ----------------------------------------------

TEST(ActivationReal, WindowOfAnotherProcessComesForwardAndTimeoutIsKept) {
    using namespace lmvntest;
    const std::wstring client = JoinPath(BuildDir(), L"lmvnclient.exe");
    ASSERT_TRUE(FileExists(client)) << "build lmvnclient first";

    const std::wstring title = L"Activation target " + std::to_wstring(GetCurrentProcessId());
    std::wstring commandLine = L"\"" + client + L"\" --class LmvnActivationTest --title \"" +
                               title + L"\" --lifetime 30000";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(lmvntest::StartTestProcess(commandLine.data(), FALSE, 0, nullptr, &startup, &info));
    HWND window = nullptr;
    WaitUntil(
        [&] {
            window = FindWindowW(L"LmvnActivationTest", title.c_str());
            return window != nullptr;
        },
        10000);
    ASSERT_NE(nullptr, window);

    DWORD before = 0;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &before, 0));
    // Bring something of ours forward first, so the call has work to do.
    HWND mine = CreateWindowExW(0, L"STATIC", L"mine", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr,
                                nullptr, nullptr, nullptr);
    SetForegroundWindow(mine);

    EXPECT_NE(FALSE, ActivateWindow(window));
    EXPECT_EQ(window, GetForegroundWindow());

    DWORD after = 0;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &after, 0));
    EXPECT_EQ(before, after);

    // EnumWindows with the client's process id brings the same window forward.
    SetForegroundWindow(mine);
    EnumWindows(ActivateProcessWindow, static_cast<LPARAM>(info.dwProcessId));
    EXPECT_EQ(window, GetForegroundWindow());

    DestroyWindow(mine);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(info.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(info.hProcess, 1);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

}  // namespace
}  // namespace lmvn
