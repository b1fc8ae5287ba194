#include "job/job_files.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "win/file_identity.h"
#include "win/unique.h"
#include "win/win32api.h"

namespace lmvn {
namespace {

// Each job runs on a thread of its own, so the note belongs to the thread.
enum class Checked { Not, Found, Absent };
struct CheckedFile {
    Checked state = Checked::Not;
    FileId id;
};
thread_local CheckedFile checked;

constexpr int kHoldAttempts = 5;
constexpr DWORD kHoldPauseMs = 100;

}  // namespace

bool NamesNoFile(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME || error == ERROR_BAD_PATHNAME;
}

HANDLE OpenForIdentity(const wchar_t* path) {
    return Win32().CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void NoteCheckedJobFile(const FileId& id) {
    // Nothing to compare with later when the system does not tell it: no
    // deletion then.
    checked = CheckedFile{id.known ? Checked::Found : Checked::Absent, id};
}

void NoteJobFileAbsent() { checked = CheckedFile{Checked::Absent, FileId{}}; }

void ForgetJobFile() { checked = CheckedFile{}; }

namespace {

// Whether `file`, open at `jobPath`, is the file the check accepted (true when
// no check was made on this thread); logs the refusal.
bool IsCheckedFile(HANDLE file, const wchar_t* jobPath) {
    if (checked.state == Checked::Not) return true;
    const bool same =
        checked.state == Checked::Found && file != INVALID_HANDLE_VALUE && IdOf(file) == checked.id;
    if (!same && LogEnabled != 0) {
        wchar_t line[kLongTextUnits] = {};
        FormatText(line,
                   L"Job files kept. %s is not the job description file whose owner was checked.",
                   jobPath);
        WriteLog(line);
    }
    return same;
}

}  // namespace

bool IsCheckedJobFile(const wchar_t* jobPath) {
    const UniqueFile file(OpenForIdentity(jobPath));
    return IsCheckedFile(file.get(), jobPath);
}

void DeleteJobFile(const wchar_t* jobPath) {
    // A failure here changes nothing.
    if (IsCheckedJobFile(jobPath)) Win32().DeleteFileW(jobPath);
}

void DeleteJobFiles(const wchar_t* jobPath) {
    Win32Api& api = Win32();
    // Held while the list is read, without delete sharing: neither the file
    // nor a folder above it can be moved away and another put in its place
    // between the comparison and the last entry read (on Windows; Wine lets
    // a folder with open files be renamed).
    // A file someone else holds with delete access refuses the hold: tried a
    // few times, then the files are kept (compared without the hold, the file
    // could still be swapped through that access).
    UniqueFile held;
    for (int attempt = 0; attempt < kHoldAttempts; ++attempt) {
        if (attempt > 0) api.Sleep(kHoldPauseMs);
        held.reset(api.CreateFileW(jobPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
        if (held || ::GetLastError() != ERROR_SHARING_VIOLATION) break;
    }
    if (!IsCheckedFile(held.get(), jobPath)) return;
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
    held.reset();
    api.DeleteFileW(jobPath);
}

}  // namespace lmvn
