// Delivery of a job to the client application, in one of three transfer
// modes, and the common end of every job that got past its stages.
//
//   command line (mode 0 and every value but 1 and 2): the client is started
//       with the job description file path after its command line;
//   copy-data (mode 1): the ANSI path goes to the target window in a
//       WM_COPYDATA message;
//   clipboard (mode 2): the ANSI path goes on the clipboard in a registered
//       format, and the configured message is sent to the target window;
//       one such delivery at a time, each until the client has answered.
//
// What is handed over is always the path; the client reads the file itself.
#include "job/delivery.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "job/activation.h"
#include "job/purge.h"
#include "job/stages.h"
#include "win/process_start.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <span>

namespace lmvn {
namespace {

// Exit codes of the processing thread.
constexpr DWORD kExitStopped = 0;    // ended before the client was addressed
constexpr DWORD kExitCommonEnd = 1;  // the common end ran (second purge done)

// Copy-data mode keeps looking for the target window after the client has
// become idle for input: 40 cycles of one 250 ms pause, about 10 seconds.
constexpr int kPollCycles = 40;
constexpr DWORD kPollPauseMs = 250;

constexpr DWORD kClientIdleWaitMs = 20000;       // modes 1 and 2, before searching again
constexpr DWORD kCommandLineIdleWaitMs = 10000;  // command-line mode, before activation

// Clipboard mode posts a message in the range 0x8000 to 0xBFFF only.
constexpr LONG kFirstClipboardMessage = 0x8000;  // WM_APP
constexpr LONG kLastClipboardMessage = 0xBFFF;

const wchar_t* OrNone(const wchar_t* text) { return text[0] != L'\0' ? text : nullptr; }

HWND FindTargetWindow(const ClientSettings& settings) {
    return Win32().FindWindowW(OrNone(settings.targetWindowClass),
                               OrNone(settings.targetWindowTitle));
}

bool HasTargetIdentification(const ClientSettings& settings) {
    return settings.targetWindowClass[0] != L'\0' || settings.targetWindowTitle[0] != L'\0';
}

// Modes 1 and 2 with neither class nor title: nothing could ever be found.
DWORD RefuseUnidentifiedTarget(const wchar_t* jobPath) {
    ReportError(reports::kNotConfigured);
    Win32().DeleteFileW(jobPath);
    return kExitStopped;
}

// True when `ansi` converts back to exactly `path`.
bool ConvertsBack(UINT codePage, const char* ansi, const wchar_t* path) {
    wchar_t back[kTextUnits] = {};
    const int units =
        Win32().MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, ansi, -1, back, kTextUnits);
    return units > 0 && std::wcscmp(back, path) == 0;
}

// `path` in `codePage`, zero-terminated, in exactly kAnsiPathBytes bytes (the
// rest zero). True only when every character has bytes of its own there: a
// character the code page lacks would become its default character ("?"), and
// a look-alike (U+FF0F, full-width solidus, for "/") would name another file.
// A form that with its terminator would not fit is refused, never cut.
bool ConvertExactly(UINT codePage, const wchar_t* path, char (&ansi)[kAnsiPathBytes]) {
    Win32Api& api = Win32();
    std::memset(ansi, 0, sizeof(ansi));
    BOOL usedDefault = FALSE;
    int written = api.WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, path, -1, ansi,
                                          kAnsiPathBytes, nullptr, &usedDefault);
    if (written <= 0) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_INVALID_FLAGS || error == ERROR_INVALID_PARAMETER) {
            // UTF-8 (and a few other code pages) take neither the flag nor the
            // question: convert plainly and check the way back instead.
            std::memset(ansi, 0, sizeof(ansi));
            written = api.WideCharToMultiByte(codePage, 0, path, -1, ansi, kAnsiPathBytes, nullptr,
                                              nullptr);
            usedDefault = written > 0 && !ConvertsBack(codePage, ansi, path);
        }
    }
    if (written <= 0 || usedDefault) {
        std::memset(ansi, 0, sizeof(ansi));
        return false;
    }
    return true;
}

// Starts the client with `commandLine` (CreateProcessW may write to it) and
// puts its handles into the job's client slot.
bool StartClient(std::span<wchar_t> commandLine, UniqueProcess& client) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessRetryingW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &started)) {
        return false;
    }
    client.adopt(started);
    return true;
}

// Second purge, then the client's handles (if it was started) are closed.
DWORD CommonEnd(UniqueProcess& client) {
    PurgePrintedJobs();
    client.process.reset();
    client.thread.reset();
    return kExitCommonEnd;
}

// Runs the stages. True when the job goes on to the client; otherwise the job
// is over and `exitCode` says how it ended.
bool RunStages(const wchar_t* jobPath, UniqueHandle& progress, UniqueProcess& client,
               DWORD& exitCode) {
    switch (RunStageSequence(jobPath, progress)) {
        case StageOutcome::Converted:
            return true;
        case StageOutcome::Cancelled:
            // The preprocessor's verdict: nothing more, not even the purge.
            exitCode = kExitStopped;
            return false;
        case StageOutcome::ConverterFailed:
            // Reported, and the job description file is gone: there is nothing
            // left to deliver. Tidy up as every other ended job does.
            if (progress) CloseProgressIndicator(std::move(progress));
            exitCode = CommonEnd(client);
            return false;
    }
    exitCode = kExitStopped;
    return false;
}

// The clipboard block: kAnsiPathBytes movable bytes holding the ANSI path.
// None when it cannot be allocated, converted into or locked; a block that
// was allocated is then released here.
UniqueGlobal MakeClipboardBlock(const wchar_t* jobPath) {
    Win32Api& api = Win32();
    UniqueGlobal block(api.GlobalAlloc(GMEM_MOVEABLE, kAnsiPathBytes));
    if (!block) return {};
    char ansi[kAnsiPathBytes];
    if (!ToAnsiPath(jobPath, ansi)) return {};
    void* bytes = api.GlobalLock(block.get());
    if (bytes == nullptr) return {};
    std::memcpy(bytes, ansi, kAnsiPathBytes);
    api.GlobalUnlock(block.get());
    return block;
}

// ---- One start of the client for overlapping jobs ---------------------------
//
// In a batch, every job that looks for the target window while the client is
// still starting finds none. The first of them starts the client; the others
// wait for that start to end and then look for its window, rather than each
// starting a copy of its own.

// The longest a start takes after the process has been created (idle wait,
// then the polling), and a margin for the creation itself.
constexpr DWORD kClientStartWaitMs = kClientIdleWaitMs + kPollCycles * kPollPauseMs + 5000;

struct ClientStart {
    std::mutex lock;
    std::condition_variable ended;
    bool underWay = false;
    unsigned long long generation = 0;  // starts that have ended
    // The start under way: what it runs and the window it looks for.
    wchar_t commandLine[kTextUnits] = {};
    wchar_t windowClass[kTextUnits] = {};
    wchar_t windowTitle[kTextUnits] = {};
};
ClientStart clientStart;

bool IsStartUnderWayFor(const ClientSettings& settings) {
    return clientStart.underWay &&
           std::wcscmp(clientStart.commandLine, settings.commandLine) == 0 &&
           std::wcscmp(clientStart.windowClass, settings.targetWindowClass) == 0 &&
           std::wcscmp(clientStart.windowTitle, settings.targetWindowTitle) == 0;
}

enum class StartTurn {
    Found,    // the window is there: nothing to start
    Waited,   // another job's start of the same client has ended (or the wait did)
    Mine,     // this job starts the client; the others wait for it
    Unshared  // another client is being started: this job starts its own alone
};

// Looks for the window and, when there is none, decides who starts the client.
StartTurn TakeClientStartTurn(const ClientSettings& settings, HWND& window) {
    std::unique_lock<std::mutex> hold(clientStart.lock);
    window = FindTargetWindow(settings);
    if (Win32().IsWindow(window)) return StartTurn::Found;
    if (IsStartUnderWayFor(settings)) {
        const unsigned long long joined = clientStart.generation;
        clientStart.ended.wait_for(hold, std::chrono::milliseconds(kClientStartWaitMs),
                                   [&] { return clientStart.generation != joined; });
        return StartTurn::Waited;
    }
    if (clientStart.underWay) return StartTurn::Unshared;
    clientStart.underWay = true;
    CopyText(clientStart.commandLine, settings.commandLine);
    CopyText(clientStart.windowClass, settings.targetWindowClass);
    CopyText(clientStart.windowTitle, settings.targetWindowTitle);
    return StartTurn::Mine;
}

// Ends this job's start of the client, found window or not, and wakes the
// jobs that wait for it.
class ClientStartTurn {
  public:
    explicit ClientStartTurn(bool mine) : mine_(mine) {}
    ~ClientStartTurn() {
        if (!mine_) return;
        {
            std::lock_guard<std::mutex> hold(clientStart.lock);
            clientStart.underWay = false;
            ++clientStart.generation;
        }
        clientStart.ended.notify_all();
    }
    ClientStartTurn(const ClientStartTurn&) = delete;
    ClientStartTurn& operator=(const ClientStartTurn&) = delete;

  private:
    bool mine_;
};

// ---- One clipboard delivery at a time -------------------------------------------
//
// The clipboard holds one job's path at a time, and a client reads it when it
// handles its message. So a job keeps the clipboard to itself, within the
// agent, from opening it until the client has answered the message (or the
// answer is overdue); the next job's path cannot overwrite one not yet read.
std::mutex clipboardDeliveryLock;

// How long the client may take to answer the clipboard message.
constexpr UINT kClipboardAnswerMs = 10000;

// Another program may hold the clipboard for a moment (a clipboard viewer
// reading a change, a client reading its path): a few more tries before
// giving up.
constexpr int kOpenClipboardAttempts = 10;
constexpr DWORD kOpenClipboardPauseMs = 20;

bool OpenClipboardForDelivery(ClipboardScope& clipboard) {
    for (int attempt = 1; !clipboard.open(nullptr) && attempt < kOpenClipboardAttempts; ++attempt) {
        Win32().Sleep(kOpenClipboardPauseMs);
    }
    return clipboard.opened();
}

// Sends the clipboard message; true once the client has handled it, false
// when it did not within kClipboardAnswerMs (or seems hung, or is gone).
bool SendClipboardMessage(HWND window, UINT message) {
    DWORD_PTR answer = 0;
    return Win32().SendMessageTimeoutW(window, message, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                                       kClipboardAnswerMs, &answer) != 0;
}

}  // namespace

// The short form names the same file and is plain ASCII wherever the volume
// keeps short names. There is none for a file that does not exist, and a
// volume that keeps none gives the long form back, which fails again.
bool ToAnsiPath(const wchar_t* jobPath, char (&ansi)[kAnsiPathBytes]) {
    const UINT codePage = NT4Mode ? CP_ACP : CP_THREAD_ACP;
    if (ConvertExactly(codePage, jobPath, ansi)) return true;
    wchar_t shortPath[kTextUnits] = {};
    const DWORD units = Win32().GetShortPathNameW(jobPath, shortPath, kTextUnits);
    if (units == 0 || units >= kTextUnits) return false;  // none, or too long for the buffer
    return ConvertExactly(codePage, shortPath, ansi);
}

UINT ClipboardMessageFor(DWORD messageId) {
    const LONG id = static_cast<LONG>(messageId);
    if (id < kFirstClipboardMessage || id > kLastClipboardMessage) return kFirstClipboardMessage;
    return static_cast<UINT>(id);
}

DWORD DeliverJob(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client) {
    switch (settings.transferMode) {
        case 1:
            return DeliverByCopyData(jobPath, settings, client);
        case 2:
            return DeliverByClipboard(jobPath, settings, client);
        default:
            return DeliverByCommandLine(jobPath, settings, client);
    }
}

HWND FindOrStartClientWindow(const ClientSettings& settings, UniqueProcess& client, bool poll) {
    Win32Api& api = Win32();
    HWND window = nullptr;
    const StartTurn turn = TakeClientStartTurn(settings, window);
    if (turn == StartTurn::Found) return window;  // already running: not started
    // Another job has started it: its window, if the start brought one.
    if (turn == StartTurn::Waited) return FindTargetWindow(settings);
    const ClientStartTurn starting(turn == StartTurn::Mine);

    // The client command line alone; the window will be told the path.
    wchar_t commandLine[kTextUnits] = {};
    CopyText(commandLine, settings.commandLine);
    if (!StartClient(commandLine, client)) return nullptr;  // shows as no window
    if (api.WaitForInputIdle(client.process.get(), kClientIdleWaitMs) != 0) return nullptr;

    if (!poll) return FindTargetWindow(settings);

    // A client may create its window some time after it first waits for
    // input; keep looking, for a bounded time.
    for (int cycle = 0; cycle < kPollCycles; ++cycle) {
        window = FindTargetWindow(settings);
        if (window != nullptr) return window;
        api.Sleep(kPollPauseMs);
        window = FindTargetWindow(settings);
        if (window != nullptr) return window;
    }
    return nullptr;
}

DWORD DeliverByCopyData(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client) {
    Win32Api& api = Win32();
    if (!HasTargetIdentification(settings)) return RefuseUnidentifiedTarget(jobPath);

    UniqueHandle progress;
    DWORD exitCode = kExitStopped;
    if (!RunStages(jobPath, progress, client, exitCode)) return exitCode;

    const HWND window = FindOrStartClientWindow(settings, client, true);
    // The progress indicator stays up while the client starts.
    if (progress) CloseProgressIndicator(std::move(progress));

    char payload[kAnsiPathBytes];
    const bool converted = ToAnsiPath(jobPath, payload);
    COPYDATASTRUCT data{};
    // "Message ID" as a signed 32-bit number, widened to pointer size.
    data.dwData =
        static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(settings.messageId)));
    data.cbData = kAnsiPathBytes;
    data.lpData = payload;

    if (LogEnabled != 0) WriteLog(L"Sending WM_COPYDATA.");
    if (converted && api.IsWindow(window)) {
        // Returns once the client has handled the message.
        api.SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
        ActivateWindow(window);
    } else {
        // No window, or a path with no ANSI form that fits: nothing is sent,
        // and the files stay for another attempt.
        ReportError(reports::kTargetInaccessible);
    }
    return CommonEnd(client);
}

DWORD DeliverByClipboard(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client) {
    Win32Api& api = Win32();
    if (!HasTargetIdentification(settings)) return RefuseUnidentifiedTarget(jobPath);
    const UINT message = ClipboardMessageFor(settings.messageId);

    UniqueHandle progress;
    DWORD exitCode = kExitStopped;
    if (!RunStages(jobPath, progress, client, exitCode)) return exitCode;

    const HWND window = FindOrStartClientWindow(settings, client, false);
    if (progress) CloseProgressIndicator(std::move(progress));

    // A failed registration gives 0, which SetClipboardData refuses below.
    const UINT format = api.RegisterClipboardFormatW(settings.clipboardFormat);

    std::unique_lock<std::mutex> turn(clipboardDeliveryLock);
    ClipboardScope clipboard;
    if (!OpenClipboardForDelivery(clipboard)) {
        // Another program holds it: nothing touched, nothing deleted.
        turn.unlock();
        ReportError(reports::kOpenClipboardFailed);
        return CommonEnd(client);
    }
    api.EmptyClipboard();
    UniqueGlobal block = MakeClipboardBlock(jobPath);

    const ReportKind* failure = nullptr;
    if (!api.IsWindow(window)) {
        failure = &reports::kTargetInaccessible;
    } else if (!block || api.SetClipboardData(format, block.get()) == nullptr) {
        // Also a path with no ANSI form, or a block that could not be made.
        failure = &reports::kSetClipboardFailed;
    }
    if (failure != nullptr) {
        // The clipboard stays open (and empty) while the report is shown; the
        // next job need not wait for the box to be answered.
        turn.unlock();
        ReportError(*failure);
        clipboard.close();
        block.reset();  // never handed to the clipboard: ours to release
        DeleteJobFiles(jobPath);
        return CommonEnd(client);
    }

    (void)block.release();  // the clipboard owns the block now
    clipboard.close();
    ActivateWindow(window);
    const bool answered = SendClipboardMessage(window, message);
    turn.unlock();
    // A client that did not answer in time may still read the clipboard later,
    // when it may hold a later job's path: this job counts as not delivered,
    // and its files stay.
    if (!answered) ReportError(reports::kTargetInaccessible);
    return CommonEnd(client);
}

DWORD DeliverByCommandLine(const wchar_t* jobPath, ClientSettings& settings,
                           UniqueProcess& client) {
    Win32Api& api = Win32();
    UniqueHandle progress;
    DWORD exitCode = kExitStopped;
    if (!RunStages(jobPath, progress, client, exitCode)) return exitCode;
    if (progress) CloseProgressIndicator(std::move(progress));

    // Client command line, one blank, the path unquoted. Room for the longest
    // of both, so the path always arrives whole.
    wchar_t commandLine[2 * kTextUnits] = {};
    CopyText(commandLine, settings.commandLine);
    AppendText(commandLine, L" ");
    AppendText(commandLine, jobPath);

    if (LogEnabled != 0) WriteLog(L"Run client application.");
    if (!StartClient(commandLine, client)) {
        ReportError(reports::kDispatcherFailed);
        api.DeleteFileW(jobPath);  // the EMF files stay
        return CommonEnd(client);
    }
    if (api.WaitForInputIdle(client.process.get(), kCommandLineIdleWaitMs) == 0) {
        api.EnumWindows(ActivateProcessWindow, static_cast<LPARAM>(client.processId));
    }
    return CommonEnd(client);
}

void DeleteJobFiles(const wchar_t* jobPath) {
    Win32Api& api = Win32();
    // Signed: a negative count deletes nothing.
    const int count = static_cast<int>(api.GetPrivateProfileIntW(L"EMF", L"Count", 0, jobPath));
    // Each entry costs one read of the file (about half a millisecond), so a
    // corrupt "Count" such as 2147483647 would keep the thread busy for days.
    // 10000 pages is far beyond any real job and costs a few seconds at most.
    const int bounded = count < kMaxJobFiles ? count : kMaxJobFiles;
    for (int index = 0; index < bounded; ++index) {
        wchar_t key[16] = {};
        FormatText(key, L"File%d", index);
        // One unit more than a path can have: an entry that fills it is longer
        // than any path, and cut to fit it would name some other file.
        wchar_t file[kTextUnits + 1] = {};
        const DWORD length =
            api.GetPrivateProfileStringW(L"EMF", key, L"", file, kTextUnits + 1, jobPath);
        // A failed deletion does not stop the loop.
        if (file[0] != L'\0' && length < kTextUnits) api.DeleteFileW(file);
    }
    api.DeleteFileW(jobPath);
}

}  // namespace lmvn
