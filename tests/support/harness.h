// Shared ground of the end-to-end tests: a scratch folder, the agent's
// registry keys, the real lmvnagent.exe as a child process, its log file.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lmvntest {

// Folder of the running test program, and the build directory above it.
std::wstring ProgramDir();
std::wstring BuildDir();
std::wstring JoinPath(const std::wstring& dir, const std::wstring& name);

// Polls `done` every 10 ms until it holds or `timeoutMs` pass.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Says on the test's error output which step failed, for what, and the last
// error (read first thing); returns false. A start that fails now and then
// then names its cause.
bool ReportFailedStep(const wchar_t* step, const std::wstring& what);

// CreateProcessW for the tests' own programs, tried again as the agent tries
// its starts again when the system rather than the program failed (see
// win/process_start.h). Each such failure is noted on the error output, so
// that a run shows how often it happens.
BOOL StartTestProcess(LPWSTR commandLine, BOOL inheritHandles, DWORD flags, LPCWSTR directory,
                      STARTUPINFOW* startup, PROCESS_INFORMATION* started);

// Waits for each started program (`timeoutMs` each), expects each to have
// ended with exit code 0, and closes its handles.
void ExpectCleanExits(const std::vector<PROCESS_INFORMATION>& started, DWORD timeoutMs);

// Whom a program the tests start runs as: the test's own account, which
// under Wine holds the Administrators group, as an administrator's or the
// producer's service's program would; or an ordinary user of the same
// account (ordinary_user.h).
enum class RunAs { Tester, OrdinaryUser };

bool FileExists(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool CopyProgram(const std::wstring& from, const std::wstring& to);

// A fresh folder under %TEMP%, removed with everything in it at the end;
// kept when the running test has failed, with its files listed and the
// agent's log in it printed, so that a failure seen once can be read after.
class TempDir {
  public:
    explicit TempDir(const std::wstring& prefix = L"lmvn");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return JoinPath(path_, name); }

  private:
    std::wstring path_;
};

// HKLM\Software\Lumvane and HKCU\Software\Lumvane, emptied at the start and
// removed at the end of a test.
class AgentRegistry {
  public:
    AgentRegistry();
    ~AgentRegistry();
    AgentRegistry(const AgentRegistry&) = delete;
    AgentRegistry& operator=(const AgentRegistry&) = delete;

    static void Clear();
    // Writes a value under root\Software\Lumvane (the key is created).
    static bool SetDword(HKEY root, const wchar_t* name, DWORD value);
    static bool SetString(HKEY root, const wchar_t* name, const std::wstring& value,
                          DWORD type = REG_SZ);
    static bool SetRaw(HKEY root, const wchar_t* name, DWORD type, const void* data, DWORD size);
    static bool Delete(HKEY root, const wchar_t* name);
    static bool Exists(HKEY root, const wchar_t* name);
    // The per-user "Transfer Mode", "Target Window Class" and "Client
    // Application" in one call.
    static bool SetClient(DWORD mode, const std::wstring& windowClass,
                          const std::wstring& application);
    static std::optional<std::wstring> GetString(HKEY root, const wchar_t* name);
};

// The user name the agent sees, and the names of its events.
std::wstring UserName();
DWORD SessionId();
std::wstring PrintEventName();
inline constexpr wchar_t kSharedEventName[] = L"Global\\Lumvane_shared_printing_event";
inline constexpr wchar_t kKillEventName[] = L"Global\\Lumvane_killevent";

// Sets the kill event (creating it if need be) and closes our handle.
bool SetKillEvent();

// The real agent, copied into `dir` and started from there: the build's, or
// the lmvnagent.exe that the environment variable LMVN_TEST_AGENT names (to
// run a test against an older agent).
class AgentProcess {
  public:
    AgentProcess() = default;
    ~AgentProcess();  // stops a running agent: kill event, then TerminateProcess
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Copies lmvnagent.exe into `dir` (once) and starts it.
    bool Start(const std::wstring& dir, RunAs as = RunAs::Tester);
    // The same as the agent of another user in this session: Wine takes the
    // user from the Linux side, so the agent is started through a script
    // there (asuser.sh beside the test programs) with USER set. Give each
    // user's agent a folder of its own: the process is found by its path.
    bool StartAs(const std::wstring& dir, const std::wstring& user);
    // The same with the agent's error output appended to `errorFile` and
    // WINEDEBUG set to `wineDebug` for it alone: with "err+eventlog", Wine's
    // stand-in for the Event Log prints each event's strings there. Started
    // through a script on the Linux side (witherrors.sh), as StartAs is.
    bool StartWithErrorOutput(const std::wstring& dir, const std::wstring& errorFile,
                              const wchar_t* wineDebug);
    // Waits for the process to end, at most `timeoutMs`; its exit code.
    std::optional<DWORD> WaitForExit(DWORD timeoutMs);
    bool Running() const;
    // Sets the kill event and waits for the exit, at most `timeoutMs`.
    std::optional<DWORD> Stop(DWORD timeoutMs = 20000);
    HANDLE process() const { return process_; }
    DWORD pid() const { return pid_; }

  private:
    void Adopt(HANDLE process);
    // Runs `commandLine`, a Linux script that starts the agent copied to
    // `exe` and returns at once, and adopts the agent's process.
    bool StartThroughScript(const std::wstring& commandLine, const std::wstring& dir,
                            const std::wstring& exe);

    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// UTF-8 form of `text`, and how often `part` occurs in `text` (journals of
// the test programs are UTF-8).
std::string Utf8(const std::wstring& text);
int Occurrences(const std::string& text, const std::string& part);

// Starts a program that creates a top-level window of class `windowClass`
// and waits (at most `timeoutMs`) for the window. Returns the process handle
// (the caller closes it), or null when the program did not start; `shown`
// tells whether the window came in time.
HANDLE StartWindowedProgram(const std::wstring& commandLine, const std::wstring& windowClass,
                            DWORD timeoutMs, bool& shown);

// Starts a program; its process handle (the caller closes it), or null.
HANDLE StartProgram(const std::wstring& commandLine, RunAs as = RunAs::Tester);

// Runs a program to its end (at most `timeoutMs`) and returns its exit code.
std::optional<DWORD> RunProgram(const std::wstring& commandLine, DWORD timeoutMs,
                                const std::wstring& directory = L"", RunAs as = RunAs::Tester);

// One line of the log file: its time stamp and its text (a text with line
// feeds keeps them; the CR LF that ends the line is removed).
struct LogLine {
    std::wstring stamp;
    std::wstring text;
};
// Parses a UTF-16LE log (with or without byte-order mark). Units that do not
// form well-made lines end up in a line whose stamp is empty.
std::vector<LogLine> ParseLog(const std::string& bytes);
std::vector<std::wstring> LogTexts(const std::wstring& path);

}  // namespace lmvntest
