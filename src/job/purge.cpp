// Placeholder until the printed-job purge lands.
#include "job/purge.h"

namespace lmvn {

void PurgePrintedJobs() {}

}  // namespace lmvn
