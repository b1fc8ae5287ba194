// The three stage programs beside the agent's own executable: the
// preprocessor, the progress indicator and the converter.
#pragma once

#include "win/unique.h"

namespace lmvn {

inline constexpr wchar_t kPreprocessorName[] = L"preprocess.exe";
inline constexpr wchar_t kProgressName[] = L"progress.exe";
inline constexpr wchar_t kConverterName[] = L"lmvndisp.exe";

// Runs preprocess.exe and waits for it. FALSE when it could not be started.
BOOL RunPreprocessor(const wchar_t* jobPath);
// FALSE when "PreprocessingResult" in section "Document" is "Cancel" (in any
// letter case): the job is cancelled.
BOOL CheckPreprocessingResult(const wchar_t* jobPath);
// Starts progress.exe and waits (at most 20 s) until it is idle for input.
// The process handle, or none when it could not be started.
UniqueHandle StartProgressIndicator(const wchar_t* jobPath);
// Runs lmvndisp.exe (inheriting handles) and waits for it. When it cannot be
// started: reports 0xF010, deletes the job description file, returns FALSE.
BOOL RunConverter(const wchar_t* jobPath);
// Posts WM_CLOSE to the progress window of the process `progress` names (never
// to another process's window) and closes the handle. A process that has no
// such window is given a second to show one; if it is still running without
// one after that, it is terminated.
void CloseProgressIndicator(UniqueHandle progress);

enum class StageOutcome {
    Converted,        // every stage ran; deliver the job
    Cancelled,        // the preprocessor cancelled it: stop, nothing more
    ConverterFailed,  // reported, job description file deleted: do not deliver
};

// Preprocessor, cancel check, progress indicator, converter. The progress
// indicator's handle (or none) is left in `progress` for the caller to close.
StageOutcome RunStageSequence(const wchar_t* jobPath, UniqueHandle& progress);

}  // namespace lmvn
