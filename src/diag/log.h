// The log file "vp_log.txt": UTF-16LE lines with UTC time stamps, appended
// by this agent and by the agents of other sessions that share the folder.
// Past LogMaxSize it becomes "vp_log.1.txt" and a new "vp_log.txt" begins.
#pragma once

#include <windows.h>

#include <span>

namespace lmvn {

inline constexpr wchar_t kLogFileName[] = L"vp_log.txt";
// What the log file becomes when it is full; an earlier one is replaced.
inline constexpr wchar_t kMovedLogFileName[] = L"vp_log.1.txt";
// The largest LogMaxSize that counts (4 GiB - 1 KiB): a larger one, kept to
// this, would let the file reach the 4 GiB where lines are dropped.
inline constexpr DWORD kLogMaxSizeCap = 4194303;

// The open log file, or INVALID_HANDLE_VALUE. Written by OpenLogFile and
// CloseLogFile, and by WriteLog when it follows the file to a new one.
extern HANDLE LogFileHandle;

// Builds "<LogDestDir>\<name>" into `path`; false when it does not fit (the
// path is then cut, and still terminated).
bool BuildLogFilePath(std::span<wchar_t> path, const wchar_t* destDir,
                      const wchar_t* name = kLogFileName);

// Whether a log file whose end is at `end` bytes moves before a line of
// `lineBytes` is added, with a limit of `maxSizeKiB` KiB (0: none). A file
// that holds no more than the byte-order mark never moves, so a line longer
// than the limit gets a file of its own.
bool LogMoveDue(DWORD end, size_t lineBytes, DWORD maxSizeKiB);

// Opens (or creates, with a byte-order mark) the log file in LogDestDir and
// writes "Agent started.". On failure reports 0xF001 and returns FALSE.
BOOL OpenLogFile();

// Appends one time-stamped line holding `text`; does nothing while the file
// is not open. Callers test LogEnabled first. Safe from any thread. When
// another agent has moved the file away, the line goes to the new one; when
// the line would take the file past LogMaxSize, it is moved first (see the
// notes in log.cpp).
void WriteLog(const wchar_t* text);

// Closes the file; later WriteLog calls write nothing.
void CloseLogFile();

// Formats one log line for `text` at `time` into `line` (a text too long for
// the line is cut so that CR LF still ends it). Returns the number of units
// written, without the terminator.
size_t FormatLogLine(wchar_t (&line)[1024], const SYSTEMTIME& time, const wchar_t* text);

}  // namespace lmvn
