// Reports in the Windows Event Log (the Application log), for administrators
// who cannot watch every session's message boxes: source "Lumvane", the
// notification code as the event ID, and the report's text as the event's
// one string. The agent's message table (lmvnagent.exe) shows that string.
#pragma once

#include <windows.h>

namespace lmvn {

// The event source's name.
inline constexpr wchar_t kEventSourceName[] = L"Lumvane";

// Writes one event for a report, unless EventLogEnabled is 0. A failure is
// ignored: the Event Log is never a reason to hold up a job. Safe from any
// thread; the last error is kept.
void WriteEventLog(DWORD code, WORD type, const wchar_t* text);

// Releases the event source (at shutdown); later events register it again.
void CloseEventLog();

}  // namespace lmvn
