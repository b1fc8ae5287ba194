#include "agent/events.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/report.h"
#include "job/trusted_accounts.h"
#include "win/security.h"

namespace lmvn {
namespace {

// What each event's DACL grants. EVENT_ALL_ACCESS is written out (not GA),
// so that it reads back as written.
constexpr DWORD kSignalRights = SYNCHRONIZE | EVENT_MODIFY_STATE;

// What this agent asks for when it creates or opens each event: only what it
// uses, so that an event created first by another account, with fewer rights
// for this user, still opens.
constexpr DWORD kPrintAccess = SYNCHRONIZE | EVENT_MODIFY_STATE | READ_CONTROL;
constexpr DWORD kSharedAccess = SYNCHRONIZE | EVENT_MODIFY_STATE;
constexpr DWORD kKillAccess = SYNCHRONIZE;

// The shared printing event: every agent resets it after a signal, so every
// account needs EVENT_MODIFY_STATE on it; nobody but SYSTEM and
// Administrators may change its rights or delete it. The OWNER RIGHTS entry
// (S-1-3-4) takes from the account that created it the right to change its
// DACL, which an owner otherwise always has.
constexpr wchar_t kSharedRights[] =
    L"D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)(A;;0x100002;;;WD)(A;;0x120000;;;S-1-3-4)";
// The kill event: only SYSTEM and Administrators (the package's StopAgents,
// an administrator's lmvnsubmit --kill) may set it; every agent waits on it.
constexpr wchar_t kKillRights[] =
    L"D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)(A;;0x100000;;;WD)(A;;0x120000;;;S-1-3-4)";

// The print event of one user: owned by that user; SYSTEM (the producer's
// service), Administrators and the user (lmvnsubmit) have full access; each
// producer account of the machine's settings may set it. Nobody else.
bool FormatPrintRights(std::span<wchar_t> sddl, const wchar_t* userSid) {
    bool fits = FormatText(sddl, L"O:%sD:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)(A;;0x1f0003;;;%s)",
                           userSid, userSid);
    ForEachProducerAccount(ProducerAccounts, [&](const wchar_t* account) {
        wchar_t ace[kTextUnits] = {};
        fits = FormatText(ace, L"(A;;0x100002;;;%s)", account) && fits;
        fits = AppendText(sddl, ace) && fits;
    });
    return fits;
}

// Whether an existing print event is what an agent of this user makes of
// it: owned by the user, and granting full access to SYSTEM, Administrators
// and the user alone, and no more than setting it to anyone else. On
// Windows no other account can make an object owned by this user; the DACL
// tells what Wine, which gives every account the same SID, can show.
bool IsOwnUsersPrintEvent(HANDLE event, const wchar_t* userSid) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (Win32().GetSecurityInfo(event, SE_KERNEL_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const UniqueLocal owned(descriptor);
    if (!SidIs(owner, userSid) || dacl == nullptr) return false;
    return ForEachAllowingAce(*dacl, [&](PSID sid, ACCESS_MASK rights, BYTE flags) {
        if (flags != 0) return false;
        if (rights == EVENT_ALL_ACCESS) {
            return SidIs(sid, L"SY") || SidIs(sid, L"BA") || SidIs(sid, userSid);
        }
        return (rights & ~kSignalRights) == 0;
    });
}

// Creates (or opens) one manual-reset event with `rights` for a new one.
HANDLE CreateManualResetEvent(const wchar_t* name, const wchar_t* rights, DWORD access) {
    UniqueLocal descriptor = DescriptorFromText(rights);
    if (!descriptor) return nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    return Win32().CreateEventExW(&attributes, name, CREATE_EVENT_MANUAL_RESET, access);
}

}  // namespace

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

    wchar_t userSid[kTextUnits] = {};
    wchar_t printRights[kLongTextUnits] = {};
    HANDLE print = nullptr;
    if (CurrentUserSid(userSid) && FormatPrintRights(printRights, userSid)) {
        print = CreateManualResetEvent(names.print, printRights, kPrintAccess);
    } else if (::GetLastError() == ERROR_SUCCESS) {
        ::SetLastError(ERROR_INVALID_PARAMETER);  // the rights did not fit their text
    }
    const DWORD printError = ::GetLastError();
    if (print == nullptr) {
        // A name that exists with rights that shut this user out was not
        // made by an agent of this user.
        if (printError == ERROR_ACCESS_DENIED) {
            ReportError(reports::kPrintEventHeld);
        } else {
            ReportSystemError(reports::kPrintEventFailed, printError);
        }
        return FALSE;
    }
    events.print.reset(print);
    if (printError == ERROR_ALREADY_EXISTS) {
        // Another agent of this user runs in this session: leave it alone.
        // Anything else under the name is another program's.
        if (IsOwnUsersPrintEvent(print, userSid)) {
            Win32().MessageBeep(0xFFFFFFFF);
        } else {
            ReportError(reports::kPrintEventHeld);
        }
        return FALSE;
    }

    events.shared.reset(CreateManualResetEvent(names.shared, kSharedRights, kSharedAccess));
    if (!events.shared) {
        // 0: the last error of the failed creation.
        ReportSystemError(reports::kSharedEventFailed, 0);
        return FALSE;
    }

    // None when the name is taken by an object of another kind: the agent
    // then waits on two events.
    events.kill.reset(CreateManualResetEvent(names.kill, kKillRights, kKillAccess));
    return TRUE;
}

}  // namespace lmvn
