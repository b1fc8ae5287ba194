#include "job/trusted_accounts.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "job/job_files.h"
#include "win/file_identity.h"
#include "win/security.h"
#include "win/unique.h"
#include "win/win32api.h"

#include <cwchar>

namespace lmvn {
namespace {

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
    Win32Api& api = Win32();
    // The owner and the identity come from one open of the file, so that they
    // speak of the same file (the path may lead through a folder that someone
    // else may change).
    const UniqueFile file(OpenForIdentity(jobPath));
    DWORD error = file ? ERROR_SUCCESS : ::GetLastError();
    if (!file && NamesNoFile(error)) {
        NoteJobFileAbsent();
        return TRUE;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (file) {
        error = api.GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                    nullptr, nullptr, nullptr, &descriptor);
    }
    const UniqueLocal owned(descriptor);
    wchar_t userSid[kTextUnits] = {};
    (void)CurrentUserSid(userSid);
    if (error == ERROR_SUCCESS && IsTrustedJobOwner(owner, userSid)) {
        NoteCheckedJobFile(IdOf(file.get()));
        return TRUE;
    }
    LogRefusal(jobPath, error == ERROR_SUCCESS ? owner : nullptr, error);
    ReportError(reports::kJobFileUntrusted);
    return FALSE;
}

}  // namespace lmvn
