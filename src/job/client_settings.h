// The client settings of one job, read afresh for every job: per-user values
// under HKCU\Software\Lumvane win over machine-wide ones, value by value. The
// machine-wide ones come from HKLM\Software\Lumvane\Settings, or from
// HKLM\Software\Lumvane where no Settings key exists (OpenMachineSettingsKey).
#pragma once

#include "common/settings.h"
#include "win/registry.h"

namespace lmvn {

struct ClientSettings {
    wchar_t clientApplication[kTextUnits] = {};  // "Client Application"
    DWORD transferMode = 0;                      // "Transfer Mode": 1 copy-data, 2 clipboard
    wchar_t targetWindowClass[kTextUnits] = {};  // "Target Window Class"
    wchar_t targetWindowTitle[kTextUnits] = {};  // "Target Window Title"
    wchar_t clipboardFormat[kTextUnits] = {};    // "Clipboard Format"
    DWORD messageId = 0;                         // "Message ID"
    // "Client Application", quoted when it holds a blank and does not begin
    // with a double quote.
    wchar_t commandLine[kTextUnits] = {};
};

// The six values in the order they are read.
enum ClientValue : int {
    kClientApplication,
    kTransferMode,
    kTargetWindowClass,
    kTargetWindowTitle,
    kClipboardFormat,
    kMessageId,
    kClientValueCount
};
inline constexpr const wchar_t* kClientValueNames[kClientValueCount] = {
    L"Client Application",  L"Transfer Mode",    L"Target Window Class",
    L"Target Window Title", L"Clipboard Format", L"Message ID"};
// Whether the value is a 32-bit number (else text of kTextUnits units).
inline constexpr bool IsNumberValue(int value) {
    return value == kTransferMode || value == kMessageId;
}

// The keys a value is looked up in, in that order.
enum SettingsLayer : int { kMachinePolicy, kUserPolicy, kUser, kMachine, kLayerCount };

// How the lookup of the settings went, for a configuration check. The reads
// are the lookup's own: a key is read only when the keys before it had no
// readable value.
struct ClientSettingsTrace {
    LONG keyStatus[kLayerCount] = {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND,
                                   ERROR_FILE_NOT_FOUND};
    SettingsPlace machinePlace = SettingsPlace::None;
    struct Value {
        ValueSource source = ValueSource::Default;
        bool tried[kLayerCount] = {};  // reads[layer] is that read's result
        ValueRead reads[kLayerCount];
    } values[kClientValueCount];
};

// The lookup without any report: opens the policy keys under `machineRoot`
// and `userRoot`, `userRoot`\keyPath and the machine settings key under
// `machineRoot`\keyPath for reading, and fills `settings` (defaults first),
// each value from the first key that has it readable. Returns ERROR_SUCCESS
// when any key opened, else the machine settings key's error. `trace`, when
// given, tells where each value came from and what each read met.
[[nodiscard]] LONG LookUpClientSettings(HKEY userRoot, HKEY machineRoot, const wchar_t* keyPath,
                                        ClientSettings& settings,
                                        ClientSettingsTrace* trace = nullptr);

// Fills `settings` from the registry. Reports and returns FALSE when neither
// key can be opened (111 when the machine key is absent, else 0xF006).
BOOL ReadClientSettings(const wchar_t* keyPath, ClientSettings& settings);

enum class CommandLineResult {
    Ready,          // settings.commandLine holds the command
    NoApplication,  // "Client Application" is empty: report 112
    TooLong,        // quoting would not fit the command line: report 113
};
// Fills settings.commandLine from settings.clientApplication, reporting
// nothing (left empty unless Ready).
CommandLineResult ComposeClientCommandLine(ClientSettings& settings);

// Prepares settings.commandLine from settings.clientApplication. Reports,
// deletes the job description file and returns FALSE when there is no client
// application.
BOOL PrepareClientCommandLine(ClientSettings& settings, const wchar_t* jobPath);

}  // namespace lmvn
