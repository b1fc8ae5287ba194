// Placeholder until the hand-over lands: takes no job.
#include "job/handover.h"

namespace lmvn {

const wchar_t* FirstHandOverName(BOOL, DWORD, const wchar_t* userName) { return userName; }

BOOL RetrieveJobInfo(DWORD, const wchar_t*, const wchar_t*, std::span<wchar_t>, const wchar_t*&) {
    return FALSE;
}

}  // namespace lmvn
