// The accounts this agent takes jobs from: its own user, SYSTEM,
// Administrators, and the producer accounts an administrator names in the
// machine's settings ("Producer Accounts").
#pragma once

#include <windows.h>

namespace lmvn {

// Whether `text` names an account the way "Producer Accounts" may: a SID in
// string form, or a two-letter alias of the security descriptor language.
bool IsAccountText(const wchar_t* text);

// Calls `visit` with each entry of ProducerAccounts that names an account;
// entries that do not are passed over (lmvncheck points them out).
template <typename Visit>
void ForEachProducerAccount(const wchar_t* list, Visit visit) {
    for (const wchar_t* entry = list; *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (IsAccountText(entry)) visit(entry);
    }
}

// Whether a file owned by `owner` may be this agent's job description file.
bool IsTrustedJobOwner(PSID owner, const wchar_t* userSid);

// Checks the owner of the job description file before anything acts on it.
// TRUE when it may be processed: its owner is trusted, or it does not exist
// (the stages then report what is missing, as for any job; no deletion acts
// on a file that appears there later). The file is noted for the thread's
// later deletions (job_files.h). Otherwise
// reports 0xF012, with a log line naming the owner, and returns FALSE; the
// job is then over and no file of it is touched.
BOOL AcceptJobFile(const wchar_t* jobPath);

}  // namespace lmvn
