#include "job/delivery_steps.h"

#include "diag/report.h"
#include "job/job_files.h"
#include "job/purge.h"
#include "job/stages.h"

namespace lmvn {

bool HasTargetIdentification(const ClientSettings& settings) {
    return settings.targetWindowClass[0] != L'\0' || settings.targetWindowTitle[0] != L'\0';
}

DWORD RefuseUnidentifiedTarget(const wchar_t* jobPath) {
    ReportError(reports::kNotConfigured);
    DeleteJobFile(jobPath);
    return kExitStopped;
}

DWORD CommonEnd(UniqueProcess& client) {
    PurgePrintedJobs();
    client.process.reset();
    client.thread.reset();
    return kExitCommonEnd;
}

bool RunStages(const wchar_t* jobPath, UniqueHandle& progress, UniqueProcess& client,
               DWORD& exitCode) {
    switch (RunStageSequence(jobPath, progress)) {
        case StageOutcome::Converted:
            return true;
        case StageOutcome::Cancelled:
            // The preprocessor's verdict: nothing more, not even the purge.
            exitCode = kExitStopped;
            return false;
        case StageOutcome::ConverterFailed:
            // Reported, and the job description file is gone: there is nothing
            // left to deliver. Tidy up as every other ended job does.
            if (progress) CloseProgressIndicator(std::move(progress));
            exitCode = CommonEnd(client);
            return false;
    }
    exitCode = kExitStopped;
    return false;
}

}  // namespace lmvn
