#pragma once

namespace lmvn {

// Deletes every job of the "Lumvane" queue that the spooler marks as printed
// (looking at positions 0 to 255). Silent on every failure.
void PurgePrintedJobs();

}  // namespace lmvn
