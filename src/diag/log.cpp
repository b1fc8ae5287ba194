#include "diag/log.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/report.h"
#include "win/win32api.h"

#include <mutex>

namespace lmvn {

HANDLE LogFileHandle = INVALID_HANDLE_VALUE;

namespace {

// Serialises each line's seek and write, and the close.
std::mutex& LogLock() {
    static std::mutex lock;
    return lock;
}

// Agents of every session may append to one file. Append-only access is
// atomic on Windows, but not every implementation of the API makes it so
// between processes; a named mutex, shared by all agents, keeps each line's
// seek and write together.
//
// Every account can open that mutex (agents of all accounts share it), so
// every account can also hold it and never let go. It is therefore waited for
// briefly only: at most kLogMutexWaitMs, far longer than any agent holds it
// for one line. Once such a wait has run out, the mutex counts as contested:
// for kLogMutexHoldOffMs from then on, lines only try it without waiting; a
// try that succeeds ends that early. A line that does not get the mutex is
// still written, with its one append-only write. A holder that never lets go
// thus costs one short wait per hold-off, and agents go back to taking turns
// as soon as it lets go. LogMutex and the state below are touched only under
// LogLock.
HANDLE LogMutex = nullptr;
constexpr DWORD kLogMutexWaitMs = 250;
constexpr DWORD kLogMutexHoldOffMs = 30000;
bool LogMutexContested = false;
DWORD LogMutexTimedOutAt = 0;  // GetTickCount of the wait that ran out

class CrossProcessLock {
  public:
    CrossProcessLock() {
        if (LogMutex == nullptr) return;
        Win32Api& api = Win32();
        // Unsigned difference: right across the tick count's wrap.
        if (LogMutexContested && api.GetTickCount() - LogMutexTimedOutAt >= kLogMutexHoldOffMs) {
            LogMutexContested = false;
        }
        const DWORD result =
            api.WaitForSingleObject(LogMutex, LogMutexContested ? 0 : kLogMutexWaitMs);
        owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        if (owned_) {
            LogMutexContested = false;
        } else if (result == WAIT_TIMEOUT && !LogMutexContested) {
            LogMutexContested = true;
            LogMutexTimedOutAt = api.GetTickCount();
        }
    }
    ~CrossProcessLock() {
        if (owned_) Win32().ReleaseMutex(LogMutex);
    }
    CrossProcessLock(const CrossProcessLock&) = delete;
    CrossProcessLock& operator=(const CrossProcessLock&) = delete;

  private:
    bool owned_ = false;
};

void CreateLogMutex() {
    wchar_t name[kTextUnits];
    FormatText(name, NT4Mode ? L"%s_log_mutex" : L"Global\\%s_log_mutex", kPrinterName);
    SECURITY_DESCRIPTOR descriptor = {};
    Win32().InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    Win32().SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    LogMutex = Win32().CreateMutexW(&attributes, FALSE, name);
}

// Append-only access: every write lands at the end of the file as it is at
// that moment, even when agents of other sessions append at the same time.
constexpr DWORD kLogAccess = FILE_APPEND_DATA | SYNCHRONIZE;
constexpr DWORD kLogShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kLogFlags = FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL;

}  // namespace

bool BuildLogFilePath(std::span<wchar_t> path, const wchar_t* destDir) {
    bool fits = CopyText(path, destDir);
    const size_t length = wcslen(destDir);
    const bool endsWithBackslash = length > 0 && destDir[length - 1] == L'\\';
    if (!endsWithBackslash) fits = AppendText(path, L"\\") && fits;
    return AppendText(path, kLogFileName) && fits;
}

BOOL OpenLogFile() {
    wchar_t path[kTextUnits] = {};
    const bool fits = BuildLogFilePath(path, LogDestDir);
    HANDLE file = INVALID_HANDLE_VALUE;
    {
        std::lock_guard guard(LogLock());
        if (LogMutex == nullptr) CreateLogMutex();
        if (fits) {
            // Held from the creation to the byte-order mark, so that no other
            // agent's line lands before the mark.
            CrossProcessLock crossProcess;
            file = Win32().CreateFileW(path, kLogAccess, kLogShare, nullptr, OPEN_ALWAYS, kLogFlags,
                                       nullptr);
            // OPEN_ALWAYS leaves ERROR_ALREADY_EXISTS for a file that was there;
            // a new file gets the byte-order mark.
            if (file != INVALID_HANDLE_VALUE && ::GetLastError() == 0) {
                static constexpr BYTE kByteOrderMark[2] = {0xFF, 0xFE};
                DWORD written = 0;
                Win32().WriteFile(file, kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr);
            }
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        wchar_t text[kLongTextUnits];
        FormatText1024(text, reports::kLogOpenFailed.text, path);
        ReportError(text, reports::kLogOpenFailed.code, nullptr, MB_SYSTEMMODAL);
        return FALSE;
    }
    {
        std::lock_guard guard(LogLock());
        LogFileHandle = file;
    }
    WriteLog(L"Agent started.");
    return TRUE;
}

size_t FormatLogLine(wchar_t (&line)[1024], const SYSTEMTIME& time, const wchar_t* text) {
    FormatText1024(line, L"%d-%02d-%02d %02d:%02d:%02d.%03d:\t", time.wYear, time.wMonth, time.wDay,
                   time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    size_t length = wcslen(line);
    // Room for the text: what is left after CR LF and the terminator.
    const size_t room = 1024 - 3;
    while (*text && length < room) line[length++] = *text++;
    line[length++] = L'\r';
    line[length++] = L'\n';
    line[length] = L'\0';
    return length;
}

void WriteLog(const wchar_t* text) {
    const DWORD savedError = ::GetLastError();
    {
        // One lock around the whole line: its time stamp, seek and write.
        std::lock_guard guard(LogLock());
        if (LogFileHandle != INVALID_HANDLE_VALUE) {
            SYSTEMTIME now = {};
            Win32().GetSystemTime(&now);
            wchar_t line[kLongTextUnits];
            const size_t length = FormatLogLine(line, now, text);
            CrossProcessLock crossProcess;
            // Positions are 32-bit: at or beyond 4 GiB the seek fails and the
            // line is dropped.
            if (Win32().SetFilePointer(LogFileHandle, 0, nullptr, FILE_END) !=
                INVALID_SET_FILE_POINTER) {
                DWORD written = 0;
                Win32().WriteFile(LogFileHandle, line, static_cast<DWORD>(length * sizeof(wchar_t)),
                                  &written, nullptr);
            }
        }
    }
    ::SetLastError(savedError);
}

void CloseLogFile() {
    std::lock_guard guard(LogLock());
    if (LogFileHandle != INVALID_HANDLE_VALUE) {
        Win32().CloseHandle(LogFileHandle);
        LogFileHandle = INVALID_HANDLE_VALUE;
    }
    if (LogMutex != nullptr) {
        Win32().CloseHandle(LogMutex);
        LogMutex = nullptr;
    }
    LogMutexContested = false;
}

}  // namespace lmvn
