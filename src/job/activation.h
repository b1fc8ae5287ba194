// Bringing the client's window to the foreground.
#pragma once

#include <windows.h>

namespace lmvn {

// Brings `window` to the foreground, lifting the foreground lock timeout for
// a window of another thread and putting the user's value back afterwards.
// One lifting at a time: activations asked for while one is under way wait
// for it and are then done together, within one lifting. Returns
// SetForegroundWindow's result.
BOOL ActivateWindow(HWND window);

// EnumWindows callback: activates the first window of the process whose id is
// `processId` and stops the enumeration.
BOOL CALLBACK ActivateProcessWindow(HWND window, LPARAM processId);

// The AllowSetForegroundWindow rule: major version above 4, or 4.90.
bool NeedsAllowSetForeground(DWORD major, DWORD minor);

}  // namespace lmvn
