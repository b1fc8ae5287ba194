// Deleting the jobs that the spooler marks as printed from the "Lumvane"
// queue. Every failure is silent: the agent works the same either way.
#include "job/purge.h"

#include "common/settings.h"
#include "win/unique.h"

namespace lmvn {
namespace {

constexpr DWORD kFirstJob = 0;
constexpr DWORD kJobsLookedAt = 256;  // positions 0 to 255 of the queue
constexpr DWORD kJobInfoLevel = 1;

}  // namespace

void PurgePrintedJobs() {
    Win32Api& api = Win32();

    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
    HANDLE opened = nullptr;
    if (!api.OpenPrinterW(const_cast<LPWSTR>(kPrinterName), &opened, &defaults)) return;
    UniquePrinter printer(opened);

    DWORD needed = 0;
    DWORD returned = 0;
    api.EnumJobsW(printer.get(), kFirstJob, kJobsLookedAt, kJobInfoLevel, nullptr, 0, &needed,
                  &returned);
    if (needed == 0) return;  // empty queue

    // One block of exactly the size the spooler asked for.
    UniqueGlobal block(api.GlobalAlloc(GMEM_FIXED, needed));
    if (!block) return;
    auto* records = static_cast<BYTE*>(static_cast<void*>(block.get()));

    returned = 0;
    DWORD neededNow = 0;
    if (!api.EnumJobsW(printer.get(), kFirstJob, kJobsLookedAt, kJobInfoLevel, records, needed,
                       &neededNow, &returned)) {
        // The queue grew between the two calls: nothing was returned.
        returned = 0;
    }
    // Never read a record that does not lie wholly inside the block.
    const DWORD fits = needed / sizeof(JOB_INFO_1W);
    if (returned > fits) returned = fits;

    const auto* jobs = reinterpret_cast<const JOB_INFO_1W*>(records);
    for (DWORD i = 0; i < returned; ++i) {
        if ((jobs[i].Status & JOB_STATUS_PRINTED) != 0) {
            // A refused deletion (another thread was first) is skipped.
            api.SetJobW(printer.get(), jobs[i].JobId, 0, nullptr, JOB_CONTROL_DELETE);
        }
    }
}

}  // namespace lmvn
