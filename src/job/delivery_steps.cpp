#include "job/delivery_steps.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "job/job_files.h"
#include "job/purge.h"
#include "job/stages.h"

#include <cstdarg>

namespace lmvn {

bool HasTargetIdentification(const ClientSettings& settings) {
    return settings.targetWindowClass[0] != L'\0' || settings.targetWindowTitle[0] != L'\0';
}

void LogDeliveryFailure(const wchar_t* jobPath, const wchar_t* causeFormat, ...) {
    if (LogEnabled == 0) return;
    wchar_t cause[kLongTextUnits] = {};
    va_list args;
    va_start(args, causeFormat);
    FormatTextV(cause, causeFormat, args);
    va_end(args);
    // The file may be gone by now: JobID 0, as when it holds none.
    const int jobId =
        static_cast<int>(Win32().GetPrivateProfileIntW(L"Document", L"JobID", 0, jobPath));
    wchar_t line[kLongTextUnits] = {};
    FormatText(line, L"Delivery failed. JobID=%d, path \"%s\". Cause: %s.", jobId, jobPath, cause);
    WriteLog(line);
}

DWORD RefuseUnidentifiedTarget(const wchar_t* jobPath) {
    LogDeliveryFailure(jobPath, L"neither a target window class nor a title is configured");
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
