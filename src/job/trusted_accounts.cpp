#include "job/trusted_accounts.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "win/security.h"

#include <cwchar>

namespace lmvn {
namespace {

// The errors of a lookup that say a path names no file.
bool NamesNoFile(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME || error == ERROR_BAD_PATHNAME;
}

void LogRefusal(const wchar_t* jobPath, PSID owner, DWORD error) {
    if (LogEnabled == 0) return;
    wchar_t line[kLongTextUnits] = {};
    wchar_t* ownerText = nullptr;
    if (owner != nullptr && Win32().ConvertSidToStringSidW(owner, &ownerText)) {
        const UniqueLocal owned(ownerText);
        FormatText(line, L"Job refused. Its job description file %s is owned by %s.", jobPath,
                   ownerText);
    } else {
        FormatText(line,
                   L"Job refused. The owner of its job description file %s is unknown (error %u).",
                   jobPath, static_cast<unsigned>(error));
    }
    WriteLog(line);
}

}  // namespace

bool IsAccountText(const wchar_t* text) {
    PSID sid = nullptr;
    if (text == nullptr || text[0] == L'\0' || !Win32().ConvertStringSidToSidW(text, &sid)) {
        return false;
    }
    const UniqueLocal owned(sid);
    return true;
}

bool IsTrustedJobOwner(PSID owner, const wchar_t* userSid) {
    if (owner == nullptr) return false;
    if ((userSid[0] != L'\0' && SidIs(owner, userSid)) || SidIs(owner, L"SY") ||
        SidIs(owner, L"BA")) {
        return true;
    }
    bool producer = false;
    ForEachProducerAccount(ProducerAccounts, [&](const wchar_t* account) {
        producer = producer || SidIs(owner, account);
    });
    return producer;
}

BOOL AcceptJobFile(const wchar_t* jobPath) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // The path is the producer's text: the cast only meets the declaration.
    const DWORD error = Win32().GetNamedSecurityInfoW(const_cast<wchar_t*>(jobPath), SE_FILE_OBJECT,
                                                      OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                                      nullptr, nullptr, &descriptor);
    const UniqueLocal owned(descriptor);
    if (error != ERROR_SUCCESS && NamesNoFile(error)) return TRUE;
    wchar_t userSid[kTextUnits] = {};
    (void)CurrentUserSid(userSid);
    if (error == ERROR_SUCCESS && IsTrustedJobOwner(owner, userSid)) return TRUE;
    LogRefusal(jobPath, error == ERROR_SUCCESS ? owner : nullptr, error);
    ReportError(reports::kJobFileUntrusted);
    return FALSE;
}

}  // namespace lmvn
