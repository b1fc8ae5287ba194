#pragma once

#include <windows.h>

namespace lmvn {

// The agent's entry routine: start-up, the named events and the main loop,
// shutdown on the kill event. Ignores its arguments; returns 0 on every path.
int WINAPI AgentMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show);

// Start-up steps 2 to 6: NT4Mode, AgentCaption, the user name, the agent's
// registry values and the notify message. `userName` has 64 units.
void ReadAgentSettings(wchar_t (&userName)[64]);

// The NT4Mode rule over a version record: major version 4.
bool IsNT4(const OSVERSIONINFOW& version);

}  // namespace lmvn
