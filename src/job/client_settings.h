// The client settings of one job, read afresh for every job: per-user values
// under HKCU\Software\Lumvane win over machine-wide ones under HKLM, value by
// value.
#pragma once

#include "common/settings.h"

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

// Fills `settings` from the registry. Reports and returns FALSE when neither
// key can be opened (111 when the machine key is absent, else 0xF006).
BOOL ReadClientSettings(const wchar_t* keyPath, ClientSettings& settings);

// Prepares settings.commandLine from settings.clientApplication. Reports,
// deletes the job description file and returns FALSE when there is no client
// application.
BOOL PrepareClientCommandLine(ClientSettings& settings, const wchar_t* jobPath);

}  // namespace lmvn
