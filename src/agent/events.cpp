#include "agent/events.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/report.h"

namespace lmvn {

void FormatEventNames(EventNames& names, BOOL nt4Mode, const wchar_t* userName, DWORD sessionId) {
    if (nt4Mode) {
        FormatText(names.print, L"%s_printevent", kPrinterName);
        FormatText(names.shared, L"%s_shared_printing_event", kPrinterName);
        FormatText(names.kill, L"%s_killevent", kPrinterName);
    } else {
        FormatText(names.print, L"Global\\%s_%s_printevent_SESSION%d", userName, kPrinterName,
                   static_cast<int>(sessionId));
        FormatText(names.shared, L"Global\\%s_shared_printing_event", kPrinterName);
        FormatText(names.kill, L"Global\\%s_killevent", kPrinterName);
    }
}

BOOL CreateAgentEvents(AgentEvents& events, const wchar_t* userName) {
    DWORD sessionId = 0;
    if (!NT4Mode) {
        if (!Win32().ProcessIdToSessionId(Win32().GetCurrentProcessId(), &sessionId)) {
            sessionId = 0;
        }
    }
    EventNames names;
    FormatEventNames(names, NT4Mode, userName, sessionId);

    // A null DACL: every account, a service in another session included, may
    // open and set the events.
    SECURITY_DESCRIPTOR descriptor = {};
    Win32().InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    Win32().SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};

    HANDLE print = Win32().CreateEventW(&attributes, TRUE, FALSE, names.print);
    const DWORD printError = ::GetLastError();
    if (print == nullptr) {
        ReportSystemError(reports::kPrintEventFailed, printError);
        return FALSE;
    }
    events.print.reset(print);
    if (printError == ERROR_ALREADY_EXISTS) {
        Win32().MessageBeep(0xFFFFFFFF);
        return FALSE;
    }

    events.shared.reset(Win32().CreateEventW(&attributes, TRUE, FALSE, names.shared));
    if (!events.shared) {
        // 0: the last error of the failed creation.
        ReportSystemError(reports::kSharedEventFailed, 0);
        return FALSE;
    }

    events.kill.reset(Win32().CreateEventW(&attributes, TRUE, FALSE, names.kill));
    if (!events.kill) events.kill.reset(Win32().OpenEventW(SYNCHRONIZE, FALSE, names.kill));
    return TRUE;
}

}  // namespace lmvn
