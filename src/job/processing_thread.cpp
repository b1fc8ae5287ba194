#include "job/processing_thread.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "job/claim_turns.h"
#include "job/client_settings.h"
#include "job/delivery.h"
#include "job/handover.h"
#include "job/job_files.h"
#include "job/purge.h"
#include "job/trusted_accounts.h"
#include "win/unique.h"

namespace lmvn {
namespace {

// Everything one job needs, on its own thread's stack.
struct JobState {
    DWORD argument = 0;
    wchar_t keyPath[kTextUnits] = {};
    wchar_t userName[kUserNameUnits] = {};
    wchar_t jobPath[kTextUnits] = {};
    const wchar_t* handOverName = nullptr;
    ClientSettings client;
    UniqueProcess clientProcess;  // the one start of the client a job may make
};

}  // namespace

DWORD WINAPI ProcessingThread(LPVOID argument) {
    JobState job;
    job.argument = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(argument));
    FormatText(job.keyPath, kKeyPathFormat, kPrinterName);
    DWORD size = kUserNameUnits;
    if (!Win32().GetUserNameW(job.userName, &size)) job.userName[0] = L'\0';

    // The owner check notes the job description file for this thread.
    const JobFileScope checkedFile;
    // The turn the main loop reserved for this thread's claim.
    AdoptClaimTurn(job.argument);
    if (LogEnabled != 0) WriteLog(L"Processing thread started.");
    PurgePrintedJobs();

    const BOOL claimed =
        RetrieveJobInfo(job.argument, job.keyPath, job.userName, job.jobPath, job.handOverName);
    EndClaimTurn();  // ended by the claim itself; this only makes sure
    if (!claimed) return 0;
    // Claimed: nothing acts on the file before its owner is known to be one
    // the agent takes jobs from.
    if (!AcceptJobFile(job.jobPath)) return 0;
    if (!ReadClientSettings(job.keyPath, job.client)) return 0;
    if (!PrepareClientCommandLine(job.client, job.jobPath)) return 0;

    // Runs the stages, hands the job over and, once the hand-over has been
    // attempted, the common end; the client's handles close with the job state.
    return DeliverJob(job.jobPath, job.client, job.clientProcess);
}

}  // namespace lmvn
