#include "diag/log.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/report.h"
#include "win/file_identity.h"
#include "win/win32api.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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
    // Whether this line takes its turn: only then may it move the file.
    bool owned() const { return owned_; }
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
// FILE_SHARE_DELETE lets the agent that finds the file full rename it while
// the others hold it open; FILE_READ_ATTRIBUTES lets each read the identity of
// the file it holds.
constexpr DWORD kLogAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kLogShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kLogFlags = FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL;
constexpr BYTE kByteOrderMark[2] = {0xFF, 0xFE};

// The move of a full log. Every agent holds vp_log.txt open, and every line
// is written under the named mutex (when the agent gets it). With the mutex,
// before its line, an agent
//  1. checks that the file at the path is still the one it holds (same size
//     and time of last write, or else same volume and file index), and
//     otherwise opens the one there (creating it with its byte-order mark
//     when there is none): another agent has moved the file;
//  2. when its line would take that file past LogMaxSize, renames it to
//     vp_log.1.txt, replacing an earlier one, and opens a new vp_log.txt;
//  3. writes its line.
// So no line goes to a file that was moved before the line's turn, every line
// lands whole in the one file, and the file moves only between two lines. An
// agent without the mutex (it is contested) still follows a moved file but
// never moves one: two agents moving at once could replace the file the
// other has just moved.
//
// A move that fails (vp_log.1.txt is a directory, or an agent of an older
// version holds vp_log.txt without sharing it for deletion, or the agent's
// user may not rename a file another user created, or the folder refuses)
// leaves the file where it is and deletes nothing (see RenameFullLogFile):
// lines go on into it past the limit, one line in the log says so, and the
// move is tried again kLogMoveRetryMs later. If the new file cannot be opened
// after the move, lines go on into the moved one and the next line tries
// again. A name at vp_log.1.txt is only ever replaced or renamed, never
// opened or written through, so a link placed there cannot turn the move
// onto another file.
//
// The paths and the state below are touched only under LogLock.
wchar_t LogFilePath[kTextUnits] = {};
wchar_t MovedLogFilePath[kTextUnits] = {};  // empty when the name does not fit
FileId LogFileId;                           // of the file LogFileHandle holds
constexpr DWORD kLogMoveRetryMs = 5000;
bool LogMoveFailing = false;  // from a failed move to the next that succeeds
DWORD LogMoveFailedAt = 0;    // GetTickCount of the last failed move

// Opens the log at `path` to append to it; a file that was not there is
// created and gets the byte-order mark. The caller holds the named mutex
// where it can, so that no other agent's line lands before the mark.
HANDLE OpenForAppending(const wchar_t* path) {
    HANDLE file =
        Win32().CreateFileW(path, kLogAccess, kLogShare, nullptr, OPEN_ALWAYS, kLogFlags, nullptr);
    // OPEN_ALWAYS leaves ERROR_ALREADY_EXISTS for a file that was there.
    if (file != INVALID_HANDLE_VALUE && ::GetLastError() == 0) {
        DWORD written = 0;
        Win32().WriteFile(file, kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr);
    }
    return file;
}

// At run time the path may name a file that someone else put there (whoever
// may rename the log file may replace it), and on Windows an open can wait
// without limit for the holder of an opportunistic lock on that file. Such
// an open runs on a thread of its own and is waited for kLogOpenWaitMs at
// most, while LogLock and the named mutex are held: lines meanwhile go on
// into the file held so far (none is lost), and the next line tries again.
// An open given up on closes its file itself when it ends, and no other is
// started until it has.
constexpr DWORD kLogOpenWaitMs = 1000;
struct PendingOpen {
    std::mutex lock;
    std::condition_variable ended;
    wchar_t path[kTextUnits] = {};
    HANDLE file = INVALID_HANDLE_VALUE;
    bool done = false;
    bool abandoned = false;
};
std::atomic<bool> LogOpenPending{false};

HANDLE OpenForAppendingBounded(const wchar_t* path) {
    if (LogOpenPending.exchange(true)) return INVALID_HANDLE_VALUE;
    const auto pending = std::make_shared<PendingOpen>();
    CopyText(pending->path, path);
    try {
        std::thread([pending] {
            const HANDLE file = OpenForAppending(pending->path);
            std::lock_guard hold(pending->lock);
            if (!pending->abandoned) {
                pending->file = file;
            } else if (file != INVALID_HANDLE_VALUE) {
                Win32().CloseHandle(file);
            }
            pending->done = true;
            LogOpenPending = false;
            pending->ended.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        LogOpenPending = false;
        return INVALID_HANDLE_VALUE;
    }
    std::unique_lock hold(pending->lock);
    if (!pending->ended.wait_for(hold, std::chrono::milliseconds(kLogOpenWaitMs),
                                 [&] { return pending->done; })) {
        pending->abandoned = true;
        return INVALID_HANDLE_VALUE;
    }
    return pending->file;
}

// Makes `file` the log file, closing the one held so far.
void HoldLogFile(HANDLE file) {
    if (LogFileHandle != INVALID_HANDLE_VALUE) Win32().CloseHandle(LogFileHandle);
    LogFileHandle = file;
    LogFileId = IdOf(file);
}

// Whether the file at LogFilePath looks like the one held: the same size and
// time of last write. Cheap (no handle is opened), so it is asked before every
// line; only when it says no is the identity compared (HeldFileIsAtPath),
// which costs far more (under Wine 8 about 600 us, against about 130 us for a
// line's turn at the named mutex, its seek and its write).
// Two different files of one size last written at the same instant would
// pass for one; a new file that has just reached the size of the full one
// that moved is not written at the same instant.
bool HeldFileLooksAtPath() {
    Win32Api& api = Win32();
    WIN32_FILE_ATTRIBUTE_DATA named = {};
    if (!api.GetFileAttributesExW(LogFilePath, GetFileExInfoStandard, &named)) return false;
    LARGE_INTEGER size = {};
    FILETIME written = {};
    if (!api.GetFileSizeEx(LogFileHandle, &size) ||
        !api.GetFileTime(LogFileHandle, nullptr, nullptr, &written)) {
        return false;
    }
    return named.nFileSizeLow == size.LowPart &&
           named.nFileSizeHigh == static_cast<DWORD>(size.HighPart) &&
           named.ftLastWriteTime.dwLowDateTime == written.dwLowDateTime &&
           named.ftLastWriteTime.dwHighDateTime == written.dwHighDateTime;
}

// Whether the file at LogFilePath is the one held, by volume and file index. A
// held file whose identity is unknown counts as still there.
bool HeldFileIsAtPath() {
    if (!LogFileId.known) return true;
    HANDLE named = Win32().CreateFileW(LogFilePath, FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    const FileId id = IdOf(named);
    Win32().CloseHandle(named);
    return !id.known || id == LogFileId;
}

// Step 1: another agent moved the file away; take the one at the path. When
// it cannot be opened, lines go on into the held file. Whether the held file
// is the one at the path: only then may it be moved (the move renames
// whatever is at the path).
bool FollowMovedLogFile() {
    if (HeldFileLooksAtPath() || HeldFileIsAtPath()) return true;
    HANDLE file = OpenForAppendingBounded(LogFilePath);
    if (file == INVALID_HANDLE_VALUE) return false;
    HoldLogFile(file);
    return true;
}

void AppendLine(HANDLE file, const wchar_t* text) {
    SYSTEMTIME now = {};
    Win32().GetSystemTime(&now);
    wchar_t line[kLongTextUnits];
    const size_t length = FormatLogLine(line, now, text);
    DWORD written = 0;
    Win32().WriteFile(file, line, static_cast<DWORD>(length * sizeof(wchar_t)), &written, nullptr);
}

// How a try to rename the full file to vp_log.1.txt ended.
enum class RenameResult {
    kMoved,     // the full file is vp_log.1.txt
    kNotMoved,  // the full file is still vp_log.txt
    kLeftAside  // the full file kept the name in MovingLogFilePath: it could be
                // neither moved on nor put back
};
wchar_t MovingLogFilePath[kTextUnits] = {};

// Renames the full file to vp_log.1.txt, in steps that never delete anything
// before the full file has left vp_log.txt:
//  1. vp_log.txt gets a name of its own in the same folder, replacing nothing
//     (vp_log.<process>-<ticks>.moving). A refusal here (the agent's user may
//     not rename the file another user created) loses nothing.
//  2. That name replaces vp_log.1.txt.
//  3. Where the system does not replace a file that others hold open (Windows
//     renames without POSIX semantics refuse with ERROR_ACCESS_DENIED), and
//     an agent that has not written since the last move still holds the
//     earlier vp_log.1.txt, that file is renamed aside to a name of its own
//     and deleted (it goes once its last holder lets go, at that agent's
//     next line), and step 2 is tried once more. Anything but a plain file at
//     vp_log.1.txt (a directory, a link) is left alone.
//  4. When vp_log.1.txt still cannot be replaced, the full file goes back to
//     vp_log.txt; should even that fail (an agent without the mutex has made
//     a new vp_log.txt meanwhile), it keeps its name of step 1.
// Leaves the error of the step that failed.
RenameResult RenameFullLogFile() {
    Win32Api& api = Win32();
    const int process = static_cast<int>(api.GetCurrentProcessId());
    const int ticks = static_cast<int>(api.GetTickCount());
    wchar_t name[64];
    FormatText(name, L"vp_log.%d-%d.moving", process, ticks);
    if (!BuildLogFilePath(MovingLogFilePath, LogDestDir, name)) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return RenameResult::kNotMoved;
    }
    if (!api.MoveFileExW(LogFilePath, MovingLogFilePath, 0)) return RenameResult::kNotMoved;
    if (api.MoveFileExW(MovingLogFilePath, MovedLogFilePath, MOVEFILE_REPLACE_EXISTING)) {
        return RenameResult::kMoved;
    }
    DWORD error = ::GetLastError();
    const DWORD attributes = api.GetFileAttributesW(MovedLogFilePath);
    FormatText(name, L"vp_log.1.%d-%d.old", process, ticks);
    wchar_t old[kTextUnits];
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        BuildLogFilePath(old, LogDestDir, name)) {
        if (api.MoveFileExW(MovedLogFilePath, old, 0)) {
            (void)api.DeleteFileW(old);
            if (api.MoveFileExW(MovingLogFilePath, MovedLogFilePath, 0))
                return RenameResult::kMoved;
        }
        error = ::GetLastError();
    }
    const bool back = api.MoveFileExW(MovingLogFilePath, LogFilePath, 0) != FALSE;
    ::SetLastError(error);
    return back ? RenameResult::kNotMoved : RenameResult::kLeftAside;
}

// Step 2: renames the full file to vp_log.1.txt and holds a new vp_log.txt.
// Returns whether the held file changed.
bool MoveFullLogFile() {
    Win32Api& api = Win32();
    // Unsigned difference: right across the tick count's wrap.
    if (MovedLogFilePath[0] == L'\0' ||
        (LogMoveFailing && api.GetTickCount() - LogMoveFailedAt < kLogMoveRetryMs)) {
        return false;
    }
    const RenameResult result = RenameFullLogFile();
    if (result != RenameResult::kMoved) {
        const DWORD error = ::GetLastError();
        HANDLE file = INVALID_HANDLE_VALUE;
        if (result == RenameResult::kLeftAside) {
            // Its lines are all there; the next ones go to the new vp_log.txt.
            file = OpenForAppendingBounded(LogFilePath);
            if (file != INVALID_HANDLE_VALUE) HoldLogFile(file);
        }
        if (!LogMoveFailing || result == RenameResult::kLeftAside) {
            wchar_t text[kLongTextUnits];
            if (result == RenameResult::kLeftAside) {
                FormatText(text, L"Log file not moved to %s (error %d). Its lines are in %s.",
                           kMovedLogFileName, static_cast<int>(error), MovingLogFilePath);
            } else {
                FormatText(text,
                           L"Log file not moved to %s (error %d). It grows past LogMaxSize "
                           L"until a later try succeeds.",
                           kMovedLogFileName, static_cast<int>(error));
            }
            AppendLine(LogFileHandle, text);
        }
        LogMoveFailing = true;
        LogMoveFailedAt = api.GetTickCount();
        return file != INVALID_HANDLE_VALUE;
    }
    LogMoveFailing = false;
    HANDLE file = OpenForAppendingBounded(LogFilePath);
    if (file == INVALID_HANDLE_VALUE) return false;
    HoldLogFile(file);
    return true;
}

}  // namespace

bool BuildLogFilePath(std::span<wchar_t> path, const wchar_t* destDir, const wchar_t* name) {
    bool fits = CopyText(path, destDir);
    const size_t length = wcslen(destDir);
    const bool endsWithBackslash = length > 0 && destDir[length - 1] == L'\\';
    if (!endsWithBackslash) fits = AppendText(path, L"\\") && fits;
    return AppendText(path, name) && fits;
}

bool LogMoveDue(DWORD end, size_t lineBytes, DWORD maxSizeKiB) {
    if (maxSizeKiB == 0) return false;
    const ULONGLONG limit = ULONGLONG{std::min(maxSizeKiB, kLogMaxSizeCap)} * 1024;
    return end > sizeof(kByteOrderMark) && ULONGLONG{end} + lineBytes > limit;
}

BOOL OpenLogFile() {
    wchar_t path[kTextUnits] = {};
    const bool fits = BuildLogFilePath(path, LogDestDir);
    HANDLE file = INVALID_HANDLE_VALUE;
    {
        std::lock_guard guard(LogLock());
        if (LogMutex == nullptr) CreateLogMutex();
        if (fits) {
            CrossProcessLock crossProcess;
            file = OpenForAppending(path);
        }
        if (file != INVALID_HANDLE_VALUE) {
            CopyText(LogFilePath, path);
            if (!BuildLogFilePath(MovedLogFilePath, LogDestDir, kMovedLogFileName)) {
                MovedLogFilePath[0] = L'\0';
            }
            LogMoveFailing = false;
            HoldLogFile(file);
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        wchar_t text[kLongTextUnits];
        FormatText1024(text, reports::kLogOpenFailed.text, path);
        ReportError(text, reports::kLogOpenFailed.code, nullptr, MB_SYSTEMMODAL);
        return FALSE;
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
            const DWORD bytes = static_cast<DWORD>(length * sizeof(wchar_t));
            CrossProcessLock crossProcess;
            const bool heldAtPath = FollowMovedLogFile();
            // Positions are 32-bit: at or beyond 4 GiB the seek fails and the
            // line is dropped (LogMaxSize, when set, keeps the file below).
            DWORD end = Win32().SetFilePointer(LogFileHandle, 0, nullptr, FILE_END);
            if (end != INVALID_SET_FILE_POINTER && heldAtPath && crossProcess.owned() &&
                LogMoveDue(end, bytes, LogMaxSize) && MoveFullLogFile()) {
                end = Win32().SetFilePointer(LogFileHandle, 0, nullptr, FILE_END);
            }
            if (end != INVALID_SET_FILE_POINTER) {
                DWORD written = 0;
                Win32().WriteFile(LogFileHandle, line, bytes, &written, nullptr);
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
    LogFileId = FileId{};
    LogMoveFailing = false;
    if (LogMutex != nullptr) {
        Win32().CloseHandle(LogMutex);
        LogMutex = nullptr;
    }
    LogMutexContested = false;
}

}  // namespace lmvn
