#include "job/delivery.h"

#include "job/ansi_path.h"
#include "job/client_window.h"
#include "job/clipboard_delivery.h"
#include "job/job_files.h"

#include "diag/format.h"
#include "diag/report.h"
#include "support/capture.h"
#include "support/harness.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace lmvn {
namespace {

using lmvntest::FileExists;
using lmvntest::TempDir;
using lmvntest::WriteFileBytes;

// ---- Fakes behind the seam ----------------------------------------------------
//
// Stage programs: the preprocessor and the progress indicator do not start;
// the converter "runs" (its handles are signalled events, so waiting for it
// returns at once) unless a test makes it fail. The client application's start
// is recorded and succeeds or fails as a test says. The printer queue is absent,
// and each attempt to open it counts as one purge.

constexpr DWORD kClientPid = 777;

struct World {
    bool converterStarts = true;
    bool clientStarts = true;
    int clientSystemFailures = 0;  // the client's next starts that fail for the system's sake
    DWORD idleResult = 0;
    std::vector<std::wstring> clientCommandLines;
    std::vector<DWORD> idleWaits;
    int purges = 0;
    std::vector<LPARAM> enumeratedFor;
    // The target window's view of WM_COPYDATA and posted messages.
    int copyDataCount = 0;
    ULONG_PTR dwData = 0xDEAD;
    DWORD cbData = 0;
    std::string payload;  // all cbData bytes
    std::vector<UINT> posted;
};
World world;

bool Contains(const wchar_t* text, const wchar_t* part) {
    return text != nullptr && std::wcsstr(text, part) != nullptr;
}

void FakeProcess(LPPROCESS_INFORMATION info) {
    info->hProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    info->hThread = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    info->dwProcessId = kClientPid;
    info->dwThreadId = kClientPid + 1;
}

BOOL WINAPI FakeCreateProcess(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                              LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                              LPPROCESS_INFORMATION info) {
    if (Contains(commandLine, L"preprocess.exe") || Contains(commandLine, L"progress.exe")) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (Contains(commandLine, L"lmvndisp.exe")) {
        if (!world.converterStarts) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        FakeProcess(info);
        return TRUE;
    }
    world.clientCommandLines.push_back(commandLine);
    if (world.clientSystemFailures > 0) {
        --world.clientSystemFailures;
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }
    if (!world.clientStarts) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    FakeProcess(info);
    return TRUE;
}

DWORD WINAPI FakeWaitForInputIdle(HANDLE, DWORD ms) {
    world.idleWaits.push_back(ms);
    return world.idleResult;
}

BOOL WINAPI FakeOpenPrinter(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW) {
    ++world.purges;
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
}

BOOL WINAPI FakeEnumWindows(WNDENUMPROC, LPARAM param) {
    world.enumeratedFor.push_back(param);
    return TRUE;
}

// What the target window does on a clipboard message, besides counting it.
void (*onClipboardMessage)(HWND target) = nullptr;

LRESULT CALLBACK TargetProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        ++world.copyDataCount;
        world.dwData = data->dwData;
        world.cbData = data->cbData;
        world.payload.assign(static_cast<const char*>(data->lpData), data->cbData);
        return TRUE;
    }
    if (message >= 0x8000 && message <= 0xBFFF) {
        world.posted.push_back(message);
        if (onClipboardMessage != nullptr) onClipboardMessage(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

constexpr wchar_t kTargetClass[] = L"LmvnDeliveryTarget";

// A job description file in a scratch folder, listing three EMF entries of
// which the middle one is empty, and a fourth file beyond "Count".
struct JobFiles {
    TempDir dir{L"lmvndlv"};
    std::wstring job = dir / L"job.ini";
    std::wstring page0 = dir / L"page0.emf";
    std::wstring page2 = dir / L"page2.emf";
    std::wstring page3 = dir / L"page3.emf";

    explicit JobFiles(const std::string& extraDocument = "") {
        auto narrow = [](const std::wstring& w) { return std::string(w.begin(), w.end()); };
        WriteFileBytes(job, "[Document]\r\nJobID=42\r\n" + extraDocument +
                                "[EMF]\r\nCount=3\r\nFile0=" + narrow(page0) +
                                "\r\nFile1=\r\nFile2=" + narrow(page2) +
                                "\r\nFile3=" + narrow(page3) + "\r\n");
        for (const auto& page : {page0, page2, page3}) WriteFileBytes(page, "EMF");
    }
    bool AllThere() const {
        return FileExists(job) && FileExists(page0) && FileExists(page2) && FileExists(page3);
    }
};

class Delivery : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = TargetProc;
        wc.lpszClassName = kTargetClass;
        RegisterClassW(&wc);
    }
    void SetUp() override {
        world = World{};
        title_ = L"Delivery target " + std::to_wstring(GetCurrentProcessId());
        target_ = CreateWindowExW(0, kTargetClass, title_.c_str(), WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, target_);
        CopyText(settings_.clientApplication, L"client.exe");
        CopyText(settings_.commandLine, L"client.exe");
        CopyText(settings_.targetWindowClass, kTargetClass);
        CopyText(settings_.clipboardFormat, L"Lumvane Job");
    }
    void TearDown() override {
        if (target_ != nullptr) DestroyWindow(target_);
    }
    std::vector<lmvntest::CapturedBox> Boxes() { return reports_.Boxes(); }

    lmvntest::ReportCapture reports_;
    ScopedApiOverride<decltype(&::CreateProcessW)> create_{&Win32Api::CreateProcessW,
                                                           &FakeCreateProcess};
    ScopedApiOverride<decltype(&::WaitForInputIdle)> idle_{&Win32Api::WaitForInputIdle,
                                                           &FakeWaitForInputIdle};
    ScopedApiOverride<decltype(&::OpenPrinterW)> printer_{&Win32Api::OpenPrinterW,
                                                          &FakeOpenPrinter};
    ScopedApiOverride<decltype(&::EnumWindows)> enum_{&Win32Api::EnumWindows, &FakeEnumWindows};
    ClientSettings settings_;
    UniqueProcess client_;
    std::wstring title_;
    HWND target_ = nullptr;
};

// ---- Copy-data mode -------------------------------------------------------------

TEST_F(Delivery, CopyDataSends260BytesWithTheSignedMessageId) {
    struct Case {
        DWORD messageId;
        ULONG_PTR dwData;
    };
    const Case cases[] = {{0, 0},
                          {0x12345, 0x12345},
                          {0xFFFFFFFF, static_cast<ULONG_PTR>(-1)},
                          {0x80000000, static_cast<ULONG_PTR>(static_cast<LONG_PTR>(INT_MIN))}};
    for (const Case& c : cases) {
        world = World{};
        settings_.messageId = c.messageId;
        const wchar_t path[] = L"C:\\jobs\\0123456.ini";  // 19 characters
        EXPECT_EQ(1u, DeliverByCopyData(path, settings_, client_));
        ASSERT_EQ(1, world.copyDataCount);
        EXPECT_EQ(c.dwData, world.dwData) << c.messageId;
        EXPECT_EQ(260u, world.cbData);
        EXPECT_STREQ("C:\\jobs\\0123456.ini", world.payload.c_str());
        EXPECT_TRUE(world.clientCommandLines.empty());  // the window was there already
        EXPECT_EQ(1, world.purges);
    }
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(Delivery, CopyDataPathInTheAnsiCodePage) {
    // The code page of the test bed is 1252: é has a byte of its own.
    CopyText(settings_.targetWindowClass, L"");
    CopyText(settings_.targetWindowTitle, title_.c_str());  // found by title alone
    EXPECT_EQ(1u, DeliverByCopyData(L"C:\\jobs\\caf\u00e9\\job.ini", settings_, client_));
    ASSERT_EQ(1, world.copyDataCount);
    EXPECT_STREQ("C:\\jobs\\caf\xe9\\job.ini", world.payload.c_str());
}

TEST_F(Delivery, CopyDataSendsNothingForAPathWithoutAnAnsiForm) {
    JobFiles files;
    ScopedApiOverride<decltype(&::WideCharToMultiByte)> noAnsi(
        &Win32Api::WideCharToMultiByte,
        [](UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) -> int {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        });
    EXPECT_EQ(1u, DeliverByCopyData(files.job.c_str(), settings_, client_));
    EXPECT_EQ(0, world.copyDataCount);
    ASSERT_EQ(1u, Boxes().size());
    EXPECT_EQ(reports::kTargetInaccessible.text, Boxes()[0].text);
    EXPECT_TRUE(files.AllThere());
    EXPECT_EQ(1, world.purges);
}

TEST_F(Delivery, CopyDataWithoutAWindowReportsAndKeepsTheFiles) {
    JobFiles files;
    CopyText(settings_.targetWindowClass, L"NoSuchWindowClass");
    world.clientStarts = false;
    EXPECT_EQ(1u, DeliverByCopyData(files.job.c_str(), settings_, client_));
    EXPECT_EQ(1u, world.clientCommandLines.size());
    EXPECT_EQ(L"client.exe", world.clientCommandLines[0]);  // no path in modes 1 and 2
    ASSERT_EQ(1u, Boxes().size());
    EXPECT_EQ(reports::kTargetInaccessible.text, Boxes()[0].text);
    EXPECT_TRUE(files.AllThere());
}

// ---- Finding or starting the client -------------------------------------------------

int searches = 0;
int findOnSearch = 0;  // 0: never
DWORD sleptMs = 0;
HWND foundWindow = reinterpret_cast<HWND>(0x7777);

HWND WINAPI CountingFind(LPCWSTR, LPCWSTR) {
    ++searches;
    return searches == findOnSearch ? foundWindow : nullptr;
}
void WINAPI CountingSleep(DWORD ms) { sleptMs += ms; }

TEST_F(Delivery, CopyDataPollingIsBoundedToTenSeconds) {
    ScopedApiOverride<decltype(&::FindWindowW)> find(&Win32Api::FindWindowW, &CountingFind);
    ScopedApiOverride<decltype(&::Sleep)> sleep(&Win32Api::Sleep, &CountingSleep);
    searches = 0;
    findOnSearch = 0;
    sleptMs = 0;
    EXPECT_EQ(nullptr, FindOrStartClientWindow(settings_, client_, true));
    EXPECT_EQ(10000u, sleptMs);
    EXPECT_EQ(1 + 80, searches);  // the first search, then two per 250 ms cycle
    EXPECT_EQ(std::vector<DWORD>{20000}, world.idleWaits);
    EXPECT_TRUE(client_.process.valid());  // kept for the common end

    // A window that shows up on the fifth search ends the polling there.
    client_ = UniqueProcess{};
    searches = 0;
    findOnSearch = 5;
    sleptMs = 0;
    EXPECT_EQ(foundWindow, FindOrStartClientWindow(settings_, client_, true));
    EXPECT_EQ(5, searches);
    EXPECT_EQ(500u, sleptMs);
}

TEST_F(Delivery, WithoutPollingOrAfterAFailedIdleWaitTheSearchIsShort) {
    ScopedApiOverride<decltype(&::FindWindowW)> find(&Win32Api::FindWindowW, &CountingFind);
    ScopedApiOverride<decltype(&::Sleep)> sleep(&Win32Api::Sleep, &CountingSleep);
    searches = 0;
    findOnSearch = 0;
    sleptMs = 0;
    EXPECT_EQ(nullptr, FindOrStartClientWindow(settings_, client_, false));
    EXPECT_EQ(2, searches);
    EXPECT_EQ(0u, sleptMs);

    client_ = UniqueProcess{};
    searches = 0;
    world.idleResult = WAIT_TIMEOUT;
    EXPECT_EQ(nullptr, FindOrStartClientWindow(settings_, client_, true));
    EXPECT_EQ(1, searches);
    EXPECT_EQ(0u, sleptMs);
}

// A job that finds no window while another is starting the client waits for
// that start, then takes its window, instead of starting a second copy.
HANDLE g_inStart = nullptr;
HANDLE g_release = nullptr;
HANDLE g_secondSearched = nullptr;
LONG g_searches = 0;

TEST_F(Delivery, OverlappingJobsStartTheClientOnce) {
    g_inStart = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_secondSearched = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_searches = 0;
    ScopedApiOverride<decltype(&::WaitForInputIdle)> slowStart(
        &Win32Api::WaitForInputIdle, [](HANDLE, DWORD) -> DWORD {
            SetEvent(g_inStart);
            WaitForSingleObject(g_release, 10000);
            return 0;
        });
    ScopedApiOverride<decltype(&::FindWindowW)> find(&Win32Api::FindWindowW,
                                                     [](LPCWSTR cls, LPCWSTR title) -> HWND {
                                                         if (InterlockedIncrement(&g_searches) == 2)
                                                             SetEvent(g_secondSearched);
                                                         return FindWindowW(cls, title);
                                                     });
    CopyText(settings_.targetWindowClass, L"LmvnLateTarget");
    WNDCLASSW wc{};
    wc.lpfnWndProc = TargetProc;
    wc.lpszClassName = L"LmvnLateTarget";
    RegisterClassW(&wc);

    UniqueProcess second;
    HWND firstWindow = nullptr;
    HWND secondWindow = nullptr;
    std::thread starting([&] { firstWindow = FindOrStartClientWindow(settings_, client_, true); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_inStart, 10000));
    std::thread joining([&] { secondWindow = FindOrStartClientWindow(settings_, second, true); });
    const DWORD searched = WaitForSingleObject(g_secondSearched, 10000);
    // The client's window comes only now.
    HWND late = CreateWindowExW(0, L"LmvnLateTarget", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                nullptr, nullptr);
    SetEvent(g_release);
    starting.join();
    joining.join();
    EXPECT_EQ(WAIT_OBJECT_0, searched);
    EXPECT_EQ(1u, world.clientCommandLines.size());
    EXPECT_EQ(late, firstWindow);
    EXPECT_EQ(late, secondWindow);
    EXPECT_FALSE(second.process.valid());  // nothing of its own to close
    DestroyWindow(late);
    for (HANDLE h : {g_inStart, g_release, g_secondSearched}) CloseHandle(h);
}

// ---- Clipboard mode ---------------------------------------------------------------

TEST(ClipboardMessage, ForcedIntoTheApplicationRange) {
    EXPECT_EQ(0x8000u, ClipboardMessageFor(0));
    EXPECT_EQ(0x8000u, ClipboardMessageFor(0x7FFF));
    EXPECT_EQ(0x8000u, ClipboardMessageFor(0x8000));
    EXPECT_EQ(0x9ABCu, ClipboardMessageFor(0x9ABC));
    EXPECT_EQ(0xBFFFu, ClipboardMessageFor(0xBFFF));
    EXPECT_EQ(0x8000u, ClipboardMessageFor(0xC000));
    EXPECT_EQ(0x8000u, ClipboardMessageFor(0xFFFFFFFF));  // -1
    EXPECT_EQ(0x8000u, ClipboardMessageFor(0x80009000));  // negative, low word in range
}

// A clipboard of our own behind the seam, recording the order of the calls.
// The agent's owner window is real; the fake tells it to render as the
// system would when a program reads the offered format.
struct FakeClipboard {
    bool recording = false;
    std::vector<std::string> calls;
    bool opens = true;
    bool offers = true;
    bool allocates = true;
    bool locks = true;
    bool renders = true;           // false: placing the block fails (nobody holds it open)
    bool readsOnMessage = true;    // the target window reads while handling its message
    bool closesOnMessage = false;  // ... or closes instead
    HWND opener = nullptr;         // the window that opened it last
    HWND owner = nullptr;          // the window that emptied it last
    UINT offered = 0;              // a format offered without data
    HANDLE placed = nullptr;
    std::string placedBytes;
    SIZE_T placedSize = 0;
    ULONGLONG clock = 1000000;  // the agent's tick count; its waits move it on
};
FakeClipboard clip;
bool noAnsiForm = false;  // the job path converts to nothing

void Record(const std::string& call) {
    if (clip.recording) clip.calls.push_back(call);
}

// The target window handles the clipboard message: it reads the format,
// which makes the system ask the owner to render it.
void ReadOnMessage(HWND target) {
    if (clip.closesOnMessage) {
        Record("target closes");
        DestroyWindow(target);
        return;
    }
    if (!clip.readsOnMessage || clip.offered == 0) return;
    Record("read");
    SendMessageW(clip.owner, WM_RENDERFORMAT, clip.offered, 0);
}

class ClipboardDelivery : public Delivery {
  protected:
    void SetUp() override {
        Delivery::SetUp();
        clip = FakeClipboard{};
        settings_.transferMode = 2;
        onClipboardMessage = &ReadOnMessage;
    }
    void TearDown() override {
        onClipboardMessage = nullptr;
        noAnsiForm = false;
        if (clip.placed != nullptr) GlobalFree(clip.placed);
        Delivery::TearDown();
    }
    void Reset() {
        if (clip.placed != nullptr) GlobalFree(clip.placed);
        clip = FakeClipboard{};
        world = World{};
    }

    ScopedApiOverride<decltype(&::RegisterClipboardFormatW)> register_{
        &Win32Api::RegisterClipboardFormatW, [](LPCWSTR name) -> UINT {
            clip.recording = true;
            Record(std::wstring(name) == L"Lumvane Job" ? "register" : "register ?");
            return 0xC123;
        }};
    ScopedApiOverride<decltype(&::OpenClipboard)> open_{
        &Win32Api::OpenClipboard, [](HWND owner) -> BOOL {
            Record(owner == nullptr ? "open" : "open with owner");
            if (!clip.opens) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            clip.opener = owner;
            return TRUE;
        }};
    ScopedApiOverride<decltype(&::EmptyClipboard)> empty_{&Win32Api::EmptyClipboard, []() -> BOOL {
                                                              Record("empty");
                                                              clip.owner = clip.opener;
                                                              clip.offered = 0;
                                                              return TRUE;
                                                          }};
    ScopedApiOverride<decltype(&::CloseClipboard)> close_{&Win32Api::CloseClipboard, []() -> BOOL {
                                                              Record("close");
                                                              return TRUE;
                                                          }};
    ScopedApiOverride<decltype(&::GetClipboardOwner)> owner_{&Win32Api::GetClipboardOwner,
                                                             []() -> HWND { return clip.owner; }};
    ScopedApiOverride<decltype(&::SetClipboardData)> set_{
        &Win32Api::SetClipboardData, [](UINT format, HANDLE block) -> HANDLE {
            if (block == nullptr) {  // an offer: the result says nothing
                Record(format == 0xC123 ? "offer" : "offer ?");
                if (!clip.offers) SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
                if (clip.offers) clip.offered = format;
                return nullptr;
            }
            Record(format == 0xC123 ? "render" : "render ?");
            if (!clip.renders) {
                SetLastError(ERROR_CLIPBOARD_NOT_OPEN);
                return nullptr;
            }
            clip.placed = block;
            clip.placedSize = GlobalSize(block);
            const char* bytes = static_cast<const char*>(GlobalLock(block));
            clip.placedBytes.assign(bytes, clip.placedSize);
            GlobalUnlock(block);
            return block;
        }};
    ScopedApiOverride<decltype(&::GlobalAlloc)> alloc_{
        &Win32Api::GlobalAlloc, [](UINT flags, SIZE_T size) -> HGLOBAL {
            Record("alloc " + std::to_string(flags) + " " + std::to_string(size));
            if (!clip.allocates) return nullptr;
            return GlobalAlloc(flags, size);
        }};
    ScopedApiOverride<decltype(&::GlobalLock)> lock_{&Win32Api::GlobalLock,
                                                     [](HGLOBAL block) -> LPVOID {
                                                         Record("lock");
                                                         if (!clip.locks) return nullptr;
                                                         return GlobalLock(block);
                                                     }};
    ScopedApiOverride<decltype(&::GlobalUnlock)> unlock_{&Win32Api::GlobalUnlock,
                                                         [](HGLOBAL block) -> BOOL {
                                                             Record("unlock");
                                                             return GlobalUnlock(block);
                                                         }};
    ScopedApiOverride<decltype(&::GlobalFree)> free_{&Win32Api::GlobalFree,
                                                     [](HGLOBAL block) -> HGLOBAL {
                                                         Record("free");
                                                         return GlobalFree(block);
                                                     }};
    ScopedApiOverride<decltype(&::IsWindow)> isWindow_{&Win32Api::IsWindow, [](HWND w) -> BOOL {
                                                           Record("is-window");
                                                           return IsWindow(w);
                                                       }};
    ScopedApiOverride<decltype(&::SetForegroundWindow)> foreground_{&Win32Api::SetForegroundWindow,
                                                                    [](HWND) -> BOOL {
                                                                        Record("activate");
                                                                        return TRUE;
                                                                    }};
    ScopedApiOverride<decltype(&::PostMessageW)> post_{
        &Win32Api::PostMessageW, [](HWND w, UINT message, WPARAM wp, LPARAM lp) -> BOOL {
            Record("post " + std::to_string(message) + " " + std::to_string(wp) + " " +
                   std::to_string(lp));
            return PostMessageW(w, message, wp, lp);
        }};
    // The agent's clock: each wait for messages that nothing ends passes its
    // whole time at once.
    ScopedApiOverride<decltype(&::GetTickCount64)> ticks_{&Win32Api::GetTickCount64,
                                                          []() -> ULONGLONG { return clip.clock; }};
    ScopedApiOverride<decltype(&::MsgWaitForMultipleObjects)> wait_{
        &Win32Api::MsgWaitForMultipleObjects,
        [](DWORD, const HANDLE*, BOOL, DWORD ms, DWORD) -> DWORD {
            MSG message;
            if (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) return WAIT_OBJECT_0;
            clip.clock += ms;
            return WAIT_TIMEOUT;
        }};
    ScopedApiOverride<decltype(&::WideCharToMultiByte)> ansi_{
        &Win32Api::WideCharToMultiByte,
        [](UINT codePage, DWORD flags, LPCWCH wide, int units, LPSTR ansi, int bytes,
           LPCCH defaultChar, LPBOOL usedDefault) -> int {
            if (noAnsiForm) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            return WideCharToMultiByte(codePage, flags, wide, units, ansi, bytes, defaultChar,
                                       usedDefault);
        }};
    // Reports land in the sequence too, so that we see whether the clipboard
    // is still open while the box is up.
    ScopedApiOverride<decltype(&::MessageBoxW)> box_{
        &Win32Api::MessageBoxW, [](HWND, LPCWSTR text, LPCWSTR, UINT) -> int {
            std::string code = "box ?";
            if (Contains(text, L"Target application is inaccessible.")) code = "box F007";
            if (Contains(text, L"Failed to set clipboard data.")) code = "box F008";
            if (Contains(text, L"Failed to open clipboard.")) code = "box F009";
            Record(code);
            return IDOK;
        }};
};

TEST_F(ClipboardDelivery, OffersThePathPostsAndPlacesItOnlyWhenTheClientReads) {
    JobFiles files;
    settings_.messageId = 0xBFFF;
    EXPECT_EQ(1u, DeliverJob(files.job.c_str(), settings_, client_));
    const std::vector<std::string> expected = {
        "register", "alloc 2 260", "lock", "unlock",
        // The agent's own window owns the clipboard, which holds no data yet
        // and is closed at once.
        "open with owner", "empty", "is-window", "offer", "close", "activate", "post 49151 0 0",
        // The client reads while handling the message: only now is the path
        // placed. Then the reader has closed the clipboard again.
        "read", "render", "open with owner", "close"};
    EXPECT_EQ(expected, clip.calls);
    EXPECT_EQ(260u, clip.placedSize);
    EXPECT_STREQ(std::string(files.job.begin(), files.job.end()).c_str(), clip.placedBytes.c_str());
    EXPECT_EQ(std::vector<UINT>{0xBFFF}, world.posted);
    EXPECT_TRUE(files.AllThere());
    EXPECT_EQ(1, world.purges);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ClipboardDelivery, OutOfRangeMessageIdsPost0x8000) {
    for (DWORD id : {0x0u, 0x7FFFu, 0xC000u, 0xFFFFFFFFu}) {
        JobFiles files;
        Reset();
        settings_.messageId = id;
        EXPECT_EQ(1u, DeliverJob(files.job.c_str(), settings_, client_));
        EXPECT_EQ(std::vector<UINT>{0x8000}, world.posted) << id;
    }
}

// A client that does not read: after the bound, or once its window has gone,
// the path is withdrawn (the clipboard emptied while it still holds the
// offer, the block released), the clipboard is closed before the report, and
// the job's files stay.
TEST_F(ClipboardDelivery, AnUnreadPathIsWithdrawnAndReportedWithTheFilesKept) {
    struct Case {
        const char* name;
        bool closes;
        std::vector<std::string> tail;
    };
    const Case cases[] = {
        {"never reads", false, {"open with owner", "empty", "close", "free", "box F007"}},
        {"window closed",
         true,
         {"target closes", "is-window", "open with owner", "empty", "close", "free", "box F007"}},
    };
    for (const Case& c : cases) {
        JobFiles files;
        Reset();
        clip.readsOnMessage = false;
        clip.closesOnMessage = c.closes;
        const ULONGLONG start = clip.clock;
        EXPECT_EQ(1u, DeliverJob(files.job.c_str(), settings_, client_)) << c.name;
        ASSERT_GT(clip.calls.size(), c.tail.size()) << c.name;
        EXPECT_EQ(c.tail,
                  std::vector<std::string>(clip.calls.end() - c.tail.size(), clip.calls.end()))
            << c.name;
        // Only a client that is there and silent is waited for, a minute.
        EXPECT_EQ(c.closes ? 0u : 60000u, clip.clock - start) << c.name;
        EXPECT_EQ(nullptr, clip.placed) << c.name;
        EXPECT_TRUE(files.AllThere()) << c.name;
        EXPECT_EQ(1, world.purges) << c.name;
    }
}

// A render request that cannot be answered (one that some program sent while
// nobody held the clipboard open) fails the job with its files kept, and the
// offer is withdrawn: a later reader finds nothing of this job.
TEST_F(ClipboardDelivery, AFailedRenderingWithdrawsTheOffer) {
    JobFiles files;
    clip.renders = false;
    EXPECT_EQ(1u, DeliverJob(files.job.c_str(), settings_, client_));
    const std::vector<std::string> tail = {"read",  "render", "open with owner", "empty",
                                           "close", "free",   "box F008"};
    ASSERT_GT(clip.calls.size(), tail.size());
    EXPECT_EQ(tail, std::vector<std::string>(clip.calls.end() - tail.size(), clip.calls.end()));
    EXPECT_EQ(0u, clip.offered);
    EXPECT_EQ(nullptr, clip.placed);
    EXPECT_TRUE(files.AllThere());
}

TEST_F(ClipboardDelivery, ClipboardHeldElsewhereLeavesEverythingAlone) {
    JobFiles files;
    clip.opens = false;
    EXPECT_EQ(1u, DeliverJob(files.job.c_str(), settings_, client_));
    // Ten tries, 20 ms apart, then the report.
    std::vector<std::string> expected = {"register", "alloc 2 260", "lock", "unlock"};
    expected.insert(expected.end(), 10, "open with owner");
    expected.push_back("free");
    expected.push_back("box F009");
    EXPECT_EQ(expected, clip.calls);
    EXPECT_TRUE(files.AllThere());
    EXPECT_EQ(1, world.purges);
}

// Each failure after the clipboard was opened: it is left empty and closed
// before the report; an unplaced block is released. A path the ANSI code page
// cannot spell keeps the job's files; every other failure deletes them (the
// listed EMF files, skipping the empty entry; nothing beyond Count).
TEST_F(ClipboardDelivery, FailuresCloseTheClipboardBeforeTheReport) {
    struct Case {
        const char* name;
        void (*arrange)(ClientSettings&);
        std::vector<std::string> expected;
        bool filesKept;
    };
    const Case cases[] = {
        {"no target window",
         [](ClientSettings& s) {
             CopyText(s.targetWindowClass, L"NoSuchWindowClass");
             world.clientStarts = false;
         },
         {"register", "alloc 2 260", "lock", "unlock", "open with owner", "empty", "is-window",
          "close", "free", "box F007"},
         false},
        {"data not offered",
         [](ClientSettings&) { clip.offers = false; },
         {"register", "alloc 2 260", "lock", "unlock", "open with owner", "empty", "is-window",
          "offer", "close", "free", "box F008"},
         false},
        {"no memory",
         [](ClientSettings&) { clip.allocates = false; },
         {"register", "alloc 2 260", "open with owner", "empty", "is-window", "close", "box F008"},
         false},
        {"lock refused",
         [](ClientSettings&) { clip.locks = false; },
         {"register", "alloc 2 260", "lock", "free", "open with owner", "empty", "is-window",
          "close", "box F008"},
         false},
        {"no ANSI form",
         [](ClientSettings&) { noAnsiForm = true; },
         {"register", "open with owner", "empty", "is-window", "close", "box F008"},
         true},
    };
    for (const Case& c : cases) {
        JobFiles files;
        Reset();
        noAnsiForm = false;
        ClientSettings settings = settings_;
        c.arrange(settings);
        EXPECT_EQ(1u, DeliverJob(files.job.c_str(), settings, client_)) << c.name;
        EXPECT_EQ(c.expected, clip.calls) << c.name;
        EXPECT_EQ(nullptr, clip.placed) << c.name;
        if (c.filesKept) {
            EXPECT_TRUE(files.AllThere()) << c.name;
        } else {
            EXPECT_FALSE(FileExists(files.job)) << c.name;
            EXPECT_FALSE(FileExists(files.page0)) << c.name;
            EXPECT_FALSE(FileExists(files.page2)) << c.name;
            EXPECT_TRUE(FileExists(files.page3)) << c.name;  // File3 lies beyond Count=3
        }
        EXPECT_EQ(1, world.purges) << c.name;
        EXPECT_TRUE(world.posted.empty()) << c.name;
    }
}

// ---- Modes 1 and 2 without a target window identification ---------------------

TEST_F(Delivery, NoClassAndNoTitleStopsBeforeAnyStage) {
    for (DWORD mode : {1u, 2u}) {
        JobFiles files;
        world = World{};
        settings_.transferMode = mode;
        CopyText(settings_.targetWindowClass, L"");
        CopyText(settings_.targetWindowTitle, L"");
        int starts = 0;
        static int* counter = nullptr;
        counter = &starts;
        ScopedApiOverride<decltype(&::CreateProcessW)> anyStart(
            &Win32Api::CreateProcessW,
            [](LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
               LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) -> BOOL {
                ++*counter;
                return FALSE;
            });
        EXPECT_EQ(0u, DeliverJob(files.job.c_str(), settings_, client_)) << mode;
        EXPECT_EQ(0, starts) << mode;
        EXPECT_EQ(0, world.purges) << mode;
        EXPECT_FALSE(FileExists(files.job)) << mode;
        EXPECT_TRUE(FileExists(files.page0)) << mode;
    }
    const auto boxes = Boxes();
    ASSERT_EQ(2u, boxes.size());
    for (const auto& box : boxes) EXPECT_TRUE(Contains(box.text.c_str(), L"re-install"));
}

// ---- Command-line mode --------------------------------------------------------------

TEST_F(Delivery, CommandLineAppendsThePathAndActivatesAfterIdle) {
    CopyText(settings_.commandLine, L"\"C:\\Program Files\\client.exe\" --open");
    EXPECT_EQ(1u, DeliverJob(L"C:\\my jobs\\job 1.ini", settings_, client_));
    ASSERT_EQ(1u, world.clientCommandLines.size());
    EXPECT_EQ(L"\"C:\\Program Files\\client.exe\" --open C:\\my jobs\\job 1.ini",
              world.clientCommandLines[0]);
    EXPECT_EQ(std::vector<DWORD>{10000}, world.idleWaits);
    EXPECT_EQ(std::vector<LPARAM>{kClientPid}, world.enumeratedFor);
    EXPECT_EQ(1, world.purges);
    EXPECT_FALSE(client_.process.valid());  // closed at the common end

    // Not idle in time: no activation.
    world = World{};
    world.idleResult = WAIT_TIMEOUT;
    EXPECT_EQ(1u, DeliverJob(L"C:\\jobs\\job.ini", settings_, client_));
    EXPECT_TRUE(world.enumeratedFor.empty());
    EXPECT_EQ(1, world.purges);
}

TEST_F(Delivery, CommandLineKeepsTheLongestPathWhole) {
    std::wstring client = L"C:\\" + std::wstring(252, L'c') + L".exe";  // 259 units
    std::wstring path = L"C:\\" + std::wstring(252, L'p') + L".ini";
    ASSERT_EQ(259u, client.size());
    CopyText(settings_.commandLine, client.c_str());
    EXPECT_EQ(1u, DeliverJob(path.c_str(), settings_, client_));
    ASSERT_EQ(1u, world.clientCommandLines.size());
    EXPECT_EQ(client + L" " + path, world.clientCommandLines[0]);
}

TEST_F(Delivery, CommandLineClientThatCannotStart) {
    JobFiles files;
    world.clientStarts = false;
    EXPECT_EQ(1u, DeliverJob(files.job.c_str(), settings_, client_));
    ASSERT_EQ(1u, Boxes().size());
    EXPECT_TRUE(Contains(Boxes()[0].text.c_str(), L"external dispatcher"));
    EXPECT_FALSE(FileExists(files.job));
    EXPECT_TRUE(FileExists(files.page0));
    EXPECT_TRUE(FileExists(files.page2));
    EXPECT_TRUE(world.idleWaits.empty());
    EXPECT_EQ(1, world.purges);
}

TEST_F(Delivery, CommandLineClientStartTheSystemFailedIsMadeAgain) {
    world.clientSystemFailures = 1;
    EXPECT_EQ(1u, DeliverJob(L"C:\\jobs\\job.ini", settings_, client_));
    EXPECT_EQ(2u, world.clientCommandLines.size());
    EXPECT_EQ(std::vector<DWORD>{10000}, world.idleWaits);  // the second start went on
    EXPECT_TRUE(Boxes().empty());
}

// ---- How the stages end a job ------------------------------------------------------

TEST_F(Delivery, CancelledJobEndsWithoutClientOrSecondPurge) {
    for (DWORD mode : {0u, 1u, 2u}) {
        JobFiles files("PreprocessingResult=cAnCeL\r\n");
        world = World{};
        settings_.transferMode = mode;
        EXPECT_EQ(0u, DeliverJob(files.job.c_str(), settings_, client_)) << mode;
        EXPECT_EQ(0, world.purges) << mode;
        EXPECT_TRUE(world.clientCommandLines.empty()) << mode;
        EXPECT_EQ(0, world.copyDataCount) << mode;
        EXPECT_TRUE(files.AllThere()) << mode;
    }
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(Delivery, FailedConverterStopsTheJobWithTheCommonEnd) {
    for (DWORD mode : {0u, 1u, 2u}) {
        JobFiles files;
        world = World{};
        world.converterStarts = false;
        settings_.transferMode = mode;
        EXPECT_EQ(1u, DeliverJob(files.job.c_str(), settings_, client_)) << mode;
        EXPECT_EQ(1, world.purges) << mode;
        EXPECT_TRUE(world.clientCommandLines.empty()) << mode;
        EXPECT_EQ(0, world.copyDataCount) << mode;
        EXPECT_FALSE(FileExists(files.job)) << mode;
        EXPECT_TRUE(FileExists(files.page0)) << mode;
    }
    const auto boxes = Boxes();
    ASSERT_EQ(3u, boxes.size());
    for (const auto& box : boxes) EXPECT_EQ(reports::kConverterMissing.text, box.text);
}

// ---- DeleteJobFiles -------------------------------------------------------------------

TEST(DeleteJobFiles, NegativeOrMissingCountDeletesOnlyTheJobFile) {
    for (const char* count : {"Count=-1\r\n", "Count=0\r\n", ""}) {
        TempDir dir(L"lmvndel");
        const std::wstring job = dir / L"job.ini";
        const std::wstring page = dir / L"page0.emf";
        std::string pageA(page.begin(), page.end());
        WriteFileBytes(job, std::string("[EMF]\r\n") + count + "File0=" + pageA + "\r\n");
        WriteFileBytes(page, "EMF");
        DeleteJobFiles(job.c_str());
        EXPECT_FALSE(FileExists(job)) << count;
        EXPECT_TRUE(FileExists(page)) << count;
    }
}

TEST(DeleteJobFiles, HugeCountIsBoundedAndAFailedDeletionDoesNotStopIt) {
    static int reads = 0;
    static std::vector<std::wstring> deleted;
    ScopedApiOverride<decltype(&::GetPrivateProfileIntW)> count(
        &Win32Api::GetPrivateProfileIntW,
        [](LPCWSTR, LPCWSTR, INT, LPCWSTR) -> UINT { return 2147483647u; });
    ScopedApiOverride<decltype(&::GetPrivateProfileStringW)> entry(
        &Win32Api::GetPrivateProfileStringW,
        [](LPCWSTR, LPCWSTR key, LPCWSTR, LPWSTR out, DWORD size, LPCWSTR) -> DWORD {
            ++reads;
            // Every entry names a file but File1, which is empty.
            const std::wstring name =
                std::wstring(key) == L"File1" ? L"" : std::wstring(key) + L".emf";
            CopyText(std::span<wchar_t>(out, size), name.c_str());
            return static_cast<DWORD>(name.size());
        });
    ScopedApiOverride<decltype(&::DeleteFileW)> del(&Win32Api::DeleteFileW,
                                                    [](LPCWSTR path) -> BOOL {
                                                        deleted.emplace_back(path);
                                                        SetLastError(ERROR_FILE_NOT_FOUND);
                                                        return FALSE;
                                                    });
    DeleteJobFiles(L"job.ini");
    EXPECT_LE(reads, 10000);
    EXPECT_GE(reads, 5000);  // a real job of thousands of pages is still cleaned up
    ASSERT_GE(deleted.size(), 3u);
    EXPECT_EQ(L"File0.emf", deleted[0]);
    EXPECT_EQ(L"File2.emf", deleted[1]);  // File1 was empty: skipped
    EXPECT_EQ(L"job.ini", deleted.back());
    EXPECT_EQ(static_cast<size_t>(reads), deleted.size());  // all but File1, plus the job file
}

// The same bound with the real profile reader: a corrupt "Count" costs seconds,
// not hours, and the listed files still go.
TEST(DeleteJobFiles, HugeCountInARealFileFinishesInReasonableTime) {
    TempDir dir(L"lmvndel");
    const std::wstring job = dir / L"job.ini";
    const std::wstring page0 = dir / L"page0.emf";
    const std::wstring page2 = dir / L"page2.emf";
    WriteFileBytes(job,
                   "[EMF]\r\nCount=2147483647\r\nFile0=" + std::string(page0.begin(), page0.end()) +
                       "\r\nFile2=" + std::string(page2.begin(), page2.end()) + "\r\n");
    WriteFileBytes(page0, "EMF");
    WriteFileBytes(page2, "EMF");
    const ULONGLONG start = GetTickCount64();
    DeleteJobFiles(job.c_str());
    const ULONGLONG took = GetTickCount64() - start;
    std::printf("DeleteJobFiles with Count=2147483647 took %llu ms\n", took);
    EXPECT_LT(took, 20000u);
    EXPECT_FALSE(FileExists(page0));
    EXPECT_FALSE(FileExists(page2));
    EXPECT_FALSE(FileExists(job));
}

}  // namespace
}  // namespace lmvn
