#pragma once

#include "common/settings.h"
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

// The agent's own values, as start-up reads them.
struct AgentValues {
    DWORD log = 0;                                          // "Log"
    DWORD messageMode = 0;                                  // "Message Mode"
    wchar_t logDestDir[kLogDestDirUnits] = {};              // "LogDestDir"
    wchar_t producerAccounts[kProducerAccountsUnits] = {};  // "Producer Accounts"
    DWORD eventLog = 1;                                     // "Event Log"
    DWORD logMaxSize = kDefaultLogMaxSize;                  // "LogMaxSize", KiB
};

// What start-up's reads of the agent's own values met, for a configuration
// check: for each value, where it came from and the read that decided (the
// machine settings key's read when no key had it).
struct AgentValueReads {
    LONG keyStatus = ERROR_FILE_NOT_FOUND;  // opening the machine settings key
    SettingsPlace place = SettingsPlace::None;
    struct Value {
        ValueSource source = ValueSource::Default;
        ValueRead read;
    };
    Value log;
    Value messageMode;
    Value logDestDir;
    Value producerAccounts;
    Value eventLog;
    Value logMaxSize;
};

// Reads the agent's values raw, each from the first key that has it
// readable: the machine policy (HKLM\Software\Policies\Lumvane), for "Message
// Mode" alone then the user policy (the same path under `userRoot`), then the
// machine settings key (OpenMachineSettingsKey). The other values are the
// machine's: one log file (and its bound) and one Event Log serve every user. An absent,
// oversize or unterminated value leaves its default. `reads`, when given,
// receives what each read met.
void ReadAgentValues(AgentValues& values, AgentValueReads* reads = nullptr,
                     HKEY userRoot = HKEY_CURRENT_USER);

// The NT4Mode rule over a version record: major version 4.
bool IsNT4(const OSVERSIONINFOW& version);

}  // namespace lmvn
