#pragma once

#include <windows.h>

namespace lmvn {

// The thread routine of one print job. `argument` is 0 for a job of the
// per-user print event and 1 for one of the shared printing event. Ends with
// 0 (stopped before delivery) or 1 (delivery attempted), never STILL_ACTIVE.
DWORD WINAPI ProcessingThread(LPVOID argument);

}  // namespace lmvn
