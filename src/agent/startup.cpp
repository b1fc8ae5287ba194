#include "agent/agent_main.h"

#include "common/settings.h"
#include "diag/format.h"
#include "win/registry.h"
#include "win/unique.h"

namespace lmvn {

bool IsNT4(const OSVERSIONINFOW& version) { return version.dwMajorVersion == 4; }

void ReadAgentSettings(wchar_t (&userName)[64]) {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    Win32().GetVersionExW(&version);
    NT4Mode = IsNT4(version) ? TRUE : FALSE;

    FormatText(AgentCaption, L"%s agent", kPrinterName);

    DWORD size = kUserNameUnits;
    if (!Win32().GetUserNameW(userName, &size)) userName[0] = L'\0';

    wchar_t keyPath[256] = {};
    FormatText(keyPath, kKeyPathFormat, kPrinterName);
    UniqueKey key;
    if (Win32().RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.put()) ==
        ERROR_SUCCESS) {
        // Absent, oversize or unterminated values keep their defaults.
        (void)ReadDwordValue(key.get(), L"Log", LogEnabled);
        (void)ReadDwordValue(key.get(), L"Message Mode", MessageMode);
        (void)ReadTextValue(key.get(), L"LogDestDir", LogDestDir);
    }
    key.reset();

    wchar_t messageName[kTextUnits] = {};
    FormatText(messageName, L"%s_notify_message", kPrinterName);
    NotifyMessageId = Win32().RegisterWindowMessageW(messageName);
}

}  // namespace lmvn
