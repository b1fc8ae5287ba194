#include "job/handover.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "win/registry.h"
#include "win/unique.h"

#include <atomic>

namespace lmvn {
namespace {

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

// The errors of a lookup that say a path names no file (other errors, such as
// a denied access, say nothing about it).
bool NamesNoFile(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME || error == ERROR_BAD_PATHNAME;
}

constexpr wchar_t kSharedJobTaken[] = L"No shared print job found. Another agent has taken it.";

void LogLine(const wchar_t* text) {
    if (LogEnabled != 0) WriteLog(text);
}

// Deletes `name` under the key. Returns the registry's status.
LONG DeleteHandOverValue(const wchar_t* keyPath, const wchar_t* name) {
    UniqueKey key;
    const LONG openStatus =
        Win32().RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_SET_VALUE, key.put());
    if (openStatus != ERROR_SUCCESS) return openStatus;
    return Win32().RegDeleteValueW(key.get(), name);
}

// Reads the path stored under `name` into `jobPath`. An empty name would
// address the key's unnamed default value, which no producer writes: it
// counts as absent.
LONG ReadHandOverValue(HKEY key, const wchar_t* name, std::span<wchar_t> jobPath) {
    if (name == nullptr || name[0] == L'\0') return ERROR_FILE_NOT_FOUND;
    return ReadTextValue(key, name, jobPath);
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
        wchar_t text[kTextUnits] = {};
        FormatText(text, reports::kRegistryOpenFailed.text, kPrinterName);
        ReportSystemError(text, reports::kRegistryOpenFailed.code, static_cast<DWORD>(openStatus),
                          nullptr, MB_SYSTEMMODAL);
        return FALSE;
    }

    const wchar_t* name = FirstHandOverName(NT4Mode, argument, userName);
    if (ReadHandOverValue(key.get(), name, jobPath) != ERROR_SUCCESS) {
        const LONG systemStatus = ReadHandOverValue(key.get(), kSystemValueName, jobPath);
        if (systemStatus != ERROR_SUCCESS) {
            // A shared job wakes the agent of every session and only one can
            // take it: the others find nothing, and their users, who printed
            // nothing, must not hear of it.
            if (argument != 0 && systemStatus == ERROR_FILE_NOT_FOUND) {
                LogLine(kSharedJobTaken);
                return FALSE;
            }
            if (argument == 0 && systemStatus == ERROR_FILE_NOT_FOUND && TakeLateSignal()) {
                LogLine(L"No print job found. The job stored at start-up was served already.");
                return FALSE;
            }
            ReportSystemError(reports::kJobInfoFailed, static_cast<DWORD>(systemStatus));
            return FALSE;
        }
        name = kSystemValueName;
    }
    key.reset();

    // Deleting the value is what claims the job. Two threads (of this agent,
    // or of agents in other sessions woken by the same shared event) may both
    // have read it; the one whose deletion finds it gone leaves the job to the
    // other. Any other failure (no write access) leaves the value in place and
    // the job goes on.
    if (DeleteHandOverValue(keyPath, name) == ERROR_FILE_NOT_FOUND) {
        // For a shared job the log says so, as for one found gone: every
        // agent the signal woke then accounts for itself.
        if (argument != 0) LogLine(kSharedJobTaken);
        return FALSE;
    }
    handOverName = name;

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
    wchar_t jobPath[kTextUnits] = {};
    {
        UniqueKey key;
        if (Win32().RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.put()) !=
                ERROR_SUCCESS ||
            ReadHandOverValue(key.get(), name, jobPath) != ERROR_SUCCESS) {
            return FALSE;
        }
    }
    if (jobPath[0] == L'\0' || (Win32().GetFileAttributesW(jobPath) == INVALID_FILE_ATTRIBUTES &&
                                NamesNoFile(::GetLastError()))) {
        (void)DeleteHandOverValue(keyPath, name);
        LogLine(L"Stored print job dropped. Its job description file does not exist.");
        return FALSE;
    }
    LogLine(L"Stored print job found at start-up.");
    lateSignalDeadline = Win32().GetTickCount64() + kLateSignalWindowMs;
    return TRUE;
}

}  // namespace lmvn
