#include "job/processing_thread.h"

#include "agent/settings.h"
#include "diag/log.h"

namespace lmvn {

DWORD WINAPI ProcessingThread(LPVOID) {
    if (LogEnabled != 0) WriteLog(L"Processing thread started.");
    return 0;
}

}  // namespace lmvn
