// Helpers for the stage double (build/tests/stagedouble.exe): install it into
// a folder under a stage program's name, tell it how to behave, and read the
// journal it keeps there.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace lmvntest {

inline constexpr wchar_t kStageJournalName[] = L"stagejournal.txt";
inline constexpr wchar_t kStageSettingsName[] = L"stagedouble.ini";

// Copies stagedouble.exe into `dir` as `name` (for example L"preprocess.exe").
bool InstallStageDouble(const std::wstring& dir, const std::wstring& name);
// Installs preprocess.exe, progress.exe and lmvndisp.exe.
bool InstallStageDoubles(const std::wstring& dir);

struct StageBehaviour {
    std::wstring result;      // written as PreprocessingResult when not empty
    std::wstring echo;        // "Section.Key,...": journalled as events "key"
    bool window = false;      // show the progress window until WM_CLOSE
    bool idle = false;        // idle for input at once, before any delay
    DWORD windowDelayMs = 0;  // wait before the window appears
    DWORD windowLimitMs = 0;  // 0: the double's own limit
    DWORD delayMs = 0;        // time taken before ending
    DWORD exitCode = 0;
    DWORD crashCode = 0;  // non-zero: end with this exception code
};
// Writes the behaviour of the double named `name` in `dir`.
bool SetStageBehaviour(const std::wstring& dir, const std::wstring& name,
                       const StageBehaviour& behaviour);

struct JournalEntry {
    std::wstring program;  // the double's own file name
    std::wstring event;    // start, job, key, result, window, close, timeout, end, crash
    ULONGLONG time = 0;    // UTC, 100 ns units since 1601
    std::wstring detail;   // start: the command line; job: the job path; key: S.K=value
};
std::vector<JournalEntry> ReadStageJournal(const std::wstring& dir);

// The first entry of `program` with `event`, if any.
std::optional<JournalEntry> FindEntry(const std::vector<JournalEntry>& journal,
                                      const std::wstring& program, const std::wstring& event);
// Index of that entry in the journal, or -1.
int IndexOf(const std::vector<JournalEntry>& journal, const std::wstring& program,
            const std::wstring& event);

// A log stamp ("yyyy-mm-dd hh:mm:ss.mmm", UTC) in the journal's time units.
ULONGLONG StampToTime(const std::wstring& stamp);
// A journal time cut to whole milliseconds, as a log stamp would be.
inline ULONGLONG ToMilliseconds(ULONGLONG time) { return time / 10000 * 10000; }

}  // namespace lmvntest
