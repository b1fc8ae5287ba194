#include "logbench.h"

#include "common/settings.h"
#include "diag/log.h"
#include "win/process_start.h"
#include "win/win32api.h"
#include "jobs.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
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
    // One file per round, never moved, so that its size tells the lines in it.
    const DWORD maxSize = lmvn::LogMaxSize;
    lmvn::LogMaxSize = 0;
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
    lmvn::LogMaxSize = maxSize;
    figures.writeLogPerSecond = Median(agent);
    figures.plainPerSecond = Median(plain);
    figures.withoutMutexPerSecond = Median(withoutMutex);
    figures.heldElsewherePerSecond = Median(heldElsewhere);
    return figures;
}

namespace {

std::string FileBytesOf(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    return bytes;
}

// What one run's files hold: each writer's line numbers, how often each.
struct Found {
    std::map<std::wstring, std::map<long long, int>> lines;
    long long cut = 0;
};

void Collect(const std::wstring& path, Found& found) {
    const std::string bytes = FileBytesOf(path);
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find(L"\r\n", pos);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(pos, end - pos);
        pos = end + 2;
        // "yyyy-mm-dd hh:mm:ss.mmm:" then TAB, then "<tag> <n>." or the start.
        wchar_t tag[32] = {};
        long long n = 0;
        wchar_t stop = 0;
        if (line.size() < 25 || line[4] != L'-' || line[23] != L':' || line[24] != L'\t') {
            ++found.cut;
        } else if (line.compare(25, std::wstring::npos, L"Agent started.") == 0) {
            continue;
        } else if (std::swscanf(line.c_str() + 25, L"%31ls %lld%lc", tag, &n, &stop) == 3 &&
                   stop == L'.') {
            ++found.lines[tag][n];
        } else {
            ++found.cut;
        }
    }
}

struct WriterRun {
    double perSecond = 0;
    long long written = 0;
    long long bytes = 0;  // of the writers' lines, as written
    long long lost = 0;
    long long cut = 0;
    long long doubled = 0;
};

WriterRun RunWriters(const std::wstring& self, const std::wstring& dir, int writers, double seconds,
                     DWORD maxSizeKiB) {
    WriterRun run;
    CreateDirectoryW(dir.c_str(), nullptr);
    static int runs = 0;
    const std::wstring event = L"LmvnBenchLogStart" + std::to_wstring(GetCurrentProcessId()) +
                               L"_" + std::to_wstring(++runs);
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    std::vector<PROCESS_INFORMATION> children;
    const DWORD ms = static_cast<DWORD>(seconds * 1000);
    for (int w = 0; w < writers; ++w) {
        std::wstring line = L"\"" + self + L"\" --log-writer " + std::to_wstring(ms) + L" " +
                            std::to_wstring(maxSizeKiB) + L" w" + std::to_wstring(w) + L" " +
                            event + L" " + dir;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION child{};
        if (lmvn::CreateProcessRetryingW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                         nullptr, &startup, &child)) {
            children.push_back(child);
        }
    }
    // Each writer opens the log first; give them a moment to be waiting.
    Sleep(1000);
    SetEvent(start);
    for (const PROCESS_INFORMATION& child : children) {
        WaitForSingleObject(child.hProcess, ms + 60000);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    CloseHandle(start);

    Found found;
    Collect(dir + L"\\vp_log.1.txt", found);
    Collect(dir + L"\\vp_log.txt", found);
    run.cut = found.cut;
    for (int w = 0; w < writers; ++w) {
        const std::wstring tag = L"w" + std::to_wstring(w);
        long long count = 0;
        long long elapsedMs = 0;
        std::ifstream counts((dir + L"\\" + tag + L".count").c_str());
        if (!(counts >> count >> elapsedMs) || elapsedMs <= 0) continue;
        run.written += count;
        run.perSecond += static_cast<double>(count) * 1000.0 / static_cast<double>(elapsedMs);
        for (long long n = 0; n < count; ++n) {
            // Time stamp (25 units), "<tag> <n>.", CR LF.
            run.bytes += 2 * (25 + static_cast<long long>(tag.size()) + 1 +
                              static_cast<long long>(std::to_wstring(n).size()) + 1 + 2);
        }
        const auto& mine = found.lines[tag];
        // Kept: from the first line the files still hold (all of them
        // without a limit) to the last written.
        const long long first = maxSizeKiB == 0 || mine.empty() ? 0 : mine.begin()->first;
        long long distinct = 0;
        for (const auto& [n, times] : mine) {
            if (n < first || n >= count) continue;
            ++distinct;
            run.doubled += times - 1;
        }
        run.lost += (count - first) - distinct;
    }
    return run;
}

}  // namespace

LogMoveFigures MeasureLogMove(const std::wstring& self, const std::wstring& dir, int writers,
                              double seconds, DWORD maxSizeKiB, int rounds) {
    LogMoveFigures figures;
    std::vector<double> unbounded;
    std::vector<double> bounded;
    for (int round = 0; round < rounds; ++round) {
        const std::wstring base = dir + L"\\logmove" + std::to_wstring(round);
        CreateDirectoryW(base.c_str(), nullptr);
        for (DWORD limit : {DWORD{0}, maxSizeKiB}) {
            const WriterRun run = RunWriters(
                self, base + (limit == 0 ? L"\\unbounded" : L"\\bounded"), writers, seconds, limit);
            (limit == 0 ? unbounded : bounded).push_back(run.perSecond);
            figures.written += run.written;
            figures.lost += run.lost;
            figures.cut += run.cut;
            figures.doubled += run.doubled;
            if (limit != 0) figures.moves += run.bytes / (static_cast<long long>(limit) * 1024);
        }
    }
    figures.unboundedPerSecond = Median(unbounded);
    figures.boundedPerSecond = Median(bounded);
    return figures;
}

int RunLogWriter(const wchar_t* arguments) {
    unsigned ms = 0;
    unsigned maxSize = 0;
    wchar_t tag[32] = {};
    wchar_t event[64] = {};
    int consumed = 0;
    if (std::swscanf(arguments, L" %u %u %31ls %63ls %n", &ms, &maxSize, tag, event, &consumed) <
            4 ||
        consumed == 0) {
        return 1;
    }
    const std::wstring dir = arguments + consumed;
    // Reports of the log writer (none expected) are broadcast, never shown.
    lmvn::MessageMode = 1;
    lmvn::LogEnabled = 1;
    lmvn::LogMaxSize = maxSize;
    wcsncpy(lmvn::LogDestDir, dir.c_str(), lmvn::kLogDestDirUnits - 1);
    HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, event);
    if (start == nullptr || !lmvn::OpenLogFile()) return 2;
    WaitForSingleObject(start, 30000);
    CloseHandle(start);
    long long count = 0;
    const long long began = Now();
    while (Milliseconds(Now() - began) < ms) {
        wchar_t text[64];
        std::swprintf(text, 64, L"%ls %lld.", tag, count++);
        lmvn::WriteLog(text);
    }
    const long long elapsed = static_cast<long long>(Milliseconds(Now() - began));
    lmvn::CloseLogFile();
    std::ofstream((dir + L"\\" + tag + L".count").c_str()) << count << ' ' << elapsed << '\n';
    return 0;
}

}  // namespace bench
