// Placeholder until the stage operations land.
#include "job/stages.h"

namespace lmvn {

BOOL RunPreprocessor(const wchar_t*) { return FALSE; }
BOOL CheckPreprocessingResult(const wchar_t*) { return TRUE; }
UniqueHandle StartProgressIndicator(const wchar_t*) { return {}; }
BOOL RunConverter(const wchar_t*) { return FALSE; }
void CloseProgressIndicator(UniqueHandle) {}
StageOutcome RunStageSequence(const wchar_t*, UniqueHandle&) { return StageOutcome::Cancelled; }

}  // namespace lmvn
