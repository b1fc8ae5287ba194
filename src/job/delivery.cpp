// Placeholder until delivery lands.
#include "job/delivery.h"

namespace lmvn {

DWORD DeliverJob(const wchar_t*, ClientSettings&, UniqueProcess&) { return 0; }
DWORD DeliverByCopyData(const wchar_t*, ClientSettings&, UniqueProcess&) { return 0; }
DWORD DeliverByClipboard(const wchar_t*, ClientSettings&, UniqueProcess&) { return 0; }
DWORD DeliverByCommandLine(const wchar_t*, ClientSettings&, UniqueProcess&) { return 0; }
HWND FindOrStartClientWindow(const ClientSettings&, UniqueProcess&, bool) { return nullptr; }
void DeleteJobFiles(const wchar_t*) {}

}  // namespace lmvn
