#include "check.h"

#include <sddl.h>

#include <cwchar>

#include "../common/error_text.h"
#include "agent/agent_main.h"
#include "agent/events.h"
#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "job/client_settings.h"
#include "job/clipboard_delivery.h"
#include "job/handover.h"
#include "job/stages.h"
#include "job/trusted_accounts.h"
#include "win/registry.h"
#include "win/unique.h"

namespace lmvncheck {
namespace {

using lmvn::ClientSettings;
using lmvn::ClientSettingsTrace;
using lmvn::UniqueHandle;
using lmvn::UniqueKey;
using lmvn::ValueRead;
using lmvn::ValueSource;

constexpr DWORD kTextBytes = lmvn::kTextUnits * sizeof(wchar_t);

std::wstring Hex(DWORD value) {
    wchar_t text[16] = {};
    swprintf(text, 16, L"0x%X", value);
    return text;
}

std::wstring Number(DWORD value) { return std::to_wstring(value) + L" (" + Hex(value) + L")"; }

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// "LogMaxSize" as the log writer takes it.
std::wstring LogMaxSizeText(DWORD kib) {
    if (kib == 0) return Number(kib) + L": no limit";
    std::wstring text =
        Number(kib) + L" KiB: vp_log.txt moves to " + lmvn::kMovedLogFileName + L" when full";
    if (kib > lmvn::kLogMaxSizeCap) {
        text += L" (taken as " + std::to_wstring(lmvn::kLogMaxSizeCap) + L" KiB)";
    }
    return text;
}

std::wstring TypeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return L"REG_NONE";
        case REG_SZ:
            return L"REG_SZ";
        case REG_EXPAND_SZ:
            return L"REG_EXPAND_SZ";
        case REG_BINARY:
            return L"REG_BINARY";
        case REG_DWORD:
            return L"REG_DWORD";
        case REG_DWORD_BIG_ENDIAN:
            return L"REG_DWORD_BIG_ENDIAN";
        case REG_MULTI_SZ:
            return L"REG_MULTI_SZ";
        case REG_QWORD:
            return L"REG_QWORD";
        default:
            return L"type " + std::to_wstring(type);
    }
}

std::wstring Stored(const ValueRead& read) {
    return TypeName(read.type) + L", " + std::to_wstring(read.size) + L" bytes";
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring WithBackslash(std::wstring dir) {
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
    return dir;
}

class Checker {
  public:
    explicit Checker(const Options& options) : options_(options) {}

    Result Run() {
        Identify();
        CheckAgentValues();
        CheckClientValues();
        CheckPrograms();
        CheckEvents();
        CheckWaitingJobs();
        if (options_.findWindow) FindTargetWindow();
        return std::move(result_);
    }

  private:
    void Add(Severity severity, DWORD code, const wchar_t* id, const std::wstring& text) {
        result_.findings.push_back(Finding{severity, code, id, text});
    }
    void Show(const wchar_t* group, const std::wstring& name, const std::wstring& value,
              const std::wstring& source = L"", const std::wstring& stored = L"") {
        result_.settings.push_back(Setting{group, name, value, source, stored});
    }

    void Identify() {
        wchar_t own[lmvn::kUserNameUnits] = {};
        DWORD size = lmvn::kUserNameUnits;
        if (!GetUserNameW(own, &size)) own[0] = L'\0';
        currentUser_ = own;
        user_ = options_.user.empty() ? currentUser_ : options_.user;
        session_ = options_.session;
        if (!options_.sessionGiven && !ProcessIdToSessionId(GetCurrentProcessId(), &session_)) {
            session_ = 0;
        }
        result_.user = user_;
        result_.session = session_;

        OSVERSIONINFOW version = {};
        version.dwOSVersionInfoSize = sizeof(version);
        lmvn::Win32().GetVersionExW(&version);
        nt4_ = lmvn::IsNT4(version) ? TRUE : FALSE;
        lmvn::FormatText(keyPath_, lmvn::kKeyPathFormat, lmvn::kPrinterName);

        agentDir_ = options_.agentDir;
        if (agentDir_.empty()) {
            wchar_t module[MAX_PATH * 2] = {};
            const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH * 2);
            agentDir_ = std::wstring(module, length);
            agentDir_.resize(agentDir_.find_last_of(L'\\') + 1);
        }
        agentDir_ = WithBackslash(agentDir_);
    }

    // What is odd about how one value is stored, as the agent reads it.
    // `room` is the agent's room in bytes; `instead` says what applies when
    // the agent counts the value as absent.
    void CheckStorage(HKEY key, const wchar_t* scope, const wchar_t* name, bool number, DWORD room,
                      const ValueRead& read, const std::wstring& instead) {
        const std::wstring what = std::wstring(scope) + L" " + Quoted(name);
        if (read.status == ERROR_FILE_NOT_FOUND) return;
        if (read.status == ERROR_MORE_DATA) {
            const std::wstring why =
                read.size > room
                    ? L"more than the " + std::to_wstring(room) + L" bytes the agent reads"
                    : L"fills the agent's " + std::to_wstring(room) +
                          L" bytes without a terminating null";
            Add(Severity::Warning, 0, L"value-too-large",
                what + L" is " + Stored(read) + L": " + why +
                    L", so the agent takes it as absent; " + instead + L".");
            return;
        }
        if (read.status != ERROR_SUCCESS) {
            Add(Severity::Warning, 0, L"value-unreadable",
                what + L" cannot be read (" +
                    lmvntools::ErrorText(static_cast<DWORD>(read.status)) +
                    L"), so the agent takes it as absent; " + instead + L".");
            return;
        }
        if (number) {
            if (read.type == REG_DWORD) return;
            DWORD raw = 0;
            (void)lmvn::ReadDwordValue(key, name, raw);
            std::wstring shown;
            if (read.type == REG_SZ || read.type == REG_EXPAND_SZ) {
                wchar_t text[lmvn::kTextUnits] = {};
                if (lmvn::ReadTextValue(key, name, text) == ERROR_SUCCESS) {
                    shown = L" " + Quoted(text);
                }
            }
            Add(Severity::Warning, 0, L"value-type",
                what + L" is " + TypeName(read.type) + shown + L" (" + std::to_wstring(read.size) +
                    L" bytes), not REG_DWORD: the agent reads its first 4 bytes raw, as the "
                    L"number " +
                    Number(raw) + L".");
            return;
        }
        if (read.type == REG_SZ) return;
        if (read.type == REG_EXPAND_SZ) {
            wchar_t text[lmvn::kTextUnits] = {};
            if (lmvn::ReadTextValue(key, name, text) == ERROR_SUCCESS &&
                std::wcschr(text, L'%') != nullptr) {
                Add(Severity::Warning, 0, L"value-type",
                    what + L" is REG_EXPAND_SZ: the agent uses it as stored, " + Quoted(text) +
                        L", without expanding it.");
            }
            return;
        }
        const std::wstring effect = read.type == REG_MULTI_SZ
                                        ? L"only its first string counts"
                                        : L"the agent reads its bytes as UTF-16 text";
        Add(Severity::Warning, 0, L"value-type",
            what + L" is " + Stored(read) + L", not REG_SZ: " + effect + L".");
    }

    // The layer a source names, or -1 for the default.
    static int LayerOf(ValueSource source) {
        switch (source) {
            case ValueSource::MachinePolicy:
                return lmvn::kMachinePolicy;
            case ValueSource::UserPolicy:
                return lmvn::kUserPolicy;
            case ValueSource::User:
                return lmvn::kUser;
            case ValueSource::Machine:
                return lmvn::kMachine;
            default:
                return -1;
        }
    }
    static const wchar_t* SourceName(ValueSource source, lmvn::SettingsPlace place) {
        switch (source) {
            case ValueSource::MachinePolicy:
                return L"policy (machine)";
            case ValueSource::UserPolicy:
                return L"policy (user)";
            case ValueSource::User:
                return L"user";
            case ValueSource::Machine:
                return MachineSource(place);
            default:
                return L"default";
        }
    }

    static const wchar_t* MachineSource(lmvn::SettingsPlace place) {
        return place == lmvn::SettingsPlace::SettingsKey ? L"machine (Settings)" : L"machine";
    }
    static const wchar_t* MachineScope(lmvn::SettingsPlace place) {
        return place == lmvn::SettingsPlace::SettingsKey ? L"HKLM Settings" : L"HKLM";
    }

    // Where the agent takes its machine-wide settings from, and what it
    // leaves aside there.
    void CheckSettingsPlace(lmvn::SettingsPlace place, LONG status,
                            const lmvn::SettingsKeyRights& rights) {
        const std::wstring settingsKey =
            L"HKLM\\Software\\Lumvane\\" + std::wstring(lmvn::kSettingsSubkeyName);
        if (status == lmvn::kSettingsKeyNotProtected) {
            wchar_t writers[400] = {};
            lmvn::DescribeKeyWriters(rights.check, writers);
            const bool settings = rights.key == lmvn::SettingsPlace::SettingsKey;
            Add(Severity::Error, 0, L"settings-key-writable",
                (settings ? settingsKey : std::wstring(L"HKLM\\Software\\Lumvane")) +
                    L" holds the machine-wide settings" +
                    (settings ? L"" : L" (there is no Settings key)") + L", but " + writers +
                    L": the agent does not read settings from a key that others than SYSTEM, "
                    L"Administrators and TrustedInstaller may write. It uses no machine-wide value "
                    L"(the defaults, or the per-user values), and every job without a per-user "
                    L"key is reported (0xF006). " +
                    (settings ? L"Give Settings rights that let only administrators write it "
                                L"(owner Administrators), or install the package again."
                              : L"Install the package, which creates Settings, or give the key "
                                L"rights that let only administrators write it."));
            return;
        }
        if (place == lmvn::SettingsPlace::None && status != ERROR_FILE_NOT_FOUND) {
            Add(Severity::Warning, 0, L"settings-key-unreadable",
                settingsKey +
                    L" (or, where it does not exist, HKLM\\Software\\Lumvane) cannot be " +
                    L"opened (" + lmvntools::ErrorText(static_cast<DWORD>(status)) +
                    L"): the agent uses no machine-wide value, and never falls back to the main "
                    L"key when Settings exists.");
        }
        if (place != lmvn::SettingsPlace::SettingsKey) return;
        UniqueKey main;
        if (lmvn::OpenKeyForReading(HKEY_LOCAL_MACHINE, keyPath_, main) != ERROR_SUCCESS) return;
        std::wstring ignored;
        const wchar_t* agentNames[] = {L"Log", L"Message Mode", L"LogDestDir"};
        auto note = [&](const wchar_t* name) {
            if (lmvn::Win32().RegQueryValueExW(main.get(), name, nullptr, nullptr, nullptr,
                                               nullptr) == ERROR_SUCCESS) {
                ignored += (ignored.empty() ? L"" : L", ") + Quoted(name);
            }
        };
        for (const wchar_t* name : agentNames) note(name);
        for (const wchar_t* name : lmvn::kClientValueNames) note(name);
        if (!ignored.empty()) {
            Add(Severity::Warning, 0, L"settings-ignored",
                L"HKLM\\Software\\Lumvane holds " + ignored + L", but " + settingsKey +
                    L" exists, so the agent reads its machine-wide settings only from there and "
                    L"ignores these. Move them into Settings (as an administrator), or delete "
                    L"them.");
        }
    }

    void CheckAgentValues() {
        lmvn::AgentValues agent;
        lmvn::AgentValueReads reads;
        lmvn::ReadAgentValues(agent, &reads);
        const DWORD log = agent.log;
        const DWORD messageMode = agent.messageMode;
        const wchar_t* logDestDir = agent.logDestDir;

        UniqueKey machine;
        lmvn::SettingsKeyRights rights;
        (void)lmvn::OpenMachineSettingsKey(HKEY_LOCAL_MACHINE, keyPath_, machine, nullptr, &rights);
        CheckSettingsPlace(reads.place, reads.keyStatus, rights);
        const struct {
            const wchar_t* name;
            const lmvn::AgentValueReads::Value& read;
            bool number;
            DWORD room;
            std::wstring value;
        } values[] = {
            {L"Log", reads.log, true, 4, Number(log) + (log != 0 ? L": on" : L": off")},
            {L"Message Mode", reads.messageMode, true, 4,
             messageMode == 1 ? L"1: reports are broadcast"
                              : Number(messageMode) + L": message boxes"},
            {L"LogDestDir", reads.logDestDir, false, lmvn::kLogDestDirUnits * 2,
             Quoted(logDestDir)},
            {L"Event Log", reads.eventLog, true, 4,
             Number(agent.eventLog) + (agent.eventLog != 0 ? L": on" : L": off")},
            {L"LogMaxSize", reads.logMaxSize, true, 4, LogMaxSizeText(agent.logMaxSize)},
        };
        for (const auto& v : values) {
            const bool used = v.read.source != ValueSource::Default;
            Show(L"agent", v.name, v.value, SourceName(v.read.source, reads.place),
                 used ? Stored(v.read.read) : L"");
            if (v.read.source == ValueSource::Machine || !used) {
                CheckStorage(machine.get(), MachineScope(reads.place), v.name, v.number, v.room,
                             v.read.read, L"the default applies");
            }
        }
        CheckProducerAccounts(agent.producerAccounts, reads);
        if (messageMode != 1 && messageMode != 0) {
            Add(Severity::Warning, 0, L"message-mode-not-one",
                L"\"Message Mode\" reads as " + Number(messageMode) +
                    L": only exactly 1 turns message mode on, so the agent shows message boxes.");
        }
        if (log != 0) CheckLogFile(logDestDir);
    }

    // "Producer Accounts": each entry that names an account, and those that
    // name none (the agent passes them over).
    void CheckProducerAccounts(const wchar_t* list, const lmvn::AgentValueReads& reads) {
        const ValueRead& read = reads.producerAccounts.read;
        if (read.status == ERROR_FILE_NOT_FOUND) {
            Show(L"agent", L"Producer Accounts", L"none", L"default");
            return;
        }
        if (read.status != ERROR_SUCCESS) {
            Show(L"agent", L"Producer Accounts", L"none", L"default", Stored(read));
            Add(Severity::Warning, 0, L"producer-accounts-unreadable",
                L"\"Producer Accounts\" cannot be read (" + lmvntools::ErrorText(read.status) +
                    L"; at most 1020 bytes fit): no producer account counts, so job description "
                    L"files of any account but the user, SYSTEM and Administrators are refused "
                    L"(0xF012).");
            return;
        }
        std::wstring accounts;
        for (const wchar_t* entry = list; *entry != L'\0'; entry += wcslen(entry) + 1) {
            if (!lmvn::IsAccountText(entry)) {
                Add(Severity::Warning, 0, L"producer-account-unknown",
                    L"\"Producer Accounts\" holds " + Quoted(entry) +
                        L", which is neither a SID (S-1-5-...) nor an alias such as NS: the agent "
                        L"passes it over.");
                continue;
            }
            if (!accounts.empty()) accounts += L", ";
            accounts += entry;
        }
        Show(L"agent", L"Producer Accounts", accounts.empty() ? L"none" : accounts,
             SourceName(reads.producerAccounts.source, reads.place), Stored(read));
    }

    void CheckLogFile(const wchar_t* logDestDir) {
        wchar_t path[lmvn::kTextUnits] = {};
        const bool fits = lmvn::BuildLogFilePath(path, logDestDir);
        Show(L"agent", L"log file", path);
        const std::wstring consequence =
            L": the agent reports 0xF001 when it starts and ends at once.";
        if (!fits) {
            Add(Severity::Error, 0xF001, L"log-dir-unusable",
                L"The log file path does not fit the agent's 259 characters" + consequence);
            return;
        }
        const std::wstring file = path;
        if (IsFile(file)) {
            lmvn::UniqueFile open(CreateFileW(path, FILE_APPEND_DATA | SYNCHRONIZE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!open) {
                Add(Severity::Error, 0xF001, L"log-dir-unusable",
                    L"The log file " + Quoted(file) + L" cannot be opened for appending (" +
                        lmvntools::ErrorText(GetLastError()) + L")" + consequence);
            }
            return;
        }
        const std::wstring dir = file.substr(0, file.find_last_of(L'\\') + 1);
        if (!IsDirectory(dir)) {
            Add(Severity::Error, 0xF001, L"log-dir-unusable",
                L"\"LogDestDir\" names the folder " + Quoted(dir) + L", which does not exist" +
                    consequence);
            return;
        }
        // Asks for the right to add a file without adding one.
        lmvn::UniqueFile folder(CreateFileW(
            dir.c_str(), FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!folder) {
            Add(Severity::Error, 0xF001, L"log-dir-unusable",
                L"No file can be created in " + Quoted(dir) + L" (" +
                    lmvntools::ErrorText(GetLastError()) + L")" + consequence);
        }
    }

    // The root of the per-user values: HKCU for the current user, else the
    // user's loaded hive under HKEY_USERS.
    HKEY UserRoot(UniqueKey& hive) {
        if (_wcsicmp(user_.c_str(), currentUser_.c_str()) == 0) return HKEY_CURRENT_USER;
        BYTE sid[SECURITY_MAX_SID_SIZE] = {};
        DWORD sidSize = sizeof(sid);
        wchar_t domain[256] = {};
        DWORD domainSize = 256;
        SID_NAME_USE use;
        wchar_t* text = nullptr;
        if (LookupAccountNameW(nullptr, user_.c_str(), sid, &sidSize, domain, &domainSize, &use) &&
            ConvertSidToStringSidW(sid, &text)) {
            const LONG status = RegOpenKeyExW(HKEY_USERS, text, 0, KEY_READ, hive.put());
            LocalFree(text);
            if (status == ERROR_SUCCESS) return hive.get();
        }
        Add(Severity::Warning, 0, L"user-values-unavailable",
            L"The per-user values of " + user_ +
                L" cannot be read from here (unknown user, or the user's hive is not loaded): "
                L"only the machine-wide values are shown.");
        return nullptr;
    }

    void CheckClientValues() {
        UniqueKey hive;
        const HKEY userRoot = UserRoot(hive);
        ClientSettingsTrace trace;
        const LONG status =
            lmvn::LookUpClientSettings(userRoot, HKEY_LOCAL_MACHINE, keyPath_, settings_, &trace);
        if (status != ERROR_SUCCESS) {
            if (status == ERROR_FILE_NOT_FOUND) {
                Add(Severity::Error, 111, L"no-settings-key",
                    L"Neither HKCU\\Software\\Lumvane nor HKLM\\Software\\Lumvane exists: every "
                    L"job is "
                    L"reported (111) and stops with its files left in place.");
            } else {
                Add(Severity::Error, 0xF006, L"no-settings-key",
                    L"Neither settings key can be opened; the machine-wide one fails with " +
                        lmvntools::ErrorText(static_cast<DWORD>(status)) +
                        L": every job is reported (0xF006) and stops.");
            }
            return;
        }
        clientRead_ = true;

        // The keys as the lookup opened them, to look closer at how a value
        // is stored, and how each is named in a finding.
        UniqueKey keys[lmvn::kLayerCount];
        wchar_t policyPath[lmvn::kTextUnits] = {};
        (void)lmvn::PolicyKeyPath(policyPath, keyPath_);
        (void)lmvn::OpenProtectedKeyForReading(HKEY_LOCAL_MACHINE, policyPath,
                                               keys[lmvn::kMachinePolicy]);
        if (userRoot != nullptr) {
            (void)lmvn::OpenKeyForReading(userRoot, policyPath, keys[lmvn::kUserPolicy]);
            (void)lmvn::OpenKeyForReading(userRoot, keyPath_, keys[lmvn::kUser]);
        }
        (void)lmvn::OpenMachineSettingsKey(HKEY_LOCAL_MACHINE, keyPath_, keys[lmvn::kMachine]);
        const wchar_t* scopes[lmvn::kLayerCount] = {L"HKLM policy", L"HKCU policy", L"HKCU",
                                                    MachineScope(trace.machinePlace)};
        for (int v = 0; v < lmvn::kClientValueCount; ++v) {
            const auto& t = trace.values[v];
            const wchar_t* name = lmvn::kClientValueNames[v];
            const bool number = lmvn::IsNumberValue(v);
            const DWORD room = number ? 4 : kTextBytes;
            const int used = LayerOf(t.source);
            Show(L"client", name, Shown(v), SourceName(t.source, trace.machinePlace),
                 used < 0 ? L"" : Stored(t.reads[used]));
            for (int layer = 0; layer < lmvn::kLayerCount; ++layer) {
                if (!t.tried[layer]) continue;
                // What applies when this read counts as absent: the next key
                // that has the value, else the default.
                const bool later = used > layer;
                const std::wstring instead =
                    !later ? std::wstring(L"the default applies")
                    : used == lmvn::kMachine
                        ? std::wstring(L"the machine-wide value applies")
                        : std::wstring(L"the value of ") + scopes[used] + L" applies";
                CheckStorage(keys[layer].get(), scopes[layer], name, number, room, t.reads[layer],
                             instead);
            }
        }
        messageIdSet_ = trace.values[lmvn::kMessageId].source != ValueSource::Default;
        CheckDelivery();
    }

    std::wstring Shown(int value) const {
        switch (value) {
            case lmvn::kClientApplication:
                return Quoted(settings_.clientApplication);
            case lmvn::kTransferMode:
                return Number(settings_.transferMode) + L": " + ModeName();
            case lmvn::kTargetWindowClass:
                return Quoted(settings_.targetWindowClass);
            case lmvn::kTargetWindowTitle:
                return Quoted(settings_.targetWindowTitle);
            case lmvn::kClipboardFormat:
                return Quoted(settings_.clipboardFormat);
            default:
                return Number(settings_.messageId);
        }
    }

    std::wstring ModeName() const {
        switch (settings_.transferMode) {
            case 1:
                return L"copy-data mode";
            case 2:
                return L"clipboard mode";
            default:
                return L"command-line mode";
        }
    }
    bool WindowMode() const { return settings_.transferMode == 1 || settings_.transferMode == 2; }

    void CheckDelivery() {
        const DWORD mode = settings_.transferMode;
        if (mode > 2) {
            Add(Severity::Warning, 0, L"transfer-mode-other",
                L"\"Transfer Mode\" reads as " + Number(mode) +
                    L": not 1 or 2, so the agent uses command-line mode.");
        }
        switch (lmvn::ComposeClientCommandLine(settings_)) {
            case lmvn::CommandLineResult::NoApplication:
                Add(Severity::Error, 112, L"client-application-empty",
                    L"\"Client Application\" is empty: every job is reported (112) and its job "
                    L"description file deleted.");
                break;
            case lmvn::CommandLineResult::TooLong:
                Add(Severity::Error, 113, L"client-application-too-long",
                    L"\"Client Application\" holds a blank and 258 or more characters: quoted, "
                    L"it does not fit the 259 characters of the command line; every job is "
                    L"reported (113) and its job description file deleted.");
                break;
            case lmvn::CommandLineResult::Ready:
                Show(L"client", L"client command line", settings_.commandLine);
                if (CheckClientQuotes()) CheckClientProgram();
                break;
        }
        if (!WindowMode()) {
            return;
        }
        if (settings_.targetWindowClass[0] == L'\0' && settings_.targetWindowTitle[0] == L'\0') {
            Add(Severity::Error, 111, L"no-window-identification",
                ModeName() +
                    L" needs \"Target Window Class\" or \"Target Window Title\"; both "
                    L"are empty: every job is reported (111) and its job description "
                    L"file deleted.");
        }
        if (mode != 2) return;
        const UINT message = lmvn::ClipboardMessageFor(settings_.messageId);
        if (!messageIdSet_) {
            Add(Severity::Note, 0, L"message-id-default",
                L"\"Message ID\" is not set: clipboard mode posts 0x8000 (WM_APP).");
        } else if (message != settings_.messageId) {
            Add(Severity::Warning, 0, L"message-id-forced",
                L"\"Message ID\" is " + Number(settings_.messageId) +
                    L": clipboard mode posts only 0x8000 to 0xBFFF, so the agent posts " +
                    Hex(message) + L" (WM_APP). Make the client listen for " + Hex(message) +
                    L", or set a value in that range.");
        }
        if (settings_.clipboardFormat[0] == L'\0') {
            Add(Severity::Error, 0xF008, L"clipboard-format-empty",
                L"\"Clipboard Format\" is empty: no format can be registered under an empty "
                L"name, so placing the job path fails; every job is reported (0xF008) and its "
                L"files are deleted.");
        }
    }

    // A double quote that opens and never closes makes CreateProcessW take
    // the rest of the line, the job path included, for one word: for the
    // program's name when it opens the line, else for the last argument.
    bool CheckClientQuotes() {
        const std::wstring application = settings_.clientApplication;
        size_t quotes = 0;
        for (const wchar_t c : application) quotes += c == L'"' ? 1 : 0;
        if (quotes % 2 == 0) return true;
        const bool program =
            application[0] == L'"' && application.find(L'"', 1) == std::wstring::npos;
        if (program) {
            Add(Severity::Error, WindowMode() ? 0xF007 : 113, L"client-application-quotes",
                L"\"Client Application\" " + Quoted(application) +
                    L" opens a double quote and never closes it: the program's name runs to the "
                    L"end of the command line, job path included, so the client cannot be "
                    L"started and every job is reported (" +
                    (WindowMode() ? L"0xF007" : L"113") +
                    L"). Was the value cut (a repair or an install by an older package cut a "
                    L"quoted program with arguments)? Write it again as a whole.");
            return false;
        }
        Add(Severity::Warning, 0, L"client-application-quotes",
            L"\"Client Application\" " + Quoted(application) +
                L" has an odd number of double quotes: the last one never closes, so the "
                L"client receives the job path inside its last argument, not as an argument of "
                L"its own.");
        return true;
    }

    // The program CreateProcessW would start for the client command line.
    void CheckClientProgram() {
        const std::wstring line = settings_.commandLine;
        std::wstring program;
        if (!line.empty() && line[0] == L'"') {
            const size_t end = line.find(L'"', 1);
            program = line.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
        } else {
            program = line.substr(0, line.find_first_of(L" \t"));
        }
        const bool hasPath = program.find_first_of(L"\\/:") != std::wstring::npos;
        const bool hasExtension =
            program.find(L'.', program.find_last_of(L"\\/:") + 1) != std::wstring::npos;
        std::vector<std::wstring> candidates;
        auto both = [&](const std::wstring& base) {
            candidates.push_back(base);
            if (!hasExtension) candidates.push_back(base + L".exe");
        };
        const bool relative = !hasPath || (program.size() > 1 && program[1] != L':' &&
                                           program[0] != L'\\' && program[0] != L'/');
        if (relative) both(agentDir_ + program);
        if (hasPath && !relative) both(program);
        for (const auto& candidate : candidates) {
            if (IsFile(candidate)) {
                Show(L"client", L"client program", candidate);
                return;
            }
        }
        if (!hasPath) {
            wchar_t found[MAX_PATH * 2] = {};
            if (SearchPathW(nullptr, program.c_str(), L".exe", MAX_PATH * 2, found, nullptr) != 0) {
                Show(L"client", L"client program", found);
                return;
            }
        }
        // The agent quoted the whole value: arguments became part of the name.
        const std::wstring quotedWhole =
            settings_.clientApplication[0] != L'"' && line[0] == L'"'
                ? L" The agent put the whole \"Client Application\" in quotes because it holds a "
                  L"blank: when arguments follow the program, quote the program's path yourself."
                : L"";
        if (WindowMode()) {
            Add(Severity::Error, 0xF007, L"client-not-found",
                L"The client program " + Quoted(program) +
                    L" does not exist: when no target window is open, the agent cannot start "
                    L"the client and reports 0xF007." +
                    quotedWhole);
        } else {
            Add(Severity::Error, 113, L"client-not-found",
                L"The client program " + Quoted(program) +
                    L" does not exist: every job is reported (113) and its job description file "
                    L"deleted." +
                    quotedWhole);
        }
    }

    void CheckPrograms() {
        Show(L"program", L"agent folder", agentDir_);
        if (!IsFile(agentDir_ + L"lmvnagent.exe")) {
            Add(Severity::Warning, 0, L"agent-missing",
                L"lmvnagent.exe is not in " + Quoted(agentDir_) +
                    L": the stage programs are checked there; name the agent's folder with "
                    L"--agent-dir.");
        }
        const struct {
            const wchar_t* name;
            Severity severity;
            DWORD code;
            const wchar_t* effect;
        } stages[] = {
            {lmvn::kPreprocessorName, Severity::Warning, 0,
             L"jobs go on without preprocessing (no cancelling)"},
            {lmvn::kProgressName, Severity::Warning, 0, L"jobs go on without a progress window"},
            {lmvn::kConverterName, Severity::Error, 0xF010,
             L"every job is reported (0xF010), its job description file deleted, and nothing is "
             L"delivered"},
        };
        for (const auto& stage : stages) {
            const std::wstring path = agentDir_ + stage.name;
            const bool present = IsFile(path);
            Show(L"program", stage.name, present ? path : L"missing");
            if (!present) {
                Add(stage.severity, stage.code, L"stage-missing",
                    std::wstring(stage.name) + L" is missing beside the agent: " + stage.effect +
                        L".");
            }
        }
    }

    // Opens a named event to look at it, and closes it again at once. An
    // error other than "not found" means an object of another kind holds the
    // name.
    LONG Peek(const wchar_t* name, bool& set) {
        set = false;
        UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name));
        if (!event) return static_cast<LONG>(GetLastError());
        set = WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
        return ERROR_SUCCESS;
    }

    void CheckEvents() {
        lmvn::EventNames names;
        lmvn::FormatEventNames(names, nt4_, user_.c_str(), session_);
        bool set = false;
        LONG status = Peek(names.print, set);
        if (status == ERROR_SUCCESS) {
            Show(L"event", L"print event", std::wstring(names.print) + L": an agent is running");
        } else if (status == ERROR_FILE_NOT_FOUND) {
            Show(L"event", L"print event", std::wstring(names.print) + L": no agent");
            Add(Severity::Warning, 0, L"agent-not-running",
                L"No agent runs for " + user_ + L" in session " + std::to_wstring(session_) +
                    L" (its print event " + Quoted(names.print) +
                    L" does not exist): jobs for this user wait until it starts.");
        } else {
            Show(L"event", L"print event", std::wstring(names.print) + L": taken");
            Add(Severity::Error, 0xF002, L"print-event-blocked",
                L"An object of another kind holds the print event's name " + Quoted(names.print) +
                    L" (" + lmvntools::ErrorText(static_cast<DWORD>(status)) +
                    L"): the agent cannot create its event, reports 0xF002 and ends.");
        }

        status = Peek(names.shared, set);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            Add(Severity::Error, 0xF003, L"shared-event-blocked",
                L"An object of another kind holds the shared printing event's name " +
                    Quoted(names.shared) + L": the agent reports 0xF003 and ends.");
        }

        status = Peek(names.kill, set);
        Show(L"event", L"kill event",
             std::wstring(names.kill) +
                 (status == ERROR_SUCCESS ? (set ? L": set" : L": not set") : L": does not exist"));
        if (status == ERROR_SUCCESS && set) {
            Add(Severity::Error, 0, L"kill-event-set",
                L"The kill event " + Quoted(names.kill) +
                    L" is set and some program keeps it open: every agent that starts now leaves "
                    L"at its first wait. Close that program.");
        } else if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            Add(Severity::Warning, 0, L"kill-event-blocked",
                L"An object of another kind holds the kill event's name " + Quoted(names.kill) +
                    L": the agent runs, but cannot be stopped through the kill event.");
        }
    }

    void CheckWaitingJobs() {
        UniqueKey machine;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath_, 0, KEY_READ, machine.put()) !=
            ERROR_SUCCESS) {
            return;
        }
        const std::wstring names[] = {user_, lmvn::kSharedValueName, lmvn::kSystemValueName,
                                      lmvn::kNT4ValueName};
        for (const auto& name : names) {
            if (name.empty()) continue;
            wchar_t path[lmvn::kTextUnits] = {};
            ValueRead read;
            (void)lmvn::ReadTextValue(machine.get(), name.c_str(), path, &read);
            if (read.status == ERROR_FILE_NOT_FOUND) continue;
            if (read.status != ERROR_SUCCESS) {
                Add(Severity::Warning, 0, L"job-unreadable",
                    L"A job value " + Quoted(name) + L" is stored (" + Stored(read) +
                        L"), but the agent cannot read it as a path of at most 259 characters.");
                continue;
            }
            std::wstring when;
            if (name == lmvn::kSharedValueName) {
                when = L"the next signal of the shared printing event serves it";
            } else if (name == lmvn::kSystemValueName) {
                when = L"the next job thread whose own value is absent takes it";
            } else if (name == lmvn::kNT4ValueName) {
                when = L"it is read on systems of major version 4 only";
            } else {
                when =
                    L"the next signal of the user's print event serves it (a value under the "
                    L"user's own name is also served when the agent starts)";
            }
            Add(Severity::Warning, 0, L"job-waiting",
                L"A job is stored and waiting under " + Quoted(name) + L": " + Quoted(path) +
                    L"; " + when + L".");
        }
    }

    void FindTargetWindow() {
        if (!clientRead_ || !WindowMode()) {
            Add(Severity::Note, 0, L"window-not-searched",
                L"--find-window: the configuration uses no target window (command-line mode).");
            return;
        }
        const wchar_t* windowClass =
            settings_.targetWindowClass[0] != L'\0' ? settings_.targetWindowClass : nullptr;
        const wchar_t* title =
            settings_.targetWindowTitle[0] != L'\0' ? settings_.targetWindowTitle : nullptr;
        if (windowClass == nullptr && title == nullptr) return;  // reported above
        const std::wstring wanted = L"class " + (windowClass ? Quoted(windowClass) : L"any") +
                                    L" and title " + (title ? Quoted(title) : L"any");
        if (HWND window = FindWindowW(windowClass, title)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            Show(L"client", L"target window",
                 L"found (" + wanted + L"), process " + std::to_wstring(pid));
            return;
        }
        std::wstring hint;
        if (windowClass != nullptr && title != nullptr) {
            if (FindWindowW(windowClass, nullptr)) {
                hint = L" A window of that class exists, with another title.";
            } else if (FindWindowW(nullptr, title)) {
                hint = L" A window of that title exists, of another class.";
            }
        }
        Show(L"client", L"target window", L"none (" + wanted + L")");
        Add(Severity::Warning, 0xF007, L"window-not-found",
            L"No window of " + wanted + L" exists now." + hint +
                L" A job starts the client and then waits for such a window (" +
                (settings_.transferMode == 1 ? L"about 10 s after the client is idle"
                                             : L"one look after the client is idle") +
                L"); if it does not come, the job is reported (0xF007).");
    }

    const Options& options_;
    Result result_;
    std::wstring currentUser_;
    std::wstring user_;
    DWORD session_ = 0;
    BOOL nt4_ = FALSE;
    wchar_t keyPath_[lmvn::kTextUnits] = {};
    std::wstring agentDir_;
    ClientSettings settings_;
    bool clientRead_ = false;
    bool messageIdSet_ = false;
};

}  // namespace

int Result::ExitCode() const {
    int code = 0;
    for (const auto& f : findings) {
        if (f.severity == Severity::Error) return 2;
        if (f.severity == Severity::Warning) code = 1;
    }
    return code;
}

Result Check(const Options& options) { return Checker(options).Run(); }

}  // namespace lmvncheck
