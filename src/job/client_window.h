// Finding the client application's target window, and starting the client.
#pragma once

#include "job/client_settings.h"
#include "win/unique.h"

#include <span>

namespace lmvn {

// Starts the client with `commandLine` (CreateProcessW may write to it) and
// puts its handles into the job's client slot. False when it cannot start.
bool StartClient(std::span<wchar_t> commandLine, UniqueProcess& client);

// FindWindowW with the target window's class and title (an empty one: any).
HWND FindTargetWindow(const ClientSettings& settings);

// Why FindOrStartClientWindow found no window, for the log line that names
// the cause of the report that follows.
struct ClientSearch {
    enum class Outcome {
        Found,        // the window is there
        StartFailed,  // the client could not be started: `error`
        NotReady,     // started, but not idle for input in time (or the wait failed)
        Ended,        // started, but it ended before its window was found: `exitCode`
        NoWindow      // no window of that class and title (started or not)
    };
    Outcome outcome = Outcome::NoWindow;
    DWORD error = 0;
    DWORD exitCode = 0;
};

// Finds the target window, starting the client application when there is
// none; with `poll`, keeps looking for a bounded time. While another job of
// this agent is starting the same client, waits for that start instead and
// then looks once more. The window, or null; `search`, when given, says why
// there is none.
HWND FindOrStartClientWindow(const ClientSettings& settings, UniqueProcess& client, bool poll,
                             ClientSearch* search = nullptr);

// One sentence (no full stop) naming why the search found no window, for
// the log: "no window of class "X" and any title was found", "the start of
// the client failed with error 2", ...
void DescribeClientSearch(std::span<wchar_t> out, const ClientSettings& settings,
                          const ClientSearch& search);

}  // namespace lmvn
