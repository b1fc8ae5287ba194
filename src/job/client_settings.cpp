// Placeholder until the client settings land.
#include "job/client_settings.h"

namespace lmvn {

BOOL ReadClientSettings(const wchar_t*, ClientSettings&) { return FALSE; }
BOOL PrepareClientCommandLine(ClientSettings&, const wchar_t*) { return FALSE; }

}  // namespace lmvn
