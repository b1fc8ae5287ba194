// The printer side of the job contract, in-process and fast enough for
// thousands of jobs: job description files, hand-over values and events.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace lmvntest {

// Writes a job description file (UTF-16LE with byte-order mark, as the
// printer side writes it): [Document] JobID, [EMF] Count and File0...
bool WriteJobFile(const std::wstring& path, int jobId, const std::vector<std::wstring>& pages);

// Hands a job over: waits (at most `waitMs`) until no earlier path is stored
// under `valueName`, stores `jobPath` there and sets the per-user print event
// or, with `shared`, the shared printing event.
bool HandOver(const std::wstring& valueName, const std::wstring& jobPath, bool shared,
              DWORD waitMs = 30000);

// Sets the per-user print event or the shared printing event.
bool SignalJob(bool shared);

}  // namespace lmvntest
