#include "job/handover.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "win/registry.h"
#include "win/unique.h"

namespace lmvn {
namespace {

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
    if (Win32().RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_SET_VALUE, key.put()) ==
        ERROR_SUCCESS) {
        const LONG deleteStatus = Win32().RegDeleteValueW(key.get(), name);
        key.reset();
        if (deleteStatus == ERROR_FILE_NOT_FOUND) return FALSE;
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

}  // namespace lmvn
