#include "job/client_window.h"

#include "diag/format.h"
#include "win/process_start.h"

#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <mutex>

namespace lmvn {
namespace {

// Copy-data mode keeps looking for the target window after the client has
// become idle for input: 40 cycles of one 250 ms pause, about 10 seconds.
constexpr int kPollCycles = 40;
constexpr DWORD kPollPauseMs = 250;

constexpr DWORD kClientIdleWaitMs = 20000;  // modes 1 and 2, before searching again

const wchar_t* OrNone(const wchar_t* text) { return text[0] != L'\0' ? text : nullptr; }

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

}  // namespace

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

HWND FindTargetWindow(const ClientSettings& settings) {
    return Win32().FindWindowW(OrNone(settings.targetWindowClass),
                               OrNone(settings.targetWindowTitle));
}

namespace {

// The outcome of a search that found nothing after this job started the
// client: it ended early, or it runs without the window.
ClientSearch::Outcome AfterStart(const UniqueProcess& client, ClientSearch& search) {
    Win32Api& api = Win32();
    if (api.WaitForSingleObject(client.process.get(), 0) == WAIT_OBJECT_0 &&
        api.GetExitCodeProcess(client.process.get(), &search.exitCode)) {
        return ClientSearch::Outcome::Ended;
    }
    return ClientSearch::Outcome::NoWindow;
}

}  // namespace

HWND FindOrStartClientWindow(const ClientSettings& settings, UniqueProcess& client, bool poll,
                             ClientSearch* search) {
    Win32Api& api = Win32();
    ClientSearch ignored;
    ClientSearch& why = search != nullptr ? *search : ignored;
    why = ClientSearch{};
    HWND window = nullptr;
    const StartTurn turn = TakeClientStartTurn(settings, window);
    if (turn == StartTurn::Found) {  // already running: not started
        why.outcome = ClientSearch::Outcome::Found;
        return window;
    }
    // Another job has started it: its window, if the start brought one.
    if (turn == StartTurn::Waited) {
        window = FindTargetWindow(settings);
        if (window != nullptr) why.outcome = ClientSearch::Outcome::Found;
        return window;
    }
    const ClientStartTurn starting(turn == StartTurn::Mine);

    // The client command line alone; the window will be told the path.
    wchar_t commandLine[kTextUnits] = {};
    CopyText(commandLine, settings.commandLine);
    if (!StartClient(commandLine, client)) {  // shows as no window
        why.outcome = ClientSearch::Outcome::StartFailed;
        why.error = ::GetLastError();
        return nullptr;
    }
    if (api.WaitForInputIdle(client.process.get(), kClientIdleWaitMs) != 0) {
        why.outcome = AfterStart(client, why) == ClientSearch::Outcome::Ended
                          ? ClientSearch::Outcome::Ended
                          : ClientSearch::Outcome::NotReady;
        return nullptr;
    }

    if (!poll) {
        window = FindTargetWindow(settings);
        why.outcome = window != nullptr ? ClientSearch::Outcome::Found : AfterStart(client, why);
        return window;
    }

    // A client may create its window some time after it first waits for
    // input; keep looking, for a bounded time.
    for (int cycle = 0; cycle < kPollCycles; ++cycle) {
        window = FindTargetWindow(settings);
        if (window != nullptr) break;
        api.Sleep(kPollPauseMs);
        window = FindTargetWindow(settings);
        if (window != nullptr) break;
    }
    why.outcome = window != nullptr ? ClientSearch::Outcome::Found : AfterStart(client, why);
    return window;
}

void DescribeClientSearch(std::span<wchar_t> out, const ClientSettings& settings,
                          const ClientSearch& search) {
    switch (search.outcome) {
        case ClientSearch::Outcome::Found:
            FormatText(out, L"the window was found");
            return;
        case ClientSearch::Outcome::StartFailed:
            FormatText(out, L"the start of the client failed with error %u", search.error);
            return;
        case ClientSearch::Outcome::NotReady:
            FormatText(out,
                       L"the client was started but did not become ready for input within %u s",
                       kClientIdleWaitMs / 1000);
            return;
        case ClientSearch::Outcome::Ended:
            FormatText(out,
                       L"the client was started but ended (exit code %u) before its window "
                       L"was found",
                       search.exitCode);
            return;
        case ClientSearch::Outcome::NoWindow:
            break;
    }
    // Empty class or title: any.
    wchar_t windowClass[kTextUnits + 8] = {};
    wchar_t windowTitle[kTextUnits + 8] = {};
    if (settings.targetWindowClass[0] != L'\0') {
        FormatText(windowClass, L"class \"%s\"", settings.targetWindowClass);
    } else {
        CopyText(windowClass, L"any class");
    }
    if (settings.targetWindowTitle[0] != L'\0') {
        FormatText(windowTitle, L"title \"%s\"", settings.targetWindowTitle);
    } else {
        CopyText(windowTitle, L"any title");
    }
    FormatText(out, L"no window of %s and %s was found", windowClass, windowTitle);
}

}  // namespace lmvn
