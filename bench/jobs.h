// The agent, its jobs and the baseline: a scratch folder laid out as an
// installation, the real lmvnagent.exe started from there, a job submitter
// that keeps the producer's side of the hand-over, the client's journal, and
// the same process starts done directly.
#pragma once

#include <windows.h>

#include "support/desktop.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace bench {

// QueryPerformanceCounter, and its ticks in milliseconds.
long long Now();
double Milliseconds(long long ticks);

enum class Mode { CommandLine, CopyData, Clipboard };

inline constexpr wchar_t kClientClass[] = L"LmvnBenchClient";

struct Installation {
    std::wstring dir;         // agent, stage programs and client side by side
    std::wstring agent;       // dir\lmvnagent.exe
    std::wstring client;      // dir\benchclient.exe
    std::wstring journal;     // the client's journal
    std::wstring jobs;        // job description files
    std::wstring userName;    // as the agent sees it
    std::wstring printEvent;  // the agent's per-user print event
};

// Lays out a fresh folder under %TEMP%: the agent from `agentExe`, benchnop.exe
// as the three stage programs, benchclient.exe, both from `benchDir`.
std::optional<Installation> Install(const std::wstring& agentExe, const std::wstring& benchDir);
void Uninstall(const Installation& installation);

// HKLM\Software\Lumvane: the agent's values. Reports are broadcast, never
// shown as a box, unless `boxes` asks for boxes (message mode off).
bool ConfigureAgent(const Installation& installation, bool log, bool boxes = false);
// HKCU\Software\Lumvane: the client values for `mode`. In copy-data and
// clipboard mode a client the agent starts makes its window `windowDelayMs`
// after it became idle for input.
bool ConfigureClient(const Installation& installation, Mode mode, DWORD windowDelayMs = 0);

// The stage programs: benchnop.exe as all three, or (for the batch)
// benchstage.exe as progress.exe and lmvndisp.exe, a progress window that
// stays until WM_CLOSE and a converter that takes a while.
bool UseBatchStages(const Installation& installation, bool batch);

void ClearRegistry();

// The client's command line as the agent is told it ("Client Application").
std::wstring ClientCommand(const Installation& installation);

class Agent {
  public:
    ~Agent();
    // Starts the agent and waits until its print event exists.
    bool Start(const Installation& installation);
    // Kill event, then a bounded wait; terminated if it does not go.
    void Stop();
    HANDLE process() const { return process_; }
    DWORD pid() const { return pid_; }
    DWORD linuxPid() const { return linuxPid_; }

  private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    DWORD linuxPid_ = 0;
};

// The copy-data client: one window that stays for the whole run.
class CopyDataClient {
  public:
    ~CopyDataClient();
    bool Start(const Installation& installation);
    void Stop();
    HWND window() const { return window_; }
    HANDLE process() const { return process_; }

  private:
    HANDLE process_ = nullptr;
    HWND window_ = nullptr;
};

// Writes a small job description file (JobID, no pages); returns its path.
std::wstring WriteJobFile(const Installation& installation, int jobId);

// The producer's side: one path at a time under the user's name.
class Submitter {
  public:
    explicit Submitter(const Installation& installation);
    ~Submitter();
    bool ok() const { return key_ != nullptr && event_ != nullptr && changed_ != nullptr; }
    // Waits (bounded) until the previous path has been taken, stores `path`
    // and sets the event; the counter just before SetEvent, or none.
    std::optional<long long> Submit(const std::wstring& path);
    // Times the previous path was still there after the wait and the event
    // was set again (a wake-up the agent lost).
    int resignals() const { return resignals_; }
    // Time spent waiting for the agent to take the previous path, in all.
    double waitedMs() const { return waitedMs_; }

  private:
    bool WaitTaken(DWORD timeoutMs);
    std::wstring valueName_;
    HKEY key_ = nullptr;
    HANDLE event_ = nullptr;
    HANDLE changed_ = nullptr;
    int resignals_ = 0;
    double waitedMs_ = 0;
};

// The client's journal, read as it grows.
class Journal {
  public:
    struct Entry {
        long long when = 0;
        DWORD pid = 0;
        std::wstring event;
    };
    explicit Journal(std::wstring path) : path_(std::move(path)) {}
    void Poll();
    const std::vector<Entry>* Find(const std::wstring& jobPath);
    // Polls every 10 ms until `jobPath` has an entry of `event`, at most
    // `timeoutMs`; the first such entry's time.
    std::optional<long long> WaitFor(const std::wstring& jobPath, const wchar_t* event,
                                     DWORD timeoutMs);

  private:
    std::wstring path_;
    unsigned long long offset_ = 0;
    std::string partial_;
    std::unordered_map<std::wstring, std::vector<Entry>> entries_;
};

// What the design makes the agent do for one job, done directly: the three
// stage programs with the agent's waits, then the client (command-line mode:
// started with the path; copy-data mode: WM_COPYDATA to the existing window).
bool RunBaselineJob(const Installation& installation, Mode mode, const std::wstring& jobPath);

// Handles that WaitForInputIdle leaves behind in its caller, per call, as the
// agent calls it on the installed progress.exe: `calls` starts of it, each
// waited for as the agent does (and its window, if it shows one, told to
// close). Negative when the count cannot be taken.
double WaitForInputIdleLeak(const Installation& installation, int calls);

}  // namespace bench
