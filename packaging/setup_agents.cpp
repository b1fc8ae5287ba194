#include "setup_agents.h"

#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <cwchar>

#include "agent/events.h"
#include "setup_records.h"
#include "win/process_start.h"

namespace lmvnsetup {
namespace {

using lmvn::UniqueFile;
using lmvn::UniqueHandle;

constexpr wchar_t kAgentExe[] = L"lmvnagent.exe";

}  // namespace

std::vector<RunningAgent> FindAgents(bool open) {
    std::vector<RunningAgent> agents;
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return agents;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) return agents;
    do {
        if (_wcsicmp(entry.szExeFile, kAgentExe) != 0) continue;
        RunningAgent agent;
        agent.pid = entry.th32ProcessID;
        if (!ProcessIdToSessionId(agent.pid, &agent.session)) continue;
        if (open) {
            agent.process.reset(
                OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, agent.pid));
            wchar_t path[MAX_PATH * 2] = {};
            DWORD size = MAX_PATH * 2;
            if (agent.process && QueryFullProcessImageNameW(agent.process.get(), 0, path, &size)) {
                agent.path.assign(path, size);
            }
        }
        agents.push_back(std::move(agent));
    } while (Process32NextW(snapshot.get(), &entry));
    return agents;
}

std::set<DWORD> ExistingSessions() {
    std::set<DWORD> sessions;
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return sessions;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) return sessions;
    do {
        DWORD session = 0;
        if (ProcessIdToSessionId(entry.th32ProcessID, &session)) sessions.insert(session);
    } while (Process32NextW(snapshot.get(), &entry));
    return sessions;
}

std::vector<DWORD> StoppedSessions(std::wstring_view text, const std::set<DWORD>& existing) {
    std::vector<DWORD> sessions;
    std::vector<Record> records;
    if (!ParseRecords(text, records)) return sessions;
    std::set<DWORD> seen;
    for (Record& record : records) {
        DWORD session = 0;
        if (record.tag == L"agent" && record.ReadNumber(session) && existing.contains(session) &&
            seen.insert(session).second) {
            sessions.push_back(session);
        }
    }
    return sessions;
}

bool AgentRunsIn(DWORD session) {
    for (const RunningAgent& agent : FindAgents(false)) {
        if (agent.session == session) return true;
    }
    return false;
}

size_t StopAgents(const std::vector<RunningAgent>& agents, DWORD limitMs, DWORD& error) {
    error = ERROR_SUCCESS;
    lmvn::EventNames names;
    lmvn::FormatEventNames(names, FALSE, L"", 0);
    const UniqueHandle kill(OpenEventW(EVENT_MODIFY_STATE, FALSE, names.kill));
    if (!kill) {
        error = GetLastError();
        return agents.size();
    }
    SetEvent(kill.get());
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    size_t running = 0;
    for (const RunningAgent& agent : agents) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        // An agent that could not be opened cannot be waited for: counted as
        // running.
        if (!agent.process || WaitForSingleObject(agent.process.get(), left) != WAIT_OBJECT_0) {
            ++running;
        }
    }
    // The agents never reset the event: an agent started while it is set
    // would leave at its first wait.
    ResetEvent(kill.get());
    return running;
}

DWORD StartAgentInSession(DWORD session, const std::wstring& program) {
    UniqueHandle user;
    if (!WTSQueryUserToken(session, user.put())) return GetLastError();
    UniqueHandle primary;
    if (!DuplicateTokenEx(user.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                          primary.put())) {
        return GetLastError();
    }
    void* environment = nullptr;
    if (!CreateEnvironmentBlock(&environment, primary.get(), FALSE)) return GetLastError();
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    std::wstring command = L"\"" + program + L"\"";
    wchar_t directory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    PROCESS_INFORMATION started{};
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessAsUserW(primary.get(), program.c_str(), command.data(), nullptr, nullptr,
                                 FALSE, CREATE_UNICODE_ENVIRONMENT, environment,
                                 length > 0 && length < MAX_PATH ? directory : nullptr, &startup,
                                 &started)) {
            error = ERROR_SUCCESS;
            break;
        }
        error = GetLastError();
        if (attempt >= lmvn::kProcessStartAttempts || !lmvn::IsTransientStartError(error)) break;
        Sleep(lmvn::kProcessStartPauseMs);
    }
    DestroyEnvironmentBlock(environment);
    if (error != ERROR_SUCCESS) return error;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return ERROR_SUCCESS;
}

}  // namespace lmvnsetup
