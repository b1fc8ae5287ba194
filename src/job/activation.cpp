// Placeholder until window activation lands.
#include "job/activation.h"

namespace lmvn {

BOOL ActivateWindow(HWND) { return FALSE; }
BOOL CALLBACK ActivateProcessWindow(HWND, LPARAM) { return TRUE; }
bool NeedsAllowSetForeground(DWORD, DWORD) { return false; }

}  // namespace lmvn
