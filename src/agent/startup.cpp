#include "agent/agent_main.h"

#include "common/settings.h"
#include "diag/format.h"
#include "win/registry.h"
#include "win/unique.h"

namespace lmvn {

bool IsNT4(const OSVERSIONINFOW& version) { return version.dwMajorVersion == 4; }

void ReadAgentValues(DWORD& log, DWORD& messageMode, std::span<wchar_t> logDestDir,
                     AgentValueReads* reads) {
    wchar_t keyPath[256] = {};
    FormatText(keyPath, kKeyPathFormat, kPrinterName);
    UniqueKey key;
    const LONG status =
        OpenMachineSettingsKey(HKEY_LOCAL_MACHINE, keyPath, key, reads ? &reads->place : nullptr);
    if (reads) reads->keyStatus = status;
    if (status != ERROR_SUCCESS) return;
    // Absent, oversize or unterminated values keep their defaults.
    (void)ReadDwordValue(key.get(), L"Log", log, reads ? &reads->log : nullptr);
    (void)ReadDwordValue(key.get(), L"Message Mode", messageMode,
                         reads ? &reads->messageMode : nullptr);
    (void)ReadTextValue(key.get(), L"LogDestDir", logDestDir, reads ? &reads->logDestDir : nullptr);
}

void ReadAgentSettings(wchar_t (&userName)[64]) {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    Win32().GetVersionExW(&version);
    NT4Mode = IsNT4(version) ? TRUE : FALSE;

    FormatText(AgentCaption, L"%s agent", kPrinterName);

    DWORD size = kUserNameUnits;
    if (!Win32().GetUserNameW(userName, &size)) userName[0] = L'\0';

    ReadAgentValues(LogEnabled, MessageMode, LogDestDir);

    wchar_t messageName[kTextUnits] = {};
    FormatText(messageName, L"%s_notify_message", kPrinterName);
    NotifyMessageId = Win32().RegisterWindowMessageW(messageName);
}

}  // namespace lmvn
