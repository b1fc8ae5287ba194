// Clipboard mode (transfer mode 2): the ANSI job path goes on the clipboard
// in a registered format, and the configured message goes to the target
// window.
#pragma once

#include "job/client_settings.h"
#include "win/unique.h"

namespace lmvn {

DWORD DeliverByClipboard(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client);

// The message clipboard mode sends for a "Message ID": the value itself when,
// as a signed number, it lies in 0x8000 to 0xBFFF, else 0x8000 (WM_APP).
UINT ClipboardMessageFor(DWORD messageId);

}  // namespace lmvn
