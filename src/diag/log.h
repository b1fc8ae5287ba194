// The log file "vp_log.txt": UTF-16LE lines with UTC time stamps, appended
// by this agent and by the agents of other sessions that share the folder.
#pragma once

#include <windows.h>

#include <span>

namespace lmvn {

inline constexpr wchar_t kLogFileName[] = L"vp_log.txt";

// The open log file, or INVALID_HANDLE_VALUE. Written only by OpenLogFile and
// CloseLogFile.
extern HANDLE LogFileHandle;

// Builds "<LogDestDir>\vp_log.txt" into `path`; false when it does not fit
// (the path is then cut, and still terminated).
bool BuildLogFilePath(std::span<wchar_t> path, const wchar_t* destDir);

// Opens (or creates, with a byte-order mark) the log file in LogDestDir and
// writes "Agent started.". On failure reports 0xF001 and returns FALSE.
BOOL OpenLogFile();

// Appends one time-stamped line holding `text`; does nothing while the file
// is not open. Callers test LogEnabled first. Safe from any thread.
void WriteLog(const wchar_t* text);

// Closes the file; later WriteLog calls write nothing.
void CloseLogFile();

// Formats one log line for `text` at `time` into `line` (a text too long for
// the line is cut so that CR LF still ends it). Returns the number of units
// written, without the terminator.
size_t FormatLogLine(wchar_t (&line)[1024], const SYSTEMTIME& time, const wchar_t* text);

}  // namespace lmvn
