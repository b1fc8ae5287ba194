#include "job/job_files.h"

#include "common/settings.h"
#include "diag/format.h"
#include "win/win32api.h"

namespace lmvn {

void DeleteJobFiles(const wchar_t* jobPath) {
    Win32Api& api = Win32();
    // Signed: a negative count deletes nothing.
    const int count = static_cast<int>(api.GetPrivateProfileIntW(L"EMF", L"Count", 0, jobPath));
    // Each entry costs one read of the file (about half a millisecond), so a
    // corrupt "Count" such as 2147483647 would keep the thread busy for days.
    // 10000 pages is far beyond any real job and costs a few seconds at most.
    const int bounded = count < kMaxJobFiles ? count : kMaxJobFiles;
    for (int index = 0; index < bounded; ++index) {
        wchar_t key[16] = {};
        FormatText(key, L"File%d", index);
        // One unit more than a path can have: an entry that fills it is longer
        // than any path, and cut to fit it would name some other file.
        wchar_t file[kTextUnits + 1] = {};
        const DWORD length =
            api.GetPrivateProfileStringW(L"EMF", key, L"", file, kTextUnits + 1, jobPath);
        // A failed deletion does not stop the loop.
        if (file[0] != L'\0' && length < kTextUnits) api.DeleteFileW(file);
    }
    api.DeleteFileW(jobPath);
}

}  // namespace lmvn
