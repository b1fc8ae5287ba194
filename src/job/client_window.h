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

// Finds the target window, starting the client application when there is
// none; with `poll`, keeps looking for a bounded time. While another job of
// this agent is starting the same client, waits for that start instead and
// then looks once more. The window, or null.
HWND FindOrStartClientWindow(const ClientSettings& settings, UniqueProcess& client, bool poll);

}  // namespace lmvn
