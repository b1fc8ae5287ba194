#include "stagedouble.h"

#include "harness.h"

#include <cstdio>
#include <cwchar>

namespace lmvntest {

bool InstallStageDouble(const std::wstring& dir, const std::wstring& name) {
    return CopyProgram(JoinPath(ProgramDir(), L"stagedouble.exe"), JoinPath(dir, name));
}

bool InstallStageDoubles(const std::wstring& dir) {
    return InstallStageDouble(dir, L"preprocess.exe") && InstallStageDouble(dir, L"progress.exe") &&
           InstallStageDouble(dir, L"lmvndisp.exe");
}

bool SetStageBehaviour(const std::wstring& dir, const std::wstring& name,
                       const StageBehaviour& behaviour) {
    const std::wstring ini = JoinPath(dir, kStageSettingsName);
    const wchar_t* section = name.c_str();
    auto put = [&](const wchar_t* key, const std::wstring& value) {
        return WritePrivateProfileStringW(section, key, value.c_str(), ini.c_str()) != FALSE;
    };
    return put(L"Result", behaviour.result) && put(L"Echo", behaviour.echo) &&
           put(L"Window", behaviour.window ? L"1" : L"0") &&
           put(L"Idle", behaviour.idle ? L"1" : L"0") &&
           put(L"WindowDelayMs", std::to_wstring(behaviour.windowDelayMs)) &&
           put(L"WindowLimitMs",
               behaviour.windowLimitMs ? std::to_wstring(behaviour.windowLimitMs) : L"") &&
           put(L"DelayMs", std::to_wstring(behaviour.delayMs)) &&
           put(L"ExitCode", std::to_wstring(behaviour.exitCode)) &&
           put(L"Crash", std::to_wstring(behaviour.crashCode));
}

std::vector<JournalEntry> ReadStageJournal(const std::wstring& dir) {
    const std::string bytes = ReadFileBytes(JoinPath(dir, kStageJournalName));
    std::wstring text;
    if (!bytes.empty()) {
        const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(),
                                              static_cast<int>(bytes.size()), nullptr, 0);
        text.resize(static_cast<size_t>(units));
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                            units);
    }
    std::vector<JournalEntry> journal;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos) break;  // a line still being written
        const std::wstring line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t a = line.find(L'\t');
        const size_t b = a == std::wstring::npos ? a : line.find(L'\t', a + 1);
        const size_t c = b == std::wstring::npos ? b : line.find(L'\t', b + 1);
        if (c == std::wstring::npos) continue;
        JournalEntry entry;
        entry.program = line.substr(0, a);
        entry.event = line.substr(a + 1, b - a - 1);
        entry.time = std::wcstoull(line.substr(b + 1, c - b - 1).c_str(), nullptr, 10);
        entry.detail = line.substr(c + 1);
        journal.push_back(std::move(entry));
    }
    return journal;
}

int IndexOf(const std::vector<JournalEntry>& journal, const std::wstring& program,
            const std::wstring& event) {
    for (size_t i = 0; i < journal.size(); ++i) {
        if (journal[i].program == program && journal[i].event == event) return static_cast<int>(i);
    }
    return -1;
}

std::optional<JournalEntry> FindEntry(const std::vector<JournalEntry>& journal,
                                      const std::wstring& program, const std::wstring& event) {
    const int i = IndexOf(journal, program, event);
    if (i < 0) return std::nullopt;
    return journal[static_cast<size_t>(i)];
}

ULONGLONG StampToTime(const std::wstring& stamp) {
    SYSTEMTIME time = {};
    if (swscanf(stamp.c_str(), L"%hu-%hu-%hu %hu:%hu:%hu.%hu", &time.wYear, &time.wMonth,
                &time.wDay, &time.wHour, &time.wMinute, &time.wSecond, &time.wMilliseconds) != 7) {
        return 0;
    }
    FILETIME file;
    if (!SystemTimeToFileTime(&time, &file)) return 0;
    return (static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

}  // namespace lmvntest
