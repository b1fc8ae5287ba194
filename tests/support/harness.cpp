#include "harness.h"

#include "ordinary_user.h"
#include "processes.h"
#include "win/process_start.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <cstdio>
#include <cwctype>

namespace lmvntest {

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L'\\'));
}

std::wstring BuildDir() {
    std::wstring dir = ProgramDir();
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring JoinPath(const std::wstring& dir, const std::wstring& name) {
    if (!dir.empty() && dir.back() == L'\\') return dir + name;
    return dir + L"\\" + name;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
}

void ExpectCleanExits(const std::vector<PROCESS_INFORMATION>& started, DWORD timeoutMs) {
    for (const PROCESS_INFORMATION& info : started) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, timeoutMs));
        DWORD code = 99;
        GetExitCodeProcess(info.hProcess, &code);
        EXPECT_EQ(0u, code);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool CopyProgram(const std::wstring& from, const std::wstring& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool ReportFailedStep(const wchar_t* step, const std::wstring& what) {
    const DWORD error = GetLastError();
    fwprintf(stderr, L"test support: %ls %ls failed, error %lu\n", step, what.c_str(), error);
    return false;
}

BOOL StartTestProcess(LPWSTR commandLine, BOOL inheritHandles, DWORD flags, LPCWSTR directory,
                      STARTUPINFOW* startup, PROCESS_INFORMATION* started) {
    return lmvn::CreateProcessRetryingW(
        nullptr, commandLine, nullptr, nullptr, inheritHandles, flags, nullptr, directory, startup,
        started, [](DWORD error) {
            fwprintf(stderr, L"test support: a program start failed, error %lu; trying again\n",
                     error);
        });
}

TempDir::TempDir(const std::wstring& prefix) {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    for (;;) {
        path_ = JoinPath(base, prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(InterlockedIncrement(&counter)));
        if (CreateDirectoryW(path_.c_str(), nullptr)) break;
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            fwprintf(stderr, L"TempDir: creating %ls failed, error %lu\n", path_.c_str(), error);
            break;
        }
    }
}

namespace {
void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(JoinPath(dir, L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = JoinPath(dir, name);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

// What a failed test leaves to read: the folder's files and the last lines
// of the agent's log, if it kept one there.
void DescribeKeptFolder(const std::wstring& dir) {
    std::printf("[ kept     ] %s\n", Utf8(dir).c_str());
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(JoinPath(dir, L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            std::printf("[ kept     ]   %s (%lu bytes)\n", Utf8(data.cFileName).c_str(),
                        data.nFileSizeLow);
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    const auto lines = ParseLog(ReadFileBytes(JoinPath(dir, L"vp_log.txt")));
    constexpr size_t kShown = 80;
    const size_t first = lines.size() > kShown ? lines.size() - kShown : 0;
    if (first > 0) std::printf("[ kept log ] (%zu lines before these)\n", first);
    for (size_t i = first; i < lines.size(); ++i) {
        std::printf("[ kept log ] %s %s\n", Utf8(lines[i].stamp).c_str(),
                    Utf8(lines[i].text).c_str());
    }
    std::fflush(stdout);
}
}  // namespace

TempDir::~TempDir() {
    if (path_.empty()) return;
    if (::testing::Test::HasFailure()) {
        DescribeKeptFolder(path_);
        return;
    }
    RemoveTree(path_);
}

namespace {
constexpr wchar_t kKeyPath[] = L"Software\\Lumvane";

HKEY CreateAgentKey(HKEY root) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}
}  // namespace

AgentRegistry::AgentRegistry() { Clear(); }
AgentRegistry::~AgentRegistry() { Clear(); }

void AgentRegistry::Clear() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKeyPath);
    RegDeleteTreeW(HKEY_CURRENT_USER, kKeyPath);
}

bool AgentRegistry::SetRaw(HKEY root, const wchar_t* name, DWORD type, const void* data,
                           DWORD size) {
    HKEY key = CreateAgentKey(root);
    if (key == nullptr) return false;
    const LONG status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool AgentRegistry::SetDword(HKEY root, const wchar_t* name, DWORD value) {
    return SetRaw(root, name, REG_DWORD, &value, sizeof(value));
}

bool AgentRegistry::SetString(HKEY root, const wchar_t* name, const std::wstring& value,
                              DWORD type) {
    return SetRaw(root, name, type, value.c_str(),
                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool AgentRegistry::Delete(HKEY root, const wchar_t* name) {
    HKEY key = CreateAgentKey(root);
    if (key == nullptr) return false;
    const LONG status = RegDeleteValueW(key, name);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool AgentRegistry::SetClient(DWORD mode, const std::wstring& windowClass,
                              const std::wstring& application) {
    return SetDword(HKEY_CURRENT_USER, L"Transfer Mode", mode) &&
           SetString(HKEY_CURRENT_USER, L"Target Window Class", windowClass) &&
           SetString(HKEY_CURRENT_USER, L"Client Application", application);
}

bool AgentRegistry::Exists(HKEY root, const wchar_t* name) {
    return RegGetValueW(root, kKeyPath, name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

std::optional<std::wstring> AgentRegistry::GetString(HKEY root, const wchar_t* name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(root, kKeyPath, name, RRF_RT_ANY, nullptr, data, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

std::wstring UserName() {
    wchar_t name[64] = {};
    DWORD size = 64;
    GetUserNameW(name, &size);
    return name;
}

DWORD SessionId() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

std::wstring PrintEventName() {
    return L"Global\\" + UserName() + L"_Lumvane_printevent_SESSION" + std::to_wstring(SessionId());
}

bool SetKillEvent() {
    HANDLE kill = CreateEventW(nullptr, TRUE, FALSE, kKillEventName);
    if (kill == nullptr) return false;
    const BOOL ok = SetEvent(kill);
    CloseHandle(kill);
    return ok != FALSE;
}

AgentProcess::~AgentProcess() {
    if (process_ == nullptr) return;
    if (Running()) {
        Stop(10000);
        if (Running()) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 5000);
        }
    }
    CloseHandle(process_);
}

namespace {

// lmvnagent.exe of the build (or the one LMVN_TEST_AGENT names), copied
// into `dir` once; its path there.
std::optional<std::wstring> AgentCopyIn(const std::wstring& dir) {
    const std::wstring exe = JoinPath(dir, L"lmvnagent.exe");
    wchar_t other[MAX_PATH] = {};
    const DWORD units = GetEnvironmentVariableW(L"LMVN_TEST_AGENT", other, MAX_PATH);
    const std::wstring from = units > 0 && units < MAX_PATH
                                  ? std::wstring(other)
                                  : JoinPath(BuildDir(), L"lmvnagent.exe");
    if (!FileExists(exe) && !CopyProgram(from, exe)) {
        ReportFailedStep(L"copying the agent to", exe);
        return std::nullopt;
    }
    return exe;
}

// Starts `commandLine` in `dir`: the process's information, or none.
std::optional<PROCESS_INFORMATION> Launch(std::wstring commandLine, const std::wstring& dir,
                                          RunAs as = RunAs::Tester) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    const wchar_t* directory = dir.empty() ? nullptr : dir.c_str();
    const BOOL started = as == RunAs::OrdinaryUser
                             ? StartOrdinaryUserProcess(commandLine.data(), directory, &si, &pi)
                             : StartTestProcess(commandLine.data(), FALSE, 0, directory, &si, &pi);
    if (!started) {
        ReportFailedStep(L"starting", commandLine);
        return std::nullopt;
    }
    if (pi.hProcess == nullptr) {
        // A Linux program (asuser.sh): Wine runs it outside its own processes
        // and returns no process handle, pid 1 and, in hThread, a value that
        // is no handle of the start. Closing it could close one of ours (the
        // registry's cached HKEY_LOCAL_MACHINE was seen to go that way).
        pi.hThread = nullptr;
        return pi;
    }
    CloseHandle(pi.hThread);
    return pi;
}

}  // namespace

void AgentProcess::Adopt(HANDLE process) {
    if (process_ != nullptr) CloseHandle(process_);
    process_ = process;
    pid_ = GetProcessId(process);
}

bool AgentProcess::Start(const std::wstring& dir, RunAs as) {
    const auto exe = AgentCopyIn(dir);
    if (!exe) return false;
    const auto started = Launch(L"\"" + *exe + L"\"", dir, as);
    if (!started) return false;
    Adopt(started->hProcess);
    return true;
}

bool AgentProcess::StartWithErrorOutput(const std::wstring& dir, const std::wstring& errorFile,
                                        const wchar_t* wineDebug) {
    const auto exe = AgentCopyIn(dir);
    if (!exe) return false;
    return StartThroughScript(L"\"" + JoinPath(ProgramDir(), L"witherrors.sh") + L"\" " +
                                  wineDebug + L" \"" + errorFile + L"\" \"" + *exe + L"\"",
                              dir, *exe);
}

bool AgentProcess::StartThroughScript(const std::wstring& commandLine, const std::wstring& dir,
                                      const std::wstring& exe) {
    const auto started = Launch(commandLine, dir);
    if (!started) return false;
    // A Linux script: Wine gives no handle of it (it returns at once anyway).
    if (started->hProcess != nullptr) CloseHandle(started->hProcess);
    HANDLE found = nullptr;
    WaitUntil([&] { return (found = FindRunningProgram(exe)) != nullptr; }, 20000);
    if (found == nullptr) return ReportFailedStep(L"finding the agent started by", commandLine);
    Adopt(found);
    return true;
}

bool AgentProcess::StartAs(const std::wstring& dir, const std::wstring& user) {
    const auto exe = AgentCopyIn(dir);
    if (!exe) return false;
    const std::wstring script = JoinPath(ProgramDir(), L"asuser.sh");
    return StartThroughScript(L"\"" + script + L"\" " + user + L" \"" + *exe + L"\"", dir, *exe);
}
std::optional<DWORD> AgentProcess::WaitForExit(DWORD timeoutMs) {
    if (process_ == nullptr) return std::nullopt;
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

bool AgentProcess::Running() const {
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> AgentProcess::Stop(DWORD timeoutMs) {
    if (!Running()) return WaitForExit(0);
    SetKillEvent();
    return WaitForExit(timeoutMs);
}

HANDLE StartProgram(const std::wstring& commandLine, RunAs as) {
    const auto started = Launch(commandLine, L"", as);
    return started ? started->hProcess : nullptr;
}

std::optional<DWORD> RunProgram(const std::wstring& commandLine, DWORD timeoutMs,
                                const std::wstring& directory, RunAs as) {
    const auto started = Launch(commandLine, directory, as);
    if (!started) return std::nullopt;
    std::optional<DWORD> result;
    if (WaitForSingleObject(started->hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(started->hProcess, &code);
        result = code;
    } else {
        TerminateProcess(started->hProcess, 98);
    }
    CloseHandle(started->hProcess);
    return result;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

HANDLE StartWindowedProgram(const std::wstring& commandLine, const std::wstring& windowClass,
                            DWORD timeoutMs, bool& shown) {
    shown = false;
    HANDLE process = StartProgram(commandLine);
    if (process == nullptr) return nullptr;
    shown =
        WaitUntil([&] { return FindWindowW(windowClass.c_str(), nullptr) != nullptr; }, timeoutMs);
    return process;
}

std::vector<LogLine> ParseLog(const std::string& bytes) {
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
    std::vector<LogLine> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L"\r\n", pos);
        if (end == std::wstring::npos) end = text.size();
        std::wstring raw = text.substr(pos, end - pos);
        pos = end + 2;
        LogLine line;
        // "yyyy-mm-dd hh:mm:ss.mmm:" then TAB
        if (raw.size() >= 25 && raw[24] == L'\t' && raw[23] == L':') {
            line.stamp = raw.substr(0, 23);
            line.text = raw.substr(25);
        } else {
            line.text = raw;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::wstring> LogTexts(const std::wstring& path) {
    std::vector<std::wstring> texts;
    for (auto& line : ParseLog(ReadFileBytes(path))) texts.push_back(line.text);
    return texts;
}

}  // namespace lmvntest
