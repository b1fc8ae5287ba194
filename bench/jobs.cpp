#include "jobs.h"

#include "clipboard_names.h"
#include "procinfo.h"
#include "win/process_start.h"

#include <shellapi.h>

#include <cwchar>
#include <cstring>

namespace bench {
namespace {

constexpr wchar_t kKeyPath[] = L"Software\\Lumvane";
constexpr wchar_t kKillEvent[] = L"Global\\Lumvane_killevent";
constexpr wchar_t kProgressClass[] = L"Lumvane progress indicator";

// Bounds of the waits for a child that should end at once, and for starts.
constexpr DWORD kChildLimitMs = 60000;
constexpr DWORD kProgressIdleMs = 20000;     // as the agent waits
constexpr DWORD kCommandLineIdleMs = 10000;  // as the agent waits
constexpr DWORD kAgentStartLimitMs = 20000;
constexpr DWORD kAgentStopLimitMs = 20000;

std::wstring Join(const std::wstring& dir, const std::wstring& name) { return dir + L"\\" + name; }

bool SetString(HKEY root, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, kKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const LONG status =
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool SetDword(HKEY root, const wchar_t* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, kKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const LONG status = RegSetValueExW(key, name, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// Starts `commandLine` as the agent starts its children; the handles, or none.
std::optional<PROCESS_INFORMATION> StartChild(std::wstring commandLine, BOOL inherit) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!lmvn::CreateProcessRetryingW(nullptr, commandLine.data(), nullptr, nullptr, inherit,
                                      NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                                      &started)) {
        return std::nullopt;
    }
    return started;
}

bool RunToEnd(const std::wstring& commandLine, BOOL inherit) {
    const auto child = StartChild(commandLine, inherit);
    if (!child) return false;
    const bool ended = WaitForSingleObject(child->hProcess, kChildLimitMs) == WAIT_OBJECT_0;
    CloseHandle(child->hProcess);
    CloseHandle(child->hThread);
    return ended;
}

std::wstring ToWide(const std::string& utf8) {
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), units);
    return text;
}

}  // namespace

long long Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Milliseconds(long long ticks) {
    static const long long frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
}

std::optional<Installation> Install(const std::wstring& agentExe, const std::wstring& benchDir) {
    Installation in;
    wchar_t temp[MAX_PATH] = {};
    if (GetTempPathW(MAX_PATH, temp) == 0) return std::nullopt;
    in.dir = std::wstring(temp) + L"lmvnbench" + std::to_wstring(GetCurrentProcessId());
    if (!CreateDirectoryW(in.dir.c_str(), nullptr)) return std::nullopt;
    in.jobs = Join(in.dir, L"jobs");
    CreateDirectoryW(in.jobs.c_str(), nullptr);
    in.agent = Join(in.dir, L"lmvnagent.exe");
    in.client = Join(in.dir, L"benchclient.exe");
    in.journal = Join(in.dir, L"clientjournal.txt");
    const std::wstring nop = Join(benchDir, L"benchnop.exe");
    if (!CopyFileW(agentExe.c_str(), in.agent.c_str(), FALSE) ||
        !CopyFileW(Join(benchDir, L"benchclient.exe").c_str(), in.client.c_str(), FALSE) ||
        !CopyFileW(nop.c_str(), Join(in.dir, L"benchnop.exe").c_str(), FALSE) ||
        !CopyFileW(Join(benchDir, L"benchstage.exe").c_str(),
                   Join(in.dir, L"benchstage.exe").c_str(), FALSE)) {
        return std::nullopt;
    }
    for (const wchar_t* stage : {L"preprocess.exe", L"progress.exe", L"lmvndisp.exe"}) {
        if (!CopyFileW(nop.c_str(), Join(in.dir, stage).c_str(), FALSE)) return std::nullopt;
    }
    wchar_t user[64] = {};
    DWORD size = 64;
    GetUserNameW(user, &size);
    in.userName = user;
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) session = 0;
    in.printEvent =
        L"Global\\" + in.userName + L"_Lumvane_printevent_SESSION" + std::to_wstring(session);
    return in;
}

void Uninstall(const Installation& installation) {
    // Files may still be held for a moment by ending processes: a few tries.
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::wstring from = installation.dir;
        from.push_back(L'\0');  // double-terminated list
        SHFILEOPSTRUCTW op{};
        op.wFunc = FO_DELETE;
        op.pFrom = from.c_str();
        op.fFlags = FOF_NO_UI;
        if (SHFileOperationW(&op) == 0 &&
            GetFileAttributesW(installation.dir.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return;
        }
        Sleep(250);
    }
}

void ClearRegistry() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKeyPath);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKeyPath);
    RegDeleteTreeW(HKEY_CURRENT_USER, kKeyPath);
    RegDeleteKeyW(HKEY_CURRENT_USER, kKeyPath);
}

bool ConfigureAgent(const Installation& installation, bool log, bool boxes) {
    // No limit: the phases count lines in vp_log.txt across the whole run.
    return SetDword(HKEY_LOCAL_MACHINE, L"Log", log ? 1 : 0) &&
           SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", installation.dir) &&
           SetDword(HKEY_LOCAL_MACHINE, L"LogMaxSize", 0) &&
           SetDword(HKEY_LOCAL_MACHINE, L"Message Mode", boxes ? 0 : 1);
}

std::wstring ClientCommand(const Installation& installation) {
    return L"\"" + installation.client + L"\" \"" + installation.journal + L"\"";
}

bool ConfigureClient(const Installation& installation, Mode mode, DWORD windowDelayMs) {
    std::wstring command = ClientCommand(installation);
    if (mode != Mode::CommandLine) {
        command += L" --window " + std::wstring(kClientClass);
        if (windowDelayMs != 0) command += L" --window-delay " + std::to_wstring(windowDelayMs);
    }
    const DWORD transferMode = mode == Mode::CopyData ? 1 : mode == Mode::Clipboard ? 2 : 0;
    return SetString(HKEY_CURRENT_USER, L"Client Application", command) &&
           SetDword(HKEY_CURRENT_USER, L"Transfer Mode", transferMode) &&
           SetString(HKEY_CURRENT_USER, L"Target Window Class", kClientClass) &&
           SetString(HKEY_CURRENT_USER, L"Clipboard Format", kClipboardFormat) &&
           SetDword(HKEY_CURRENT_USER, L"Message ID",
                    mode == Mode::Clipboard ? kClipboardMessage : 0);
}

bool UseBatchStages(const Installation& installation, bool batch) {
    const std::wstring nop = Join(installation.dir, L"benchnop.exe");
    const std::wstring stage = Join(installation.dir, L"benchstage.exe");
    return CopyFileW((batch ? stage : nop).c_str(), Join(installation.dir, L"progress.exe").c_str(),
                     FALSE) &&
           CopyFileW((batch ? stage : nop).c_str(), Join(installation.dir, L"lmvndisp.exe").c_str(),
                     FALSE);
}

Agent::~Agent() { Stop(); }

bool Agent::Start(const Installation& installation) {
    const auto child = StartChild(L"\"" + installation.agent + L"\"", FALSE);
    if (!child) return false;
    CloseHandle(child->hThread);
    process_ = child->hProcess;
    pid_ = child->dwProcessId;
    const ULONGLONG deadline = GetTickCount64() + kAgentStartLimitMs;
    while (GetTickCount64() < deadline) {
        if (WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) return false;  // ended already
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, installation.printEvent.c_str());
        if (event != nullptr) {
            CloseHandle(event);
            linuxPid_ = FindLinuxPid(installation.agent);
            return true;
        }
        Sleep(20);
    }
    return false;
}

void Agent::Stop() {
    if (process_ == nullptr) return;
    HANDLE kill = OpenEventW(EVENT_MODIFY_STATE, FALSE, kKillEvent);
    if (kill != nullptr) {
        SetEvent(kill);
        CloseHandle(kill);  // the event goes with the agent's handle
    }
    if (WaitForSingleObject(process_, kAgentStopLimitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
    process_ = nullptr;
}

CopyDataClient::~CopyDataClient() { Stop(); }

bool CopyDataClient::Start(const Installation& installation) {
    const auto child =
        StartChild(ClientCommand(installation) + L" --window " + kClientClass, FALSE);
    if (!child) return false;
    CloseHandle(child->hThread);
    process_ = child->hProcess;
    WaitForInputIdle(process_, 20000);
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (window_ == nullptr && GetTickCount64() < deadline) {
        window_ = FindWindowW(kClientClass, nullptr);
        if (window_ == nullptr) Sleep(20);
    }
    return window_ != nullptr;
}

void CopyDataClient::Stop() {
    if (process_ == nullptr) return;
    if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
    CloseHandle(process_);
    process_ = nullptr;
    window_ = nullptr;
}

std::wstring WriteJobFile(const Installation& installation, int jobId) {
    const std::wstring path = Join(installation.jobs, L"job" + std::to_wstring(jobId) + L".ini");
    const std::wstring text =
        L"\xFEFF[Document]\r\nJobID=" + std::to_wstring(jobId) + L"\r\n[EMF]\r\nCount=0\r\n";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written,
                  nullptr);
        CloseHandle(file);
    }
    return path;
}

Submitter::Submitter(const Installation& installation) : valueName_(installation.userName) {
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_NOTIFY, nullptr, &key_, nullptr);
    event_ = OpenEventW(EVENT_MODIFY_STATE, FALSE, installation.printEvent.c_str());
    changed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

Submitter::~Submitter() {
    if (key_ != nullptr) RegCloseKey(key_);
    if (event_ != nullptr) CloseHandle(event_);
    if (changed_ != nullptr) CloseHandle(changed_);
}

bool Submitter::WaitTaken(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        // Armed before the look, so that a deletion in between is not missed.
        const bool armed = RegNotifyChangeKeyValue(key_, FALSE, REG_NOTIFY_CHANGE_LAST_SET,
                                                   changed_, TRUE) == ERROR_SUCCESS;
        if (RegQueryValueExW(key_, valueName_.c_str(), nullptr, nullptr, nullptr, nullptr) ==
            ERROR_FILE_NOT_FOUND) {
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        // Without a notification, look again every 5 ms.
        WaitForSingleObject(changed_, armed ? static_cast<DWORD>(deadline - now) : 5);
    }
}

std::optional<long long> Submitter::Submit(const std::wstring& path) {
    const long long waitStart = Now();
    if (!WaitTaken(10000)) {
        // The agent was woken but has not taken the path: wake it again.
        ++resignals_;
        SetEvent(event_);
        if (!WaitTaken(10000)) return std::nullopt;
    }
    waitedMs_ += Milliseconds(Now() - waitStart);
    if (RegSetValueExW(key_, valueName_.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const long long when = Now();
    if (!SetEvent(event_)) return std::nullopt;
    return when;
}

void Journal::Poll() {
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset_);
    SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        partial_.append(chunk, got);
        offset_ += got;
    }
    CloseHandle(file);
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::wstring line = ToWide(partial_.substr(start, end - start));
        const size_t a = line.find(L'\t');
        const size_t b = a == std::wstring::npos ? a : line.find(L'\t', a + 1);
        const size_t c = b == std::wstring::npos ? b : line.find(L'\t', b + 1);
        if (c == std::wstring::npos) continue;
        Entry entry;
        entry.when = std::wcstoll(line.c_str(), nullptr, 10);
        entry.pid = std::wcstoul(line.c_str() + a + 1, nullptr, 10);
        entry.event = line.substr(b + 1, c - b - 1);
        entries_[line.substr(c + 1)].push_back(entry);
    }
    partial_.erase(0, start);
}

const std::vector<Journal::Entry>* Journal::Find(const std::wstring& jobPath) {
    const auto found = entries_.find(jobPath);
    return found == entries_.end() ? nullptr : &found->second;
}

std::optional<long long> Journal::WaitFor(const std::wstring& jobPath, const wchar_t* event,
                                          DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        Poll();
        if (const auto* entries = Find(jobPath)) {
            for (const auto& entry : *entries) {
                if (entry.event == event) return entry.when;
            }
        }
        if (GetTickCount64() >= deadline) return std::nullopt;
        Sleep(10);
    }
}

bool RunBaselineJob(const Installation& installation, Mode mode, const std::wstring& jobPath) {
    const std::wstring arg = L" " + jobPath;
    if (!RunToEnd(Join(installation.dir, L"preprocess.exe") + arg, FALSE)) return false;
    const auto progress = StartChild(Join(installation.dir, L"progress.exe") + arg, FALSE);
    if (progress) {
        WaitForInputIdle(progress->hProcess, kProgressIdleMs);
        CloseHandle(progress->hThread);
    }
    const bool converted = RunToEnd(Join(installation.dir, L"lmvndisp.exe") + arg, TRUE);
    auto closeProgress = [&] {
        if (!progress) return;
        if (HWND window = FindWindowW(kProgressClass, nullptr)) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        CloseHandle(progress->hProcess);
    };
    if (!converted) {
        closeProgress();
        return false;
    }
    if (mode == Mode::CommandLine) {
        closeProgress();
        const auto client = StartChild(ClientCommand(installation) + arg, FALSE);
        if (!client) return false;
        WaitForInputIdle(client->hProcess, kCommandLineIdleMs);
        CloseHandle(client->hProcess);
        CloseHandle(client->hThread);
        return true;
    }
    const HWND window = FindWindowW(kClientClass, nullptr);
    closeProgress();
    char payload[260] = {};
    WideCharToMultiByte(CP_ACP, 0, jobPath.c_str(), -1, payload, sizeof(payload), nullptr, nullptr);
    COPYDATASTRUCT data{};
    data.cbData = sizeof(payload);
    data.lpData = payload;
    if (!IsWindow(window)) return false;
    SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    return true;
}

double WaitForInputIdleLeak(const Installation& installation, int calls) {
    const auto before = CountHandles(GetCurrentProcessId());
    for (int i = 0; i < calls; ++i) {
        const auto child = StartChild(Join(installation.dir, L"progress.exe"), FALSE);
        if (!child) return -1;
        WaitForInputIdle(child->hProcess, kProgressIdleMs);
        // A progress indicator with a window ends when it is told to.
        for (HWND window = nullptr;
             (window = FindWindowExW(nullptr, window, kProgressClass, nullptr)) != nullptr;) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == child->dwProcessId) PostMessageW(window, WM_CLOSE, 0, 0);
        }
        WaitForSingleObject(child->hProcess, kChildLimitMs);
        CloseHandle(child->hProcess);
        CloseHandle(child->hThread);
    }
    const auto after = CountHandles(GetCurrentProcessId());
    if (!before || !after || calls <= 0) return -1;
    return static_cast<double>(*after - *before) / calls;
}

}  // namespace bench
