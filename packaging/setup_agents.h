// The running agents, as the installer's custom actions see them: found by
// their program's name in every session, stopped through the kill event, and
// started again in a session as that session's user.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "win/unique.h"

namespace lmvnsetup {

struct RunningAgent {
    DWORD pid = 0;
    DWORD session = 0;
    std::wstring path;           // its program, when it could be read (else empty)
    lmvn::UniqueHandle process;  // opened for waiting, when `open` was asked for
};

// Every process named lmvnagent.exe, in every session. With `open`, each is
// also opened for waiting and its program's path read (as LocalSystem this
// reaches every user's agent); one that cannot be opened is listed without.
std::vector<RunningAgent> FindAgents(bool open);

// Whether an agent runs in `session` now.
bool AgentRunsIn(DWORD session);

// Sets the kill event, waits at most `limitMs` for `agents` to end, and resets
// the event so that agents started later run. Returns how many still run;
// `error` receives the error of opening the kill event (all still run then).
size_t StopAgents(const std::vector<RunningAgent>& agents, DWORD limitMs, DWORD& error);

// The sessions that exist now: those where any process runs (every session
// has its own system processes; a list that does not need the Terminal
// Services service, which Wine lacks).
std::set<DWORD> ExistingSessions();

// The sessions that a backup of StopAgents (`text`: "agent" records whose
// first field is the session) names and that are among `existing`, each
// once, in order. Anything else a record holds, such as a program's path, is
// ignored: the installer only ever starts the installed agent. Empty when
// `text` is not records.
std::vector<DWORD> StoppedSessions(std::wstring_view text, const std::set<DWORD>& existing);

// Starts `program` in `session` as the user logged on there, with that user's
// environment, on the interactive desktop, as a logon would (the Run value's
// command). Needs LocalSystem (WTSQueryUserToken). Returns 0 or the error of
// the step that failed.
DWORD StartAgentInSession(DWORD session, const std::wstring& program);

}  // namespace lmvnsetup
