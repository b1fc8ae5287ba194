#include "logbench.h"

#include "common/settings.h"
#include "diag/log.h"
#include "win/win32api.h"
#include "jobs.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <thread>
#include <vector>

namespace bench {
namespace {

// A line of the length the agent writes most often.
constexpr wchar_t kText[] = L"New print job received. Start processing thread.";
// Time stamp (25 units), the text, CR LF.
constexpr size_t kLineUnits = 25 + (sizeof(kText) / sizeof(wchar_t) - 1) + 2;

struct Run {
    long long lines = 0;
    double perSecond = 0;
};

// `threads` threads calling `write` until `seconds` pass.
Run RunThreads(int threads, double seconds, void (*write)(HANDLE), HANDLE file) {
    std::atomic<bool> stop{false};
    std::atomic<long long> lines{0};
    std::vector<std::thread> workers;
    const long long start = Now();
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            long long mine = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                write(file);
                ++mine;
            }
            lines += mine;
        });
    }
    Sleep(static_cast<DWORD>(seconds * 1000));
    stop = true;
    for (auto& worker : workers) worker.join();
    const double elapsed = Milliseconds(Now() - start) / 1000.0;
    return {lines.load(), static_cast<double>(lines.load()) / elapsed};
}

void AgentLine(HANDLE) { lmvn::WriteLog(kText); }

HANDLE WINAPI RefuseMutex(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

void PlainLine(HANDLE file) {
    // The same number of bytes as a log line, prepared once.
    static const std::wstring line = [] {
        std::wstring text = L"2024-01-01 00:00:00.000:\t";
        text += kText;
        text += L"\r\n";
        return text;
    }();
    DWORD written = 0;
    WriteFile(file, line.c_str(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
              nullptr);
}

long long FileBytes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

HANDLE HoldLogMutex() {
    const std::wstring name = std::wstring(L"Global\\") + lmvn::kPrinterName + L"_log_mutex";
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex != nullptr && WaitForSingleObject(mutex, 1000) != WAIT_OBJECT_0) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

void ReleaseLogMutex(HANDLE mutex) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

LogFigures MeasureLog(const std::wstring& dir, int threads, double seconds, int rounds) {
    LogFigures figures;
    std::vector<double> agent;
    std::vector<double> plain;
    std::vector<double> withoutMutex;
    std::vector<double> heldElsewhere;
    // Reports of the log writer (none expected) are broadcast, never shown.
    lmvn::MessageMode = 1;
    lmvn::LogEnabled = 1;
    for (int round = 0; round < rounds; ++round) {
        const std::wstring agentDir =
            dir + L"\\log" + std::to_wstring(threads) + L"_" + std::to_wstring(round);
        CreateDirectoryW(agentDir.c_str(), nullptr);
        wcsncpy(lmvn::LogDestDir, agentDir.c_str(), lmvn::kLogDestDirUnits - 1);
        if (lmvn::OpenLogFile()) {
            const Run run = RunThreads(threads, seconds, AgentLine, nullptr);
            agent.push_back(run.perSecond);
            figures.linesWritten += run.lines;
            lmvn::CloseLogFile();
            // "Agent started." and the byte-order mark come first.
            const long long bytes = FileBytes(agentDir + L"\\vp_log.txt");
            const long long first = 2 + (25 + 14 + 2) * 2;
            figures.linesFound += (bytes - first) / static_cast<long long>(kLineUnits * 2);
        }

        // Again, but the named mutex cannot be had: WriteLog then takes only
        // its lock within the process.
        const std::wstring unlockedDir = agentDir + L"\\unlocked";
        CreateDirectoryW(unlockedDir.c_str(), nullptr);
        wcsncpy(lmvn::LogDestDir, unlockedDir.c_str(), lmvn::kLogDestDirUnits - 1);
        BOOL opened = FALSE;
        {
            lmvn::ScopedApiOverride noMutex(&lmvn::Win32Api::CreateMutexW, &RefuseMutex);
            opened = lmvn::OpenLogFile();
        }
        if (opened) {
            withoutMutex.push_back(RunThreads(threads, seconds, AgentLine, nullptr).perSecond);
            lmvn::CloseLogFile();
        }

        // Again while another owner holds the named mutex for good (this
        // thread; the writers are others). After the one short wait, made here
        // before the clock runs, each line only tries it.
        const std::wstring heldDir = agentDir + L"\\held";
        CreateDirectoryW(heldDir.c_str(), nullptr);
        wcsncpy(lmvn::LogDestDir, heldDir.c_str(), lmvn::kLogDestDirUnits - 1);
        if (HANDLE mutex = HoldLogMutex()) {
            if (lmvn::OpenLogFile()) {
                std::thread([] { lmvn::WriteLog(kText); }).join();
                heldElsewhere.push_back(RunThreads(threads, seconds, AgentLine, nullptr).perSecond);
                lmvn::CloseLogFile();
            }
            ReleaseLogMutex(mutex);
        }

        const std::wstring plainPath = agentDir + L"\\plain.txt";
        HANDLE file = CreateFileW(plainPath.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            plain.push_back(RunThreads(threads, seconds, PlainLine, file).perSecond);
            CloseHandle(file);
        }
    }
    lmvn::LogEnabled = 0;
    figures.writeLogPerSecond = Median(agent);
    figures.plainPerSecond = Median(plain);
    figures.withoutMutexPerSecond = Median(withoutMutex);
    figures.heldElsewherePerSecond = Median(heldElsewhere);
    return figures;
}

}  // namespace bench
