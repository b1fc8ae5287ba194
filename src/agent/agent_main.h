#pragma once

#include "win/registry.h"

#include <windows.h>

#include <span>

namespace lmvn {

// The agent's entry routine: start-up, the named events and the main loop,
// shutdown on the kill event. Ignores its arguments; returns 0 on every path.
int WINAPI AgentMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show);

// Start-up steps 2 to 6: NT4Mode, AgentCaption, the user name, the agent's
// registry values and the notify message. `userName` has 64 units.
void ReadAgentSettings(wchar_t (&userName)[64]);

// What start-up's reads of the agent's own values met, for a configuration
// check.
struct AgentValueReads {
    LONG keyStatus = ERROR_FILE_NOT_FOUND;  // opening the machine settings key
    SettingsPlace place = SettingsPlace::None;
    ValueRead log;
    ValueRead messageMode;
    ValueRead logDestDir;
};

// Reads "Log", "Message Mode" and "LogDestDir" raw from the machine settings
// key (OpenMachineSettingsKey), as start-up does: an absent, oversize or unterminated value leaves
// its output untouched. `reads`, when given, receives what each read met.
void ReadAgentValues(DWORD& log, DWORD& messageMode, std::span<wchar_t> logDestDir,
                     AgentValueReads* reads = nullptr);

// The NT4Mode rule over a version record: major version 4.
bool IsNT4(const OSVERSIONINFOW& version);

}  // namespace lmvn
