#include "job/handover.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "job/claim_turns.h"
#include "job/job_files.h"
#include "win/registry.h"
#include "win/unique.h"

#include <atomic>
#include <cwchar>
#include <mutex>

namespace lmvn {
namespace {

// ---- The claim ------------------------------------------------------------------
//
// Reading a value and deleting it are two registry calls. Between the threads
// of this agent they are one step: a second thread that comes for the same
// name waits until the first has deleted it, and then finds it gone, or finds
// the producer's next job stored under the name since. Without that, the
// second thread could read the first job, and then delete the next one.
// Agents of other sessions (a shared job, or the same user logged on twice)
// are not held by this lock: between them the deletion decides, and the one
// whose deletion finds the value gone leaves the job to the other.
std::mutex& ClaimLock() {
    static std::mutex lock;
    return lock;
}

enum class Claim {
    Taken,       // read and deleted by this thread (or read, and not deletable)
    Absent,      // no such value
    Unreadable,  // there, but not a path; deleted by this thread
    Lost,        // another agent deleted it between this thread's read and deletion
};

struct ClaimResult {
    Claim claim;
    LONG status;  // the read's status (Absent, Unreadable), for the report
};

// Deletes `name` under the key. Returns the registry's status.
LONG DeleteHandOverValue(const wchar_t* keyPath, const wchar_t* name) {
    UniqueKey key;
    const LONG openStatus =
        Win32().RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_SET_VALUE, key.put());
    if (openStatus != ERROR_SUCCESS) return openStatus;
    return Win32().RegDeleteValueW(key.get(), name);
}

// Whether the read met a value that is there but holds no path: more than
// kRegistryTextBytes, all of them without a terminator, or data that is not
// text. A failure to read for any other reason (no access) says nothing about
// the value and counts as absent, as before.
bool IsUnreadable(LONG status, const ValueRead& read, std::span<const wchar_t> text) {
    if (status == ERROR_MORE_DATA) return true;
    if (status != ERROR_SUCCESS) return false;
    if (read.type != REG_SZ && read.type != REG_EXPAND_SZ) return true;
    return read.size >= kRegistryTextBytes && text[kRegistryTextBytes / sizeof(wchar_t) - 1] != 0;
}

// The status a report gives for an unreadable value.
LONG UnreadableStatus(LONG status) { return status == ERROR_SUCCESS ? ERROR_INVALID_DATA : status; }

// Reads `name` into `jobPath` and deletes it, as one step among this agent's
// threads. An empty name would address the key's unnamed default value,
// which no producer writes: it counts as absent.
ClaimResult ClaimHandOverValue(HKEY key, const wchar_t* keyPath, const wchar_t* name,
                               std::span<wchar_t> jobPath) {
    if (name == nullptr || name[0] == L'\0') return {Claim::Absent, ERROR_FILE_NOT_FOUND};
    std::lock_guard<std::mutex> hold(ClaimLock());
    wchar_t text[kRegistryTextBytes / sizeof(wchar_t)] = {};
    ValueRead read;
    const LONG status = ReadRawValue(key, name, text, kRegistryTextBytes, &read);
    const bool unreadable = IsUnreadable(status, read, text);
    if (status != ERROR_SUCCESS && !unreadable) return {Claim::Absent, status};

    // Deleting the value is what claims it. Any failure other than finding it
    // gone (no write access) leaves the value in place, and the job goes on.
    if (DeleteHandOverValue(keyPath, name) == ERROR_FILE_NOT_FOUND) {
        return {Claim::Lost, ERROR_FILE_NOT_FOUND};
    }
    if (unreadable) return {Claim::Unreadable, UnreadableStatus(status)};
    const size_t units = jobPath.size() < std::size(text) ? jobPath.size() : std::size(text);
    std::wmemcpy(jobPath.data(), text, units);
    return {Claim::Taken, ERROR_SUCCESS};
}

// ---- The job stored at start-up -------------------------------------------------

// How long after start-up a late signal of the producer for a job already
// served at start-up is expected.
constexpr ULONGLONG kLateSignalWindowMs = 60000;

// Tick count until which one per-user signal that finds nothing is taken as
// that late signal; 0 when none is expected.
std::atomic<ULONGLONG> lateSignalDeadline{0};

// True (once) when a per-user signal that finds nothing is the late signal of
// a job served at start-up.
bool TakeLateSignal() {
    const ULONGLONG deadline = lateSignalDeadline.exchange(0);
    return deadline != 0 && Win32().GetTickCount64() < deadline;
}

// The path stored under the agent's own name when it started, until a thread
// claims it.
struct StoredJob {
    std::mutex lock;
    bool pending = false;
    wchar_t path[kTextUnits] = {};
};
StoredJob storedJob;

// True (once) when `jobPath`, just claimed under the agent's own name, is the
// path found at start-up.
bool TakeStoredJob(const wchar_t* jobPath) {
    std::lock_guard<std::mutex> hold(storedJob.lock);
    if (!storedJob.pending || std::wcscmp(storedJob.path, jobPath) != 0) return false;
    storedJob.pending = false;
    return true;
}

// A stored job whose path names nothing to deliver (empty, or no such file).
// Looked up on the job's own thread: the path may name a host on the network.
bool NamesNothing(const wchar_t* jobPath) {
    return jobPath[0] == L'\0' || (Win32().GetFileAttributesW(jobPath) == INVALID_FILE_ATTRIBUTES &&
                                   NamesNoFile(::GetLastError()));
}

constexpr wchar_t kSharedJobTaken[] = L"No shared print job found. Another agent has taken it.";
constexpr wchar_t kJobTaken[] = L"No print job found. Another agent has taken it.";

void LogLine(const wchar_t* text) {
    if (LogEnabled != 0) WriteLog(text);
}

void ReportJobInfoFailed(LONG status) {
    ReportSystemError(reports::kJobInfoFailed, static_cast<DWORD>(status));
}

}  // namespace

const wchar_t* FirstHandOverName(BOOL nt4Mode, DWORD argument, const wchar_t* userName) {
    if (nt4Mode) return kNT4ValueName;
    if (argument != 0) return kSharedValueName;
    return userName;
}

BOOL RetrieveJobInfo(DWORD argument, const wchar_t* keyPath, const wchar_t* userName,
                     std::span<wchar_t> jobPath, const wchar_t*& handOverName) {
    UniqueKey key;
    const LONG openStatus =
        Win32().RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.put());
    if (openStatus != ERROR_SUCCESS) {
        EndClaimTurn();
        wchar_t text[kTextUnits] = {};
        FormatText(text, reports::kRegistryOpenFailed.text, kPrinterName);
        ReportSystemError(text, reports::kRegistryOpenFailed.code, static_cast<DWORD>(openStatus),
                          nullptr, MB_SYSTEMMODAL);
        return FALSE;
    }

    const wchar_t* name = FirstHandOverName(NT4Mode, argument, userName);
    ClaimResult result = ClaimHandOverValue(key.get(), keyPath, name, jobPath);
    if (result.claim == Claim::Absent) {
        name = kSystemValueName;
        result = ClaimHandOverValue(key.get(), keyPath, name, jobPath);
    }
    key.reset();
    // The claim is over: the next signal's thread may look (before this one
    // reports anything, which may wait for the user).
    EndClaimTurn();

    switch (result.claim) {
        case Claim::Taken:
            break;
        case Claim::Unreadable:
            ReportJobInfoFailed(result.status);
            return FALSE;
        case Claim::Lost:
            // Every agent the signal woke accounts for itself in the log. The
            // signal that lost is accounted for too: a late signal of a job
            // served at start-up is no longer expected.
            LogLine(argument != 0 ? kSharedJobTaken : kJobTaken);
            if (argument == 0) lateSignalDeadline = 0;
            return FALSE;
        case Claim::Absent:
            // A shared job wakes the agent of every session and only one can
            // take it: the others find nothing, and their users, who printed
            // nothing, must not hear of it.
            if (argument != 0 && result.status == ERROR_FILE_NOT_FOUND) {
                LogLine(kSharedJobTaken);
                return FALSE;
            }
            if (argument == 0 && result.status == ERROR_FILE_NOT_FOUND && TakeLateSignal()) {
                LogLine(L"No print job found. The job stored at start-up was served already.");
                return FALSE;
            }
            ReportJobInfoFailed(result.status);
            return FALSE;
    }
    handOverName = name;

    if (argument == 0 && name != kSystemValueName && TakeStoredJob(jobPath.data()) &&
        NamesNothing(jobPath.data())) {
        // Left from long ago: delivering it would only report its missing
        // files. No late signal comes for it either.
        lateSignalDeadline = 0;
        LogLine(L"Stored print job dropped. Its job description file does not exist.");
        return FALSE;
    }

    if (LogEnabled != 0) {
        const UINT jobId = Win32().GetPrivateProfileIntW(L"Document", L"JobID", 0, jobPath.data());
        wchar_t line[kTextUnits] = {};
        FormatText(line, L"Print job info successfully retrieved. JobID=%d",
                   static_cast<int>(jobId));
        WriteLog(line);
    }
    return TRUE;
}

BOOL FindStoredJob(const wchar_t* keyPath, const wchar_t* userName) {
    const wchar_t* name = FirstHandOverName(NT4Mode, 0, userName);
    if (name[0] == L'\0') return FALSE;
    wchar_t text[kRegistryTextBytes / sizeof(wchar_t)] = {};
    ValueRead read;
    bool unreadable = false;
    {
        UniqueKey key;
        if (Win32().RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.put()) !=
            ERROR_SUCCESS) {
            return FALSE;
        }
        const LONG status = ReadRawValue(key.get(), name, text, kRegistryTextBytes, &read);
        unreadable = IsUnreadable(status, read, text);
        // A value that is there but unreadable is served too: its thread
        // claims and reports it, so that it does not hold up the producer.
        if (status != ERROR_SUCCESS && !unreadable) return FALSE;
    }
    if (!unreadable) {
        std::lock_guard<std::mutex> hold(storedJob.lock);
        storedJob.pending = true;
        CopyText(storedJob.path, text);
    }
    LogLine(L"Stored print job found at start-up.");
    lateSignalDeadline = Win32().GetTickCount64() + kLateSignalWindowMs;
    return TRUE;
}

}  // namespace lmvn
