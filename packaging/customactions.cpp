// Custom actions of the Lumvane installer package (lmvnsetup.dll, stored in
// the package's Binary table, never installed). Each one is bounded in time,
// shows no window and returns ERROR_SUCCESS unless the installation must stop.
//
// One immediate action decides everything and hands each deferred action its
// data (CustomActionData); a deferred action with no data does nothing. No
// public property reaches a deferred action in any other way. The data
// names the installation's backups, so the package lists every action's
// data in MsiHiddenProperties: no installer log shows it.
//
//   CheckDowngrade         immediate, after FindRelatedProducts: refuses to
//                          install over a newer version, with a log line (the
//                          launch condition after it says so too, but Wine's
//                          log does not show its text).
//   CheckSettings          immediate, after the features' states are known:
//                          refuses leaving the Agent feature out,
//                          a setting out of range, settings given by a user
//                          who is not an administrator, and a Settings key
//                          that others may write; decides what the deferred
//                          actions do.
//   RestartStoppedAgents   rollback of StopAgents: starts the installed agent
//                          again in each session where StopAgents stopped
//                          one and that still exists, as that session's user.
//   StopAgents             deferred, when agent files are installed, replaced
//                          or removed: records the sessions of the running
//                          agents in a backup, sets the kill event, waits at
//                          most 10 s for them to end, then resets it.
//   RollbackSettings       rollback of SetKeyRights and RemoveSettings: puts
//                          back what their backup recorded.
//   SetKeyRights           deferred (install, repair, upgrade, maintenance):
//                          writes the given settings into
//                          HKLM\Software\Lumvane\Settings, keeps the others
//                          byte for byte, moves values an administrator wrote
//                          into the main key at a first install, and gives
//                          both keys their DACLs.
//   RemoveSettings         deferred (uninstall): removes the settings from
//                          Settings, then both keys, or leaves the main key
//                          closed to users when it holds values of others.
//   NoteFilesInUse         deferred (uninstall), after the files' removal: a
//                          program still there is in use; the installation
//                          then ends with 3010 (restart required).
//   StartAgents            commit: starts the agent in each session where one
//                          ran before and none runs now.
//   DiscardSettingsBackup  commit: deletes the backup of the settings.
//   RemoveFilesAtRestart   commit (uninstall): moves the programs still in
//                          use out of their folder and schedules them for
//                          removal at the restart; removes the folder.
#include <windows.h>

#include <bcrypt.h>
#include <msi.h>
#include <msiquery.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "setup_agents.h"
#include "setup_keys.h"
#include "setup_plan.h"
#include "setup_records.h"
#include "win/unique.h"

namespace {

using lmvnsetup::Record;
using lmvnsetup::RecordWriter;
using lmvnsetup::StoredValue;

constexpr DWORD kStopWaitMs = 10000;
constexpr wchar_t kAgentExe[] = L"lmvnagent.exe";

// One line in the installer log ("msiexec /l*v"), shown as it stands.
void Log(MSIHANDLE install, const std::wstring& line) {
    PMSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, lmvnsetup::Literal(L"Lumvane: " + line).c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
    DWORD size = 0;
    wchar_t empty[1] = {};
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return L"";
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return L"";
    value.resize(size);
    return value;
}

// The records a deferred action was handed; none when it was handed nothing
// (or something that is not records, which is logged).
std::vector<Record> ActionData(MSIHANDLE install) {
    std::vector<Record> records;
    const std::wstring data = Property(install, L"CustomActionData");
    if (!lmvnsetup::ParseRecords(data, records)) {
        Log(install, L"the action's data cannot be read; it does nothing.");
        records.clear();
    }
    return records;
}

// The first text field of the first record tagged `tag`, or empty.
std::wstring TextOf(std::vector<Record>& records, std::wstring_view tag) {
    for (Record& record : records) {
        std::wstring text;
        record.next = 0;
        if (record.tag == tag && record.ReadText(text)) return text;
    }
    return L"";
}

lmvnsetup::Note Noter(MSIHANDLE install) {
    return [install](const std::wstring& line) { Log(install, line); };
}

// Logs a plan's notes and, unless it is refused, applies it with `apply`
// (ApplyInstall or ApplyRemoval, which write `backup` first).
UINT Carry(MSIHANDLE install, const lmvnsetup::Plan& plan, const std::wstring& backup,
           DWORD (*apply)(const lmvnsetup::Plan&, const std::wstring&, const lmvnsetup::Note&)) {
    for (const std::wstring& note : plan.notes) Log(install, note);
    if (plan.refused) return ERROR_INSTALL_FAILURE;
    return apply(plan, backup, Noter(install)) == ERROR_SUCCESS ? ERROR_SUCCESS
                                                                : ERROR_INSTALL_FAILURE;
}

// 128 random bits in hex, or empty.
std::wstring RandomName() {
    BYTE random[16] = {};
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return L"";
    }
    std::wstring name;
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    for (const BYTE b : random) {
        name += kDigits[b >> 4];
        name += kDigits[b & 0xF];
    }
    return name;
}

// A new name in the system's own temporary folder, for a program in use
// moved out of its folder until the restart removes it.
std::wstring NewTempPath(const std::wstring& suffix) {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring random = RandomName();
    if (length == 0 || length >= MAX_PATH || random.empty()) return L"";
    return std::wstring(windows) + L"\\Temp\\Lumvane-" + random + suffix;
}

// The installed state of a feature once this installation is done.
bool WillBePresent(MSIHANDLE install, const wchar_t* feature, UINT& error) {
    INSTALLSTATE installed = INSTALLSTATE_UNKNOWN;
    INSTALLSTATE action = INSTALLSTATE_UNKNOWN;
    error = MsiGetFeatureStateW(install, feature, &installed, &action);
    const INSTALLSTATE after = action == INSTALLSTATE_UNKNOWN ? installed : action;
    return after == INSTALLSTATE_LOCAL || after == INSTALLSTATE_SOURCE;
}

// Whether this installation installs, reinstalls or removes the files of
// `feature`: it is installed where it was not, removed, or named by REINSTALL
// (a repair). Wine reports an installed feature as being installed again in
// every maintenance run (REMOVE=Tools, ADDLOCAL=Tools, the package again),
// so the action state alone does not tell.
bool FilesChange(MSIHANDLE install, const wchar_t* feature) {
    INSTALLSTATE installed = INSTALLSTATE_UNKNOWN;
    INSTALLSTATE action = INSTALLSTATE_UNKNOWN;
    if (MsiGetFeatureStateW(install, feature, &installed, &action) != ERROR_SUCCESS) return true;
    const auto present = [](INSTALLSTATE state) {
        return state == INSTALLSTATE_LOCAL || state == INSTALLSTATE_SOURCE;
    };
    if (action == INSTALLSTATE_ABSENT) return present(installed);
    if (!present(action)) return false;
    if (!present(installed)) return true;
    const std::wstring reinstall = Property(install, L"REINSTALL");
    size_t start = 0;
    while (start <= reinstall.size()) {
        const size_t comma = reinstall.find(L',', start);
        const std::wstring name = reinstall.substr(
            start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
        if (_wcsicmp(name.c_str(), L"ALL") == 0 || name == feature) return true;
        if (comma == std::wstring::npos) break;
        start = comma + 1;
    }
    return false;
}

// The names of the package's files (File table), for the uninstall's check
// of files left in use.
std::vector<std::wstring> PackageFiles(MSIHANDLE install) {
    std::vector<std::wstring> names;
    PMSIHANDLE database = MsiGetActiveDatabase(install);
    PMSIHANDLE view;
    if (MsiDatabaseOpenViewW(database, L"SELECT `FileName` FROM `File`", &view) != ERROR_SUCCESS ||
        MsiViewExecute(view, 0) != ERROR_SUCCESS) {
        return names;
    }
    PMSIHANDLE row;
    while (MsiViewFetch(view, &row) == ERROR_SUCCESS) {
        wchar_t name[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (MsiRecordGetStringW(row, 1, name, &size) != ERROR_SUCCESS) continue;
        std::wstring file = name;
        // "SHORT~1.EXE|long name.exe": the long name.
        const size_t bar = file.find(L'|');
        names.push_back(bar == std::wstring::npos ? file : file.substr(bar + 1));
    }
    return names;
}

std::wstring WithBackslash(std::wstring dir) {
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
    return dir;
}

// The programs named by the action's data ("dir", then "file" names) that
// still exist: after the files' removal, those in use.
std::vector<std::wstring> FilesLeft(MSIHANDLE install, std::wstring& dir) {
    std::vector<Record> records = ActionData(install);
    dir = WithBackslash(TextOf(records, L"dir"));
    std::vector<std::wstring> left;
    if (dir.size() <= 1) return left;
    for (Record& record : records) {
        std::wstring name;
        record.next = 0;
        if (record.tag != L"file" || !record.ReadText(name)) continue;
        const std::wstring path = dir + name;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) left.push_back(path);
    }
    return left;
}

bool CheckSettingsValues(MSIHANDLE install, lmvnsetup::SettingValues& given) {
    bool refused = false;
    bool anyGiven = false;
    for (size_t i = 0; i < lmvnsetup::kSettings.size(); ++i) {
        const lmvnsetup::SettingSpec& spec = lmvnsetup::kSettings[i];
        const std::wstring text = Property(install, spec.property);
        if (text.empty()) continue;  // not given: left as it is
        anyGiven = true;
        StoredValue value;
        std::wstring error;
        if (!lmvnsetup::ValueFromProperty(spec, text, value, error)) {
            std::wstring line = spec.property;
            line += L"=\"" + text + L"\" refused: ";
            line += error;
            line += L" (registry value \"" + std::wstring(spec.value) + L"\").";
            Log(install, line);
            refused = true;
            continue;
        }
        given[i] = std::move(value);
    }
    // Only an administrator's own installation sets what every user's agent
    // runs. (The properties are not secure: Windows Installer does not pass
    // them to an installation elevated for a standard user at all.) The
    // package sets MSIUSEREALADMINDETECTION, so that AdminUser says whether
    // the user is an administrator, not only whether the installation runs
    // elevated.
    if (anyGiven && Property(install, L"AdminUser").empty()) {
        Log(install,
            L"machine-wide settings can be given only in an administrator's installation "
            L"(AdminUser is not set).");
        refused = true;
    }
    return !refused;
}

// Starts `program` (the installed agent) in each of `sessions` where no
// agent runs now, and logs how it went.
void StartWhereNoneRuns(MSIHANDLE install, const std::wstring& program,
                        const std::vector<DWORD>& sessions) {
    std::set<DWORD> done;
    for (const DWORD session : sessions) {
        if (program.empty() || !done.insert(session).second) continue;
        if (lmvnsetup::AgentRunsIn(session)) {
            Log(install, L"an agent runs in session " + std::to_wstring(session) + L".");
            continue;
        }
        if (GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
            Log(install, program + L" is gone: no agent is started in session " +
                             std::to_wstring(session) + L".");
            continue;
        }
        const DWORD error = lmvnsetup::StartAgentInSession(session, program);
        Log(install, error == ERROR_SUCCESS
                         ? L"the agent is started again in session " + std::to_wstring(session) +
                               L": " + program + L"."
                         : L"the agent cannot be started in session " + std::to_wstring(session) +
                               L" (error " + std::to_wstring(error) +
                               L"); the user's next logon starts it.");
    }
}

// The sessions, still there, where StopAgents stopped an agent: none when it
// wrote no backup (no agent ran, or it did not run), and none, logged, when
// the backup is not one this installation wrote.
std::vector<DWORD> StoppedSessions(MSIHANDLE install, const std::wstring& backup) {
    std::wstring text;
    std::wstring why;
    const DWORD read = lmvnsetup::ReadBackup(backup, text, why);
    if (read == ERROR_FILE_NOT_FOUND) return {};
    if (read == lmvnsetup::kBackupNotTrusted) {
        Log(install,
            L"the list of stopped agents is not used, as this installation did not "
            L"write it: " +
                why + L".");
        return {};
    }
    if (read != ERROR_SUCCESS) {
        Log(install,
            L"the list of stopped agents cannot be read (error " + std::to_wstring(read) + L").");
        return {};
    }
    return lmvnsetup::StoppedSessions(text, lmvnsetup::ExistingSessions());
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckDowngrade(MSIHANDLE install) {
    // FindRelatedProducts has run: a newer version of the product is installed.
    const std::wstring newer = Property(install, L"WIX_DOWNGRADE_DETECTED");
    if (newer.empty()) return ERROR_SUCCESS;
    Log(install, L"a newer version of Lumvane is already installed (" + newer +
                     L"); this older package is refused. Remove the newer one first.");
    return ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install) {
    // Every action's data is set here, also when the installation is refused.
    for (const wchar_t* action :
         {L"RestartStoppedAgents", L"StopAgents", L"RollbackSettings", L"SetKeyRights",
          L"RemoveSettings", L"NoteFilesInUse", L"StartAgents", L"DiscardSettingsBackup",
          L"RemoveFilesAtRestart"}) {
        MsiSetPropertyW(install, action, L"");
    }
    UINT agentError = ERROR_SUCCESS;
    UINT toolsError = ERROR_SUCCESS;
    const bool agent = WillBePresent(install, L"Agent", agentError);
    const bool tools = WillBePresent(install, L"Tools", toolsError);
    if (agentError != ERROR_SUCCESS || toolsError != ERROR_SUCCESS) {
        Log(install, L"the features' states cannot be read (error " +
                         std::to_wstring(agentError != ERROR_SUCCESS ? agentError : toolsError) +
                         L").");
        return ERROR_INSTALL_FAILURE;
    }
    const bool removing = !agent && !tools;
    if (!agent && !removing) {
        Log(install,
            L"the Agent feature cannot be left out: the tools are installed only with the "
            L"agent. Install without ADDLOCAL (or with ADDLOCAL=ALL), and remove the product "
            L"with msiexec /x; REMOVE=Agent is refused. Nothing was changed.");
        return ERROR_INSTALL_FAILURE;
    }
    if (!Property(install, L"RollbackDisabled").empty()) {
        Log(install,
            L"rollback is disabled on this machine: a failed installation is not undone, "
            L"agents stopped by it are not started again (the next logon starts them), and "
            L"its backups stay under HKLM\\" +
                lmvnsetup::BackupKeyPath() + L".");
    }

    const std::wstring run = RandomName();
    if (run.empty()) {
        Log(install, L"no name for the backups can be made.");
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring backup = run + L".settings";
    const std::wstring agentsBackup = run + L".agents";
    const std::wstring installDir = WithBackslash(Property(install, L"INSTALLDIR"));
    const std::wstring agentProgram = installDir + kAgentExe;
    const bool stop = removing || FilesChange(install, L"Agent");
    RecordWriter backupData;
    backupData.Begin(L"backup").Text(backup);
    // The stopped agents' backup is named only where StopAgents runs: else
    // nothing is read as its list.
    RecordWriter agentsData;
    RecordWriter restartData;
    if (stop) {
        agentsData.Begin(L"backup").Text(agentsBackup);
        restartData.Begin(L"backup").Text(agentsBackup).Begin(L"program").Text(agentProgram);
    }

    RecordWriter settingsData;
    settingsData.Begin(L"backup").Text(backup);
    RecordWriter startData;
    if (stop) startData.Begin(L"backup").Text(agentsBackup);
    RecordWriter filesData;
    if (removing) {
        const std::wstring upgrading = Property(install, L"UPGRADINGPRODUCTCODE");
        if (upgrading.empty()) {
            // Only a removal of its own: within an upgrade the new version's
            // files take the same names before this removal's commit runs,
            // and Windows Installer replaces files in use itself.
            filesData.Begin(L"dir").Text(installDir);
            for (const std::wstring& name : PackageFiles(install)) {
                filesData.Begin(L"file").Text(name);
            }
        } else {
            settingsData.Begin(L"upgrade").Text(upgrading);
        }
        MsiSetPropertyW(install, L"RemoveSettings", settingsData.str().c_str());
        MsiSetPropertyW(install, L"NoteFilesInUse", filesData.str().c_str());
        MsiSetPropertyW(install, L"RemoveFilesAtRestart", filesData.str().c_str());
    } else {
        lmvnsetup::SettingValues given;
        if (!CheckSettingsValues(install, given)) {
            Log(install, L"a setting is refused; nothing was installed or changed.");
            return ERROR_INSTALL_FAILURE;
        }
        // What Settings holds now, before an older version's removal may
        // delete it, to be written back byte for byte where it went missing.
        const lmvnsetup::KeyState settings = lmvnsetup::ReadKeyState(lmvnsetup::SettingsKeyPath());
        std::wstring refusal;
        if (lmvnsetup::SettingsKeyRefused(settings, refusal)) {
            Log(install, refusal);
            return ERROR_INSTALL_FAILURE;
        }
        for (size_t i = 0; i < lmvnsetup::kSettings.size(); ++i) {
            if (given[i]) settingsData.Begin(L"given").Value(*given[i]);
            if (settings.settings[i]) settingsData.Begin(L"captured").Value(*settings.settings[i]);
        }
        MsiSetPropertyW(install, L"SetKeyRights", settingsData.str().c_str());
        // The sessions where an agent runs now get one again at the end, also
        // where an older version's removal (not this package) stops it.
        std::set<DWORD> sessions;
        for (const lmvnsetup::RunningAgent& running : lmvnsetup::FindAgents(false)) {
            sessions.insert(running.session);
        }
        startData.Begin(L"program").Text(agentProgram);
        for (const DWORD session : sessions) startData.Begin(L"session").Number(session);
    }
    if (!stop)
        Log(install, L"no agent file is installed, replaced or removed: agents keep running.");
    MsiSetPropertyW(install, L"StopAgents", agentsData.str().c_str());
    MsiSetPropertyW(install, L"RestartStoppedAgents", restartData.str().c_str());
    MsiSetPropertyW(install, L"RollbackSettings", backupData.str().c_str());
    MsiSetPropertyW(install, L"DiscardSettingsBackup", backupData.str().c_str());
    MsiSetPropertyW(install, L"StartAgents", startData.str().c_str());
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall StopAgents(MSIHANDLE install) {
    std::vector<Record> data = ActionData(install);
    const std::wstring backup = TextOf(data, L"backup");
    if (backup.empty()) return ERROR_SUCCESS;
    const std::vector<lmvnsetup::RunningAgent> agents = lmvnsetup::FindAgents(true);
    if (agents.empty()) {
        Log(install, L"no agent is running.");
        return ERROR_SUCCESS;
    }
    // Written before any agent stops: a rollback starts the installed agent
    // again in each of these sessions. Only the sessions: what a rollback
    // starts is never read from a backup.
    RecordWriter record;
    for (const lmvnsetup::RunningAgent& agent : agents)
        record.Begin(L"agent").Number(agent.session);
    const DWORD written = lmvnsetup::WriteBackup(backup, record.str());
    if (written != ERROR_SUCCESS) {
        Log(install, L"the list of running agents cannot be written under HKLM\\" +
                         lmvnsetup::BackupKeyPath() + L" (error " + std::to_wstring(written) +
                         L"); no agent was stopped.");
        return ERROR_INSTALL_FAILURE;
    }
    DWORD error = ERROR_SUCCESS;
    const size_t running = lmvnsetup::StopAgents(agents, kStopWaitMs, error);
    if (error != ERROR_SUCCESS) {
        Log(install, L"the kill event cannot be opened (error " + std::to_wstring(error) +
                         L"); running agents keep their files until the next restart.");
    }
    Log(install, std::to_wstring(agents.size() - running) + L" running agent(s) stopped, " +
                     std::to_wstring(running) + L" still running.");
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RestartStoppedAgents(MSIHANDLE install) {
    std::vector<Record> data = ActionData(install);
    const std::wstring backup = TextOf(data, L"backup");
    if (backup.empty()) return ERROR_SUCCESS;
    StartWhereNoneRuns(install, TextOf(data, L"program"), StoppedSessions(install, backup));
    lmvnsetup::DiscardBackup(backup);
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall StartAgents(MSIHANDLE install) {
    std::vector<Record> data = ActionData(install);
    const std::wstring backup = TextOf(data, L"backup");
    const std::wstring program = TextOf(data, L"program");
    if (!program.empty()) {
        std::vector<DWORD> sessions;
        if (!backup.empty()) sessions = StoppedSessions(install, backup);
        for (Record& record : data) {
            DWORD session = 0;
            record.next = 0;
            if (record.tag == L"session" && record.ReadNumber(session)) sessions.push_back(session);
        }
        StartWhereNoneRuns(install, program, sessions);
    }
    if (!backup.empty()) lmvnsetup::DiscardBackup(backup);
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall SetKeyRights(MSIHANDLE install) {
    std::vector<Record> data = ActionData(install);
    const std::wstring backup = TextOf(data, L"backup");
    if (backup.empty()) return ERROR_SUCCESS;
    lmvnsetup::SettingValues given;
    lmvnsetup::SettingValues captured;
    for (Record& record : data) {
        StoredValue value;
        record.next = 0;
        if ((record.tag != L"given" && record.tag != L"captured") || !record.ReadValue(value)) {
            continue;
        }
        for (size_t i = 0; i < lmvnsetup::kSettings.size(); ++i) {
            if (value.name == lmvnsetup::kSettings[i].value) {
                (record.tag == L"given" ? given : captured)[i] = value;
            }
        }
    }
    return Carry(install,
                 lmvnsetup::PlanInstall(lmvnsetup::ReadKeyState(lmvnsetup::MainKeyPath()),
                                        lmvnsetup::ReadKeyState(lmvnsetup::SettingsKeyPath()),
                                        given, captured),
                 backup, &lmvnsetup::ApplyInstall);
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveSettings(MSIHANDLE install) {
    std::vector<Record> data = ActionData(install);
    const std::wstring backup = TextOf(data, L"backup");
    if (backup.empty()) return ERROR_SUCCESS;
    const std::wstring upgrading = TextOf(data, L"upgrade");
    if (!upgrading.empty()) {
        Log(install,
            L"the settings stay for the version that replaces this one (" + upgrading + L").");
        return ERROR_SUCCESS;
    }
    return Carry(install,
                 lmvnsetup::PlanRemoval(lmvnsetup::ReadKeyState(lmvnsetup::MainKeyPath()),
                                        lmvnsetup::ReadKeyState(lmvnsetup::SettingsKeyPath())),
                 backup, &lmvnsetup::ApplyRemoval);
}

extern "C" __declspec(dllexport) UINT __stdcall RollbackSettings(MSIHANDLE install) {
    std::vector<Record> data = ActionData(install);
    const std::wstring backup = TextOf(data, L"backup");
    if (!backup.empty()) lmvnsetup::RollBack(backup, Noter(install));
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall DiscardSettingsBackup(MSIHANDLE install) {
    std::vector<Record> data = ActionData(install);
    const std::wstring backup = TextOf(data, L"backup");
    if (!backup.empty()) lmvnsetup::DiscardBackup(backup);
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall NoteFilesInUse(MSIHANDLE install) {
    std::wstring dir;
    const std::vector<std::wstring> left = FilesLeft(install, dir);
    if (left.empty()) return ERROR_SUCCESS;
    for (const std::wstring& path : left) {
        Log(install, path + L" is still in use: it is removed at the next restart.");
    }
    MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveFilesAtRestart(MSIHANDLE install) {
    std::wstring dir;
    const std::vector<std::wstring> left = FilesLeft(install, dir);
    if (left.empty()) return ERROR_SUCCESS;
    for (const std::wstring& path : left) {
        // A program in use can be renamed, not deleted: it moves out of the
        // folder (as Windows Installer moves its own files in use), under a
        // name nothing else uses, so that a later installation into the
        // folder is not removed with it at the restart.
        const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
        const std::wstring moved = NewTempPath(L"-" + name);
        const bool away = !moved.empty() && MoveFileExW(path.c_str(), moved.c_str(), 0);
        const std::wstring& doomed = away ? moved : path;
        if (MoveFileExW(doomed.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            Log(install, path + L" is removed at the next restart" +
                             (away ? L" (moved to " + moved + L")." : std::wstring(L".")));
        } else {
            Log(install, path + L" cannot be scheduled for removal (error " +
                             std::to_wstring(GetLastError()) + L").");
        }
    }
    // The folder goes now when it is empty, else after its files.
    dir.pop_back();
    if (!RemoveDirectoryW(dir.c_str()) &&
        !MoveFileExW(dir.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        Log(install, dir + L" cannot be scheduled for removal (error " +
                         std::to_wstring(GetLastError()) + L").");
    }
    return ERROR_SUCCESS;
}
