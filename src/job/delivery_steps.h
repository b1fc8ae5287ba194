// The steps every transfer mode shares: the stage sequence before the client
// is addressed, the refusal of a job with no target window to look for, and
// the common end.
#pragma once

#include "job/client_settings.h"
#include "win/unique.h"

namespace lmvn {

// Exit codes of the processing thread.
inline constexpr DWORD kExitStopped = 0;    // ended before the client was addressed
inline constexpr DWORD kExitCommonEnd = 1;  // the common end ran (second purge done)

// Whether a target window class or title is configured.
bool HasTargetIdentification(const ClientSettings& settings);

// Modes 1 and 2 with neither class nor title: nothing could ever be found.
// Reports 111, deletes the job description file; the thread's exit code.
DWORD RefuseUnidentifiedTarget(const wchar_t* jobPath);

// Second purge, then the client's handles (if it was started) are closed.
// The thread's exit code.
DWORD CommonEnd(UniqueProcess& client);

// With logging on, the line written right before the report of a job that
// was not delivered: which job (its JobID and path) and why.
//   Delivery failed. JobID=4711, path "C:\jobs\job.ini". Cause: <cause>.
// `causeFormat` is formatted with the arguments that follow (format.h).
void LogDeliveryFailure(const wchar_t* jobPath, const wchar_t* causeFormat, ...);

// Runs the stages. True when the job goes on to the client (the progress
// indicator, when started, is in `progress`); otherwise the job is over and
// `exitCode` says how it ended.
bool RunStages(const wchar_t* jobPath, UniqueHandle& progress, UniqueProcess& client,
               DWORD& exitCode);

}  // namespace lmvn
