// The agent's three named events: the per-user print event, the shared
// printing event and the kill event.
#pragma once

#include "win/unique.h"

#include <span>

namespace lmvn {

struct AgentEvents {
    UniqueHandle print;
    UniqueHandle shared;
    UniqueHandle kill;  // none when no handle could be had: the agent then waits on two
};

struct EventNames {
    wchar_t print[260] = {};
    wchar_t shared[260] = {};
    wchar_t kill[260] = {};
};

// Formats the three names: "Global\<user>_<printer>_printevent_SESSION<n>",
// "Global\<printer>_shared_printing_event", "Global\<printer>_killevent";
// with NT4Mode "<printer>_printevent" and no "Global\" prefix.
void FormatEventNames(EventNames& names, BOOL nt4Mode, const wchar_t* userName, DWORD sessionId);

// Creates the events. FALSE when the agent must end: the print event could not
// be created (reported, 0xF002) or exists already (another agent of this user
// and session: beep, nothing reported), or the shared printing event could be
// neither created nor opened (reported, 0xF003).
BOOL CreateAgentEvents(AgentEvents& events, const wchar_t* userName);

}  // namespace lmvn
