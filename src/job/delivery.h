// Delivery of a job to the client application, in the transfer mode the
// client settings select.
#pragma once

#include "job/client_settings.h"
#include "win/unique.h"

namespace lmvn {

// Delivers the job in the mode of settings.transferMode (1 copy-data,
// 2 clipboard, else command line), running the stage sequence first. Returns
// the processing thread's exit code: 1 after the common end, 0 when the job
// stopped before it.
DWORD DeliverJob(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client);

DWORD DeliverByCopyData(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client);
DWORD DeliverByCommandLine(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client);

}  // namespace lmvn
