// lmvnbench: measures what the agent adds to what a job unavoidably costs,
// and whether its cost grows with the number of jobs. Every figure is a ratio
// against a baseline measured in the same run, or a count:
//
//   latency   from SetEvent to the client holding the path, against the same
//             process starts and waits done directly (median, 90th percentile)
//   burst     jobs per second with jobs submitted back to back, against the
//             same work on one thread per job; each job delivered once?
//   batch     overlapping jobs with a progress window each and a client that
//             starts slowly: what is left of them afterwards (threads,
//             memory, windows, client copies, handles); clipboard jobs each
//             delivered once?
//   flood     empty signals of the user's print event, then a real job: the
//             agent's threads and open boxes during the flood, and the job's
//             latency against the same job on a quiet agent
//   idle      the agent's processor time over a quiet stretch: zero
//   growth    the agent's handles and private memory after a few and after
//             many jobs
//   log       WriteLog lines per second against a plain WriteFile loop
//   logmove   four processes writing to one log: lines per second with a
//             LogMaxSize that moves the file again and again against none;
//             lines lost, cut or doubled
//
// Progress goes to standard error, the table (Markdown) to standard output.
// Run it under Wine from the bench folder of a build; scripts/bench.sh does.
#include "jobs.h"
#include "logbench.h"
#include "procinfo.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace bench {
namespace {

struct Options {
    // Sized for about ten minutes on a busy two-core machine; the figures of
    // a longer run: --burst 500 --growth 2000.
    int reps = 15;               // latency samples per row and side
    int burst = 200;             // jobs in the burst
    int growthFirst = 100;       // jobs before the first growth reading
    int growthTotal = 1000;      // jobs before the second
    int wave = 100;              // growth jobs submitted back to back at a time
    int batch = 240;             // copy-data jobs in the batch
    int clipboardBatch = 30;     // clipboard jobs after it
    int flood = 150;             // empty signals before each flood's real job
    int floodRounds = 5;         // floods, each with a quiet job before it
    DWORD windowDelayMs = 1500;  // the batch's client makes its window this late
    double idleSeconds = 10;
    double logSeconds = 1;
    int logRounds = 3;
    std::wstring agent;     // default: lmvnagent.exe in the folder above ours
    DWORD logMoveKiB = 16;  // LogMaxSize of the bounded logmove runs
    std::wstring phases = L"log,logmove,latency,burst,clipboard,flood,batch,growth";  // what to run
    bool Runs(const wchar_t* phase) const {
        return (L"," + phases + L",").find(L"," + std::wstring(phase) + L",") != std::wstring::npos;
    }
};

const wchar_t kUsage[] =
    L"usage: lmvnbench [--quick] [--reps N] [--burst N] [--growth-first N] [--growth N]\n"
    L"                 [--wave N] [--idle-seconds S] [--log-seconds S] [--log-rounds N]\n"
    L"                 [--batch N] [--clipboard-batch N] [--flood N] [--flood-rounds N]\n"
    L"                 [--log-move-kib N] [--agent PATH]\n"
    L"                 [--phases log,logmove,latency,burst,clipboard,flood,batch,growth]\n";

bool ParseOptions(int argc, wchar_t** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto number = [&](int& out) {
            if (value == nullptr) return false;
            out = static_cast<int>(std::wcstol(value, nullptr, 10));
            ++i;
            return out > 0;
        };
        auto real = [&](double& out) {
            if (value == nullptr) return false;
            out = std::wcstod(value, nullptr);
            ++i;
            return out > 0;
        };
        bool ok = true;
        if (arg == L"--quick") {
            o.reps = 4;
            o.burst = 20;
            o.growthFirst = 10;
            o.growthTotal = 40;
            o.wave = 10;
            o.batch = 24;
            o.clipboardBatch = 10;
            o.floodRounds = 1;
            o.idleSeconds = 2;
            o.logSeconds = 0.3;
            o.logRounds = 1;
        } else if (arg == L"--reps") {
            ok = number(o.reps);
        } else if (arg == L"--burst") {
            ok = number(o.burst);
        } else if (arg == L"--growth-first") {
            ok = number(o.growthFirst);
        } else if (arg == L"--growth") {
            ok = number(o.growthTotal);
        } else if (arg == L"--wave") {
            ok = number(o.wave);
        } else if (arg == L"--batch") {
            ok = number(o.batch);
        } else if (arg == L"--clipboard-batch") {
            ok = number(o.clipboardBatch);
        } else if (arg == L"--flood") {
            ok = number(o.flood);
        } else if (arg == L"--flood-rounds") {
            ok = number(o.floodRounds);
        } else if (arg == L"--idle-seconds") {
            ok = real(o.idleSeconds);
        } else if (arg == L"--log-seconds") {
            ok = real(o.logSeconds);
        } else if (arg == L"--log-rounds") {
            ok = number(o.logRounds);
        } else if (arg == L"--log-move-kib") {
            int kib = 0;
            ok = number(kib);
            o.logMoveKiB = static_cast<DWORD>(kib);
        } else if (arg == L"--phases" && value != nullptr) {
            o.phases = value;
            ++i;
        } else if (arg == L"--agent" && value != nullptr) {
            o.agent = value;
            ++i;
        } else {
            ok = false;
        }
        if (!ok) return false;
    }
    return o.growthFirst < o.growthTotal;
}

void Progress(const wchar_t* format, ...) {
    static const ULONGLONG start = GetTickCount64();
    va_list args;
    va_start(args, format);
    std::fwprintf(stderr, L"lmvnbench %4llus: ", (GetTickCount64() - start) / 1000);
    std::vfwprintf(stderr, format, args);
    std::fwprintf(stderr, L"\n");
    std::fflush(stderr);
    va_end(args);
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    // Nearest rank.
    size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
    rank = std::clamp<size_t>(rank, 1, values.size());
    return values[rank - 1];
}

std::wstring Fixed(double value, int decimals) {
    if (std::isnan(value)) return L"n/a";
    wchar_t text[64];
    std::swprintf(text, 64, L"%.*f", decimals, value);
    return text;
}

// Counts the notify broadcasts (reports in message mode) on a thread of its
// own: a top-level window, as broadcasts reach only those.
class ReportCounter {
  public:
    bool Start() {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, &ReportCounter::Run, this, 0, &threadId_);
        if (thread_ == nullptr) return false;
        WaitForSingleObject(ready_, 10000);
        return window_ != nullptr;
    }
    void Stop() {
        if (thread_ == nullptr) return;
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
        CloseHandle(ready_);
        thread_ = nullptr;
    }
    long count() const { return count_; }
    const std::wstring& codes() const { return codes_; }

  private:
    static DWORD WINAPI Run(LPVOID self) { return static_cast<ReportCounter*>(self)->Loop(); }
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<ReportCounter*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self != nullptr && message == self->notify_) {
            if (++self->count_ <= 10) self->codes_ += std::to_wstring(wParam) + L" ";
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
    DWORD Loop() {
        notify_ = RegisterWindowMessageW(L"Lumvane_notify_message");
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &ReportCounter::Proc;
        windowClass.lpszClassName = L"LmvnBenchReports";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr,
                                  nullptr, nullptr, nullptr);
        if (window_ != nullptr) {
            SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        }
        SetEvent(ready_);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        if (window_ != nullptr) DestroyWindow(window_);
        return 0;
    }
    HANDLE thread_ = nullptr;
    HANDLE ready_ = nullptr;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
    UINT notify_ = 0;
    long count_ = 0;
    std::wstring codes_;
};

struct Bench {
    Options options;
    std::wstring self;  // this program, started again as a log writer
    Installation in;
    Journal journal{L""};
    ReportCounter reports;
    CopyDataClient copyClient;
    int nextJob = 1;
    int resignals = 0;
    std::vector<std::wstring> rows;  // table lines

    void Row(const std::wstring& figure, const std::wstring& agent, const std::wstring& baseline,
             const std::wstring& ratio, const std::wstring& goal) {
        rows.push_back(L"| " + figure + L" | " + agent + L" | " + baseline + L" | " + ratio +
                       L" | " + goal + L" |");
    }

    const wchar_t* Event(Mode mode) { return mode == Mode::CopyData ? L"copydata" : L"cmd"; }

    // Waits for what follows a job's hand-over to the client, so that the
    // next sample starts on a quiet agent.
    void Settle(Mode mode, const std::wstring& path) {
        if (mode == Mode::CommandLine) journal.WaitFor(path, L"exit", 15000);
        Sleep(100);
    }

    void Latency(Mode mode, const wchar_t* name) {
        if (!ConfigureClient(in, mode)) {
            Progress(L"cannot write the client settings");
            return;
        }
        Submitter submitter(in);
        if (!submitter.ok()) {
            Progress(L"cannot open the agent's print event");
            return;
        }
        std::vector<double> viaAgent;
        std::vector<double> direct;
        int failed = 0;
        const int warmUp = 2;
        for (int i = -warmUp; i < options.reps; ++i) {
            for (int side = 0; side < 2; ++side) {
                // Alternate which side goes first, so that drifts in the
                // machine's load fall on both alike.
                const bool agentSide = (side == 0) == (i % 2 == 0);
                const std::wstring path = WriteJobFile(in, nextJob++);
                std::optional<long long> start;
                if (agentSide) {
                    start = submitter.Submit(path);
                } else {
                    start = Now();
                    if (!RunBaselineJob(in, mode, path)) start.reset();
                }
                const auto arrived =
                    start ? journal.WaitFor(path, Event(mode), 30000) : std::optional<long long>();
                if (!arrived) {
                    ++failed;
                } else if (i >= 0) {
                    (agentSide ? viaAgent : direct).push_back(Milliseconds(*arrived - *start));
                }
                Settle(mode, path);
            }
        }
        resignals += submitter.resignals();
        const double agentMedian = Percentile(viaAgent, 0.5);
        const double baseMedian = Percentile(direct, 0.5);
        const double agentP90 = Percentile(viaAgent, 0.9);
        const double baseP90 = Percentile(direct, 0.9);
        Progress(L"latency %ls: agent %.1f / %.1f ms, baseline %.1f / %.1f ms (%d failed)", name,
                 agentMedian, agentP90, baseMedian, baseP90, failed);
        Row(std::wstring(L"Latency, ") + name + L": median / p90 (ms)",
            Fixed(agentMedian, 1) + L" / " + Fixed(agentP90, 1),
            Fixed(baseMedian, 1) + L" / " + Fixed(baseP90, 1),
            Fixed(agentMedian / baseMedian, 3) + L" / " + Fixed(agentP90 / baseP90, 3) +
                (failed ? L" (" + std::to_wstring(failed) + L" jobs lost)" : L""),
            L"median ratio <= 1.15");
    }

    // Paths of `count` new jobs, their files written beforehand.
    std::vector<std::wstring> NewJobs(int count) {
        std::vector<std::wstring> paths;
        for (int i = 0; i < count; ++i) paths.push_back(WriteJobFile(in, nextJob++));
        return paths;
    }

    struct Delivery {
        int delivered = 0;   // paths that arrived
        int duplicates = 0;  // arrivals beyond the first
        long long last = 0;  // time of the last arrival
    };
    // Waits until every path has arrived, or nothing arrives for 30 seconds.
    Delivery WaitDelivered(const std::vector<std::wstring>& paths, const wchar_t* event) {
        Delivery d;
        int seen = -1;
        ULONGLONG quietSince = GetTickCount64();
        for (;;) {
            journal.Poll();
            d = Delivery{};
            for (const auto& path : paths) {
                const auto* entries = journal.Find(path);
                if (entries == nullptr) continue;
                int arrivals = 0;
                for (const auto& entry : *entries) {
                    if (entry.event != event) continue;
                    if (++arrivals == 1) d.last = std::max(d.last, entry.when);
                }
                if (arrivals > 0) ++d.delivered;
                if (arrivals > 1) d.duplicates += arrivals - 1;
            }
            if (d.delivered == static_cast<int>(paths.size())) return d;
            if (d.delivered != seen) {
                seen = d.delivered;
                quietSince = GetTickCount64();
            } else if (GetTickCount64() - quietSince > 30000) {
                return d;
            }
            Sleep(50);
        }
    }

    // Submits `paths` back to back; the time of the first SetEvent, or none.
    std::optional<long long> SubmitAll(Submitter& submitter,
                                       const std::vector<std::wstring>& paths) {
        std::optional<long long> first;
        for (const auto& path : paths) {
            const auto when = submitter.Submit(path);
            if (!when) return std::nullopt;
            if (!first) first = when;
        }
        return first;
    }

    void Burst() {
        if (!ConfigureClient(in, Mode::CopyData)) return;
        const int n = options.burst;
        // Through the agent.
        Submitter submitter(in);
        const auto agentPaths = NewJobs(n);
        const auto first = SubmitAll(submitter, agentPaths);
        const long long submitted = Now();
        const Delivery viaAgent = WaitDelivered(agentPaths, L"copydata");
        resignals += submitter.resignals();
        const double agentSeconds = first ? Milliseconds(viaAgent.last - *first) / 1000.0 : NAN;
        Sleep(1000);

        // Directly: the same work per job, taken from the list by as many
        // threads as the machine has processors. (A thread per job, all
        // started at once, only makes hundreds of process starts fight.)
        const auto directPaths = NewJobs(n);
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        struct Work {
            Bench* bench;
            const std::vector<std::wstring>* paths;
            LONG next;
        } work{this, &directPaths, -1};
        std::vector<HANDLE> threads;
        const long long directStart = Now();
        for (DWORD i = 0; i < std::max<DWORD>(system.dwNumberOfProcessors, 1); ++i) {
            HANDLE thread = CreateThread(
                nullptr, 0,
                [](LPVOID param) -> DWORD {
                    auto* w = static_cast<Work*>(param);
                    for (LONG job; (job = InterlockedIncrement(&w->next)) <
                                   static_cast<LONG>(w->paths->size());) {
                        RunBaselineJob(w->bench->in, Mode::CopyData, (*w->paths)[job]);
                    }
                    return 0;
                },
                &work, 0, nullptr);
            if (thread != nullptr) threads.push_back(thread);
        }
        const Delivery direct = WaitDelivered(directPaths, L"copydata");
        // Whatever is left (nothing, unless deliveries stopped) ends quickly:
        // the list is emptied first.
        InterlockedExchange(&work.next, static_cast<LONG>(directPaths.size()));
        for (HANDLE thread : threads) {
            WaitForSingleObject(thread, 60000);
            CloseHandle(thread);
        }
        const double directSeconds = Milliseconds(direct.last - directStart) / 1000.0;

        const double agentRate = viaAgent.delivered / agentSeconds;
        const double directRate = direct.delivered / directSeconds;
        Progress(L"burst: agent %d jobs in %.1f s, baseline %d in %.1f s", viaAgent.delivered,
                 agentSeconds, direct.delivered, directSeconds);
        Row(L"Burst of " + std::to_wstring(n) + L" jobs, copy-data: jobs/s", Fixed(agentRate, 2),
            Fixed(directRate, 2) + L" (" + Fixed(directRate * 3, 1) + L" process starts/s)",
            Fixed(agentRate / directRate, 3), L">= 0.85");
        // Where the agent's time went: a submitter that waits for each
        // hand-over most of the burst is held by the hand-over, not by the jobs.
        if (first) {
            const double submitSeconds = Milliseconds(submitted - *first) / 1000.0;
            Progress(L"burst: submitted in %.1f s, %.1f ms per hand-over", submitSeconds,
                     submitter.waitedMs() / n);
            Row(L"Burst: time to hand all jobs over (s) / mean wait per hand-over (ms)",
                Fixed(submitSeconds, 1) + L" / " + Fixed(submitter.waitedMs() / n, 1), L"-",
                Fixed(submitSeconds / agentSeconds, 3) + L" of the burst", L"-");
        }
        Row(L"Burst: jobs delivered exactly once (count)",
            std::to_wstring(viaAgent.delivered) + L" of " + std::to_wstring(n) + L", " +
                std::to_wstring(viaAgent.duplicates) + L" more than once",
            std::to_wstring(direct.delivered) + L" of " + std::to_wstring(n),
            std::to_wstring(n - viaAgent.delivered) + L" missing", L"all, once");
    }

    // Samples the agent's threads and resident memory every 20 ms, on a
    // thread of its own, and keeps the peaks; with `boxCaption`, the message
    // boxes of that caption on the desktop too.
    class Sampler {
      public:
        explicit Sampler(DWORD linuxPid, const wchar_t* boxCaption = nullptr)
            : linuxPid_(linuxPid), boxCaption_(boxCaption) {
            thread_ = CreateThread(nullptr, 0, &Sampler::Run, this, 0, nullptr);
        }
        ~Sampler() { Stop(); }
        void Stop() {
            if (thread_ == nullptr) return;
            InterlockedExchange(&stop_, 1);
            WaitForSingleObject(thread_, 10000);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        int peakThreads = 0;
        long long peakRssKb = 0;
        int peakBoxes = 0;

      private:
        static DWORD WINAPI Run(LPVOID self) {
            auto* s = static_cast<Sampler*>(self);
            while (InterlockedCompareExchange(&s->stop_, 0, 0) == 0) {
                if (const auto f = ReadLinuxFigures(s->linuxPid_)) {
                    s->peakThreads = std::max(s->peakThreads, f->threads);
                    s->peakRssKb = std::max(s->peakRssKb, f->rssKb);
                }
                if (s->boxCaption_ != nullptr) {
                    s->peakBoxes =
                        std::max(s->peakBoxes, lmvntest::CountWindows(L"#32770", s->boxCaption_));
                }
                Sleep(20);
            }
            return 0;
        }
        DWORD linuxPid_;
        const wchar_t* boxCaption_;
        HANDLE thread_ = nullptr;
        LONG stop_ = 0;
    };

    // Copies of the client started so far (each journals "start" first).
    int ClientStarts() {
        journal.Poll();
        const auto* entries = journal.Find(L"");
        if (entries == nullptr) return 0;
        return static_cast<int>(std::count_if(entries->begin(), entries->end(),
                                              [](const auto& e) { return e.event == L"start"; }));
    }

    // Ends every copy of the client (the batch's client windows).
    static void CloseClients() { lmvntest::EndWindowOwners(kClientClass); }

    void Batch(Agent& agent) {
        // The batch starts its own client: none may be running.
        copyClient.Stop();
        CloseClients();
        if (!UseBatchStages(in, true) ||
            !ConfigureClient(in, Mode::CopyData, options.windowDelayMs)) {
            Progress(L"batch: cannot set up the stages or the client");
            return;
        }
        Quiet(agent);
        const auto handlesBefore = CountHandles(agent.pid());
        const int startsBefore = ClientStarts();
        const int n = options.batch;
        Sampler sampler(agent.linuxPid());
        Submitter submitter(in);
        const auto paths = NewJobs(n);
        const auto first = SubmitAll(submitter, paths);
        const Delivery d = WaitDelivered(paths, L"copydata");
        resignals += submitter.resignals();

        // Half a second after the last delivery.
        while (Milliseconds(Now() - d.last) < 500) Sleep(5);
        const auto half = ReadLinuxFigures(agent.linuxPid());
        const int windowsAtHalf = lmvntest::CountWindows(L"Lumvane progress indicator");
        // Back to the one waiting thread (bounded).
        double backMs = NAN;
        while (Milliseconds(Now() - d.last) < 120000) {
            const auto f = ReadLinuxFigures(agent.linuxPid());
            if (f && f->threads == 1) {
                backMs = Milliseconds(Now() - d.last);
                break;
            }
            Sleep(10);
        }
        sampler.Stop();
        while (Milliseconds(Now() - d.last) < 3000) Sleep(20);
        const int windowsAt3s = lmvntest::CountWindows(L"Lumvane progress indicator");
        Quiet(agent);
        const auto handlesAfter = CountHandles(agent.pid());
        const int starts = ClientStarts() - startsBefore;
        // One more job on the quiet agent: its wake-up reaps the thread handles
        // of every job that ended since the last wake-up.
        const auto extra = NewJobs(1);
        SubmitAll(submitter, extra);
        WaitDelivered(extra, L"copydata");
        Quiet(agent);
        const auto handlesReaped = CountHandles(agent.pid());
        // Wine's share, calibrated on the same progress indicator.
        const double leak = WaitForInputIdleLeak(in, 20);
        Progress(
            L"batch: %d of %d delivered in %.1f s; 0.5 s later %d threads, %lld KiB, %d "
            L"windows; one thread after %.0f ms; %d client copies",
            d.delivered, n, first ? Milliseconds(d.last - *first) / 1000 : NAN,
            half ? half->threads : -1, half ? half->rssKb : -1LL, windowsAtHalf, backMs, starts);

        const std::wstring name = L"Batch of " + std::to_wstring(n) + L" copy-data jobs";
        Row(name + L": delivered exactly once (count)",
            std::to_wstring(d.delivered) + L" of " + std::to_wstring(n) + L", " +
                std::to_wstring(d.duplicates) + L" more than once",
            L"-", std::to_wstring(n - d.delivered) + L" missing", L"all, once");
        Row(name + L": agent threads / VmRSS (KiB) 0.5 s after the last delivery",
            half ? std::to_wstring(half->threads) + L" / " + std::to_wstring(half->rssKb) : L"n/a",
            L"-",
            L"peak " + std::to_wstring(sampler.peakThreads) + L" / " +
                std::to_wstring(sampler.peakRssKb),
            L"1 thread");
        Row(name + L": time from the last delivery to one thread (ms)", Fixed(backMs, 0), L"-",
            L"-", L"about 1000 or less");
        Row(name + L": progress windows left 0.5 s / 3 s after the last delivery",
            std::to_wstring(windowsAtHalf) + L" / " + std::to_wstring(windowsAt3s), L"-", L"-",
            L"0");
        Row(name + L": client copies started (window " + std::to_wstring(options.windowDelayMs) +
                L" ms after idle)",
            std::to_wstring(starts), L"-", L"-", L"1");
        std::wstring handleText = L"n/a";
        std::wstring handleRatio = L"-";
        if (handlesBefore && handlesAfter && handlesReaped) {
            const long diff = *handlesAfter - *handlesBefore;
            const long reaped = *handlesReaped - *handlesBefore;
            // The design's WaitForInputIdle calls: one per job (progress
            // indicator) and one per client start, and the extra job's.
            const int waits = n + 1 + starts;
            handleText = std::to_wstring(*handlesBefore) + L" / " + std::to_wstring(*handlesAfter) +
                         L" / " + std::to_wstring(*handlesReaped);
            handleRatio = L"+" + std::to_wstring(diff) + L" (" + Fixed(double(diff) / n, 2) +
                          L" per job); after one more job +" + std::to_wstring(reaped) +
                          L", less Wine's " + Fixed(leak, 2) + L" x " + std::to_wstring(waits) +
                          L" WaitForInputIdle calls: " + Fixed(reaped - leak * waits, 0);
        }
        Row(name + L": agent handles before / after / after one more job", handleText, L"-",
            handleRatio, L"Wine's, and the last job's thread handle");

        ClipboardBatch();
        CloseClients();
        UseBatchStages(in, false);
        copyClient.Start(in);
    }

    // Clipboard jobs back to back to the running client: each path once?
    void ClipboardBatch() {
        const int n = options.clipboardBatch;
        if (n <= 0 || !ConfigureClient(in, Mode::Clipboard)) return;
        const long reportsBefore = reports.count();
        Submitter submitter(in);
        const auto paths = NewJobs(n);
        const auto first = SubmitAll(submitter, paths);
        const Delivery d = WaitDelivered(paths, L"clipboard");
        resignals += submitter.resignals();
        Sleep(1000);  // late arrivals count as duplicates
        const Delivery settled = WaitDelivered(paths, L"clipboard");
        Progress(L"clipboard batch: %d of %d delivered, %d more than once, %ld reports",
                 settled.delivered, n, settled.duplicates, reports.count() - reportsBefore);
        Row(L"Batch of " + std::to_wstring(n) + L" clipboard jobs: delivered exactly once (count)",
            std::to_wstring(settled.delivered) + L" of " + std::to_wstring(n) + L", " +
                std::to_wstring(settled.duplicates) + L" more than once; " +
                std::to_wstring(reports.count() - reportsBefore) + L" reports",
            L"-", std::to_wstring(n - settled.delivered) + L" missing", L"all, once");
        // Clipboard jobs go one at a time, each until its path was read.
        std::wstring took = L"n/a";
        if (first && d.delivered == n) took = Fixed(Milliseconds(d.last - *first), 0);
        Row(L"Batch of " + std::to_wstring(n) +
                L" clipboard jobs: first hand-over to last delivery (ms)",
            took, L"-", L"-", L"-");
    }

    // OpenClipboard against another program that holds the clipboard for a
    // few milliseconds now and then (as a clipboard viewer does on each
    // change): attempts that fail at once, and with the agent's retry (10
    // tries, 20 ms apart).
    void ClipboardRetry() {
        struct Holder {
            LONG stop = 0;
            static DWORD WINAPI Run(LPVOID self) {
                auto* h = static_cast<Holder*>(self);
                // Opened for a window of its own, as programs do (Wine lets
                // two openers without a window share it).
                HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr,
                                              nullptr, nullptr, nullptr);
                while (InterlockedCompareExchange(&h->stop, 0, 0) == 0) {
                    if (OpenClipboard(window)) {
                        Sleep(5);
                        CloseClipboard();
                    }
                    Sleep(45);
                }
                DestroyWindow(window);
                return 0;
            }
        } holder;
        HANDLE thread = CreateThread(nullptr, 0, &Holder::Run, &holder, 0, nullptr);
        const int attempts = 200;
        int failedOnce = 0;
        int failedWithRetry = 0;
        double retryMs = 0;
        for (int i = 0; i < attempts; ++i) {
            Sleep(7 + (i * 13) % 31);  // not in step with the holder
            const long long start = Now();
            bool opened = OpenClipboard(nullptr) != FALSE;
            if (!opened) ++failedOnce;
            for (int attempt = 1; !opened && attempt < 10; ++attempt) {
                Sleep(20);
                opened = OpenClipboard(nullptr) != FALSE;
            }
            if (opened) CloseClipboard();
            if (!opened) ++failedWithRetry;
            retryMs = std::max(retryMs, Milliseconds(Now() - start));
        }
        InterlockedExchange(&holder.stop, 1);
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
        Progress(L"clipboard: %d of %d opens failed at once, %d with the retry (longest %.0f ms)",
                 failedOnce, attempts, failedWithRetry, retryMs);
        Row(L"OpenClipboard while another program holds it 5 ms in 50: failed (count)",
            std::to_wstring(failedWithRetry) + L" of " + std::to_wstring(attempts) +
                L" with 10 tries 20 ms apart (longest " + Fixed(retryMs, 0) + L" ms)",
            std::to_wstring(failedOnce) + L" of " + std::to_wstring(attempts) + L" at once", L"-",
            L"-");
    }

    // Lines of the agent's log (UTF-16) that hold `text`.
    int LogLines(const wchar_t* text) const {
        HANDLE file = CreateFileW((in.dir + L"\\vp_log.txt").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 0;
        std::wstring log;
        wchar_t buffer[16384];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            log.append(buffer, read / sizeof(wchar_t));
        }
        CloseHandle(file);
        int lines = 0;
        for (size_t at = log.find(text); at != std::wstring::npos; at = log.find(text, at + 1)) {
            ++lines;
        }
        return lines;
    }

    // Empty signals of the user's print event, as any account that may set it
    // can send them: each once the main loop has reset the last, so that each
    // wakes the agent. Right after the last one, a real job; before each
    // flood, the same job on the quiet agent is the baseline. The agent shows
    // its reports as boxes here (message mode off); they are counted while
    // the flood lasts, and answered after each round.
    void Flood(Agent& agent) {
        constexpr wchar_t kCaption[] = L"Lumvane agent";
        if (!ConfigureClient(in, Mode::CopyData)) return;
        Submitter submitter(in);
        HANDLE print = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, in.printEvent.c_str());
        if (!submitter.ok() || print == nullptr) {
            Progress(L"flood: cannot open the agent's print event");
            if (print != nullptr) CloseHandle(print);
            return;
        }
        // One real job: its latency in ms, or none when it did not arrive.
        auto realJob = [&]() -> std::optional<double> {
            const std::wstring path = WriteJobFile(in, nextJob++);
            const auto start = submitter.Submit(path);
            const auto arrived =
                start ? journal.WaitFor(path, L"copydata", 30000) : std::optional<long long>();
            if (!arrived) return std::nullopt;
            return Milliseconds(*arrived - *start);
        };
        std::vector<double> quiet;
        std::vector<double> flooded;
        int lost = 0;
        int unanswered = 0;  // signals the main loop did not take within 10 s
        int peakThreads = 0;
        int peakBoxes = 0;
        int boxesAfter = 0;
        int threadsStarted = 0;
        for (int round = 0; round < options.floodRounds; ++round) {
            Quiet(agent);
            if (const auto ms = realJob()) {
                quiet.push_back(*ms);
            } else {
                ++lost;
            }
            Sleep(200);
            Quiet(agent);
            const int startedBefore = LogLines(L"Processing thread started.");
            Sampler sampler(agent.linuxPid(), kCaption);
            for (int i = 0; i < options.flood; ++i) {
                SetEvent(print);
                const ULONGLONG deadline = GetTickCount64() + 10000;
                while (WaitForSingleObject(print, 0) == WAIT_OBJECT_0) {
                    if (GetTickCount64() > deadline) {
                        ++unanswered;
                        break;
                    }
                    Sleep(1);
                }
            }
            if (const auto ms = realJob()) {
                flooded.push_back(*ms);
            } else {
                ++lost;
            }
            Quiet(agent);
            sampler.Stop();
            peakThreads = std::max(peakThreads, sampler.peakThreads);
            peakBoxes = std::max(peakBoxes, sampler.peakBoxes);
            boxesAfter = std::max(boxesAfter, lmvntest::CountWindows(L"#32770", kCaption));
            // The real job's thread included.
            threadsStarted =
                std::max(threadsStarted, LogLines(L"Processing thread started.") - startedBefore);
            const int answered = lmvntest::AnswerBoxes(kCaption);
            Progress(
                L"flood %d: quiet job %ls ms, after the flood %ls ms; peak %d threads, %d "
                L"boxes; %d boxes answered",
                round + 1, quiet.empty() ? L"-" : Fixed(quiet.back(), 1).c_str(),
                flooded.empty() ? L"-" : Fixed(flooded.back(), 1).c_str(), sampler.peakThreads,
                sampler.peakBoxes, answered);
        }
        CloseHandle(print);
        resignals += submitter.resignals();

        const std::wstring name = L"Flood of " + std::to_wstring(options.flood) + L" empty signals";
        Row(name + L": agent threads, peak during the flood / processing threads started (count)",
            std::to_wstring(peakThreads) + L" / " + std::to_wstring(threadsStarted), L"-",
            L"worst of " + std::to_wstring(options.floodRounds) + L" rounds" +
                (unanswered ? L"; " + std::to_wstring(unanswered) + L" signals not taken in 10 s"
                            : L""),
            L"fewer than 16 threads");
        Row(name + L": open boxes, peak during the flood / after the real job (count)",
            std::to_wstring(peakBoxes) + L" / " + std::to_wstring(boxesAfter), L"-",
            L"worst of " + std::to_wstring(options.floodRounds) + L" rounds", L"at most 1");
        const double floodMedian = Percentile(flooded, 0.5);
        const double quietMedian = Percentile(quiet, 0.5);
        const double floodMax = Percentile(flooded, 1.0);
        const double quietMax = Percentile(quiet, 1.0);
        Row(name + L": latency of the real job right after it, median / max (ms)",
            Fixed(floodMedian, 1) + L" / " + Fixed(floodMax, 1),
            Fixed(quietMedian, 1) + L" / " + Fixed(quietMax, 1) + L" (same job, no flood)",
            Fixed(floodMedian / quietMedian, 3) + L" / " + Fixed(floodMax / quietMax, 3) +
                (lost ? L" (" + std::to_wstring(lost) + L" jobs lost)" : L""),
            L"about 1");
    }

    // Waits until the agent's thread count has stayed the same for a second.
    void Quiet(const Agent& agent) {
        int last = -1;
        int steady = 0;
        const ULONGLONG deadline = GetTickCount64() + 15000;
        while (steady < 5 && GetTickCount64() < deadline) {
            const auto figures = ReadLinuxFigures(agent.linuxPid());
            const int threads = figures ? figures->threads : -1;
            steady = threads == last ? steady + 1 : 0;
            last = threads;
            Sleep(200);
        }
    }

    struct Reading {
        std::optional<long> handles;
        std::optional<LinuxFigures> linux;
    };
    // Runs jobs in waves until `total` have been submitted since the start;
    // the last one alone, on a quiet agent, so that the agent has closed the
    // handles of every thread but that one when the reading is taken.
    bool RunJobsUpTo(Submitter& submitter, int& done, int total) {
        while (done < total - 1) {
            const int count = std::min(options.wave, total - 1 - done);
            const auto paths = NewJobs(count);
            if (!SubmitAll(submitter, paths)) return false;
            const Delivery d = WaitDelivered(paths, L"copydata");
            done += count;
            if (d.delivered != count) return false;
        }
        return true;
    }
    Reading ReadAfter(Agent& agent, Submitter& submitter, int& done, int total) {
        Reading reading;
        if (!RunJobsUpTo(submitter, done, total)) return reading;
        Quiet(agent);
        const auto last = NewJobs(1);
        if (!SubmitAll(submitter, last)) return reading;
        WaitDelivered(last, L"copydata");
        ++done;
        Quiet(agent);
        reading.handles = CountHandles(agent.pid());
        reading.linux = ReadLinuxFigures(agent.linuxPid());
        return reading;
    }

    void GrowthAndIdle(Agent& agent) {
        if (!ConfigureClient(in, Mode::CopyData)) return;
        Submitter submitter(in);
        int done = 0;
        const Reading few = ReadAfter(agent, submitter, done, options.growthFirst);
        Progress(L"growth: %d jobs done", done);
        const Reading many = ReadAfter(agent, submitter, done, options.growthTotal);
        Progress(L"growth: %d jobs done", done);
        resignals += submitter.resignals();

        const double leak = WaitForInputIdleLeak(in, 20);
        auto text = [](const auto& value) {
            return value ? std::to_wstring(*value) : std::wstring(L"n/a");
        };
        const std::wstring first = std::to_wstring(options.growthFirst);
        const std::wstring second = std::to_wstring(options.growthTotal);
        std::wstring handleDiff = L"n/a";
        if (few.handles && many.handles) {
            const long diff = *many.handles - *few.handles;
            // One WaitForInputIdle per job (the progress indicator's).
            const double share = leak * (options.growthTotal - options.growthFirst);
            handleDiff = std::to_wstring(diff) + L"; less Wine's " + Fixed(leak, 2) +
                         L" per WaitForInputIdle call: " + Fixed(diff - share, 0);
        }
        Row(L"Handles after " + first + L" / " + second + L" jobs (count)",
            text(few.handles) + L" / " + text(many.handles), L"-", handleDiff,
            L"no higher, beyond a few");
        if (few.linux && many.linux) {
            Row(L"Private memory after " + first + L" / " + second + L" jobs (KiB)",
                std::to_wstring(few.linux->privateKb) + L" / " +
                    std::to_wstring(many.linux->privateKb),
                L"-", std::to_wstring(many.linux->privateKb - few.linux->privateKb),
                L"no higher, beyond a few pages");
            Row(L"Threads after " + first + L" / " + second + L" jobs (count)",
                std::to_wstring(few.linux->threads) + L" / " + std::to_wstring(many.linux->threads),
                L"-", std::to_wstring(many.linux->threads - few.linux->threads), L"no higher");
        } else {
            Row(L"Private memory", L"n/a (no /proc entry found)", L"-", L"-", L"-");
        }

        // Idle: nothing to do but wait.
        Quiet(agent);
        const auto timesBefore = ProcessTimes(agent.process());
        const auto linuxBefore = ReadLinuxFigures(agent.linuxPid());
        Sleep(static_cast<DWORD>(options.idleSeconds * 1000));
        const auto timesAfter = ProcessTimes(agent.process());
        const auto linuxAfter = ReadLinuxFigures(agent.linuxPid());
        std::wstring times = L"n/a";
        if (timesBefore && timesAfter) times = std::to_wstring(*timesAfter - *timesBefore);
        std::wstring ticks = L"n/a";
        std::wstring wakeUps = L"n/a";
        if (linuxBefore && linuxAfter) {
            ticks = std::to_wstring(linuxAfter->cpuTicks - linuxBefore->cpuTicks);
            wakeUps = std::to_wstring(linuxAfter->contextSwitches - linuxBefore->contextSwitches);
        }
        Progress(L"idle: GetProcessTimes +%ls, ticks +%ls, switches +%ls", times.c_str(),
                 ticks.c_str(), wakeUps.c_str());
        const std::wstring span = Fixed(options.idleSeconds, 0) + L" s";
        Row(L"Idle " + span + L": processor time, GetProcessTimes (100 ns units)", times, L"-",
            L"-", L"0");
        Row(L"Idle " + span + L": processor time, /proc (clock ticks)", ticks, L"-", L"-", L"0");
        Row(L"Idle " + span + L": context switches, /proc (count)", wakeUps, L"-", L"-", L"0");
    }

    void Log() {
        for (int threads : {1, 8}) {
            const LogFigures f = MeasureLog(in.dir, threads, options.logSeconds, options.logRounds);
            Progress(
                L"log, %d thread(s): WriteLog %.0f/s (%.0f/s without the named mutex), "
                L"WriteFile %.0f/s (%lld lines, %lld found)",
                threads, f.writeLogPerSecond, f.withoutMutexPerSecond, f.plainPerSecond,
                f.linesWritten, f.linesFound);
            const std::wstring name = L"Log, " + std::to_wstring(threads) +
                                      (threads == 1 ? L" thread" : L" threads") +
                                      L", write-through: lines/s";
            Row(name,
                Fixed(f.writeLogPerSecond, 0) + L" (" + std::to_wstring(f.linesFound) + L" of " +
                    std::to_wstring(f.linesWritten) + L" lines in the file)",
                Fixed(f.plainPerSecond, 0), Fixed(f.writeLogPerSecond / f.plainPerSecond, 3), L"-");
            Row(name + L", without the lock between agents", Fixed(f.withoutMutexPerSecond, 0),
                Fixed(f.plainPerSecond, 0), Fixed(f.withoutMutexPerSecond / f.plainPerSecond, 3),
                L"-");
            Row(name + L", that lock held elsewhere", Fixed(f.heldElsewherePerSecond, 0),
                Fixed(f.plainPerSecond, 0), Fixed(f.heldElsewherePerSecond / f.plainPerSecond, 3),
                L"-");
        }
    }

    void LogMove() {
        constexpr int kWriters = 4;
        const LogMoveFigures f = MeasureLogMove(self, in.dir, kWriters, options.logSeconds,
                                                options.logMoveKiB, options.logRounds);
        Progress(
            L"log move, %d writers: %.0f/s without a limit, %.0f/s with %lu KiB (about %lld "
            L"moves); %lld lines, %lld lost, %lld cut, %lld doubled",
            kWriters, f.unboundedPerSecond, f.boundedPerSecond, options.logMoveKiB, f.moves,
            f.written, f.lost, f.cut, f.doubled);
        const std::wstring name = L"Log, " + std::to_wstring(kWriters) + L" processes";
        Row(name + L": lines/s with LogMaxSize " + std::to_wstring(options.logMoveKiB) +
                L" KiB (about " + std::to_wstring(f.moves) + L" moves) / without a limit",
            Fixed(f.boundedPerSecond, 0), Fixed(f.unboundedPerSecond, 0),
            Fixed(f.boundedPerSecond / f.unboundedPerSecond, 3), L"-");
        Row(name + L" across moves: lines lost / cut / doubled (of " + std::to_wstring(f.written) +
                L")",
            std::to_wstring(f.lost) + L" / " + std::to_wstring(f.cut) + L" / " +
                std::to_wstring(f.doubled),
            L"-", L"-", L"0 / 0 / 0");
    }

    bool StartAgent(Agent& agent, bool log, bool boxes = false) {
        if (!ConfigureAgent(in, log, boxes)) return false;
        if (!agent.Start(in)) {
            Progress(L"the agent did not start");
            return false;
        }
        if (agent.linuxPid() == 0) Progress(L"no /proc entry found for the agent");
        return true;
    }

    int Run() {
        ClearRegistry();
        if (!reports.Start()) Progress(L"reports will not be counted");
        if (!copyClient.Start(in)) {
            Progress(L"the copy-data client did not start");
            return 1;
        }

        if (options.Runs(L"log")) {
            Progress(L"log throughput");
            Log();
        }
        if (options.Runs(L"logmove")) {
            Progress(L"log moves, four writers");
            LogMove();
        }

        for (bool log : {false, true}) {
            const bool latency = options.Runs(L"latency");
            const bool burst = log && options.Runs(L"burst");
            if (!latency && !burst) continue;
            Agent agent;
            if (!StartAgent(agent, log)) return 1;
            if (latency) {
                Progress(L"latency, log %ls", log ? L"on" : L"off");
                Latency(Mode::CommandLine,
                        log ? L"command line, log on" : L"command line, log off");
                Latency(Mode::CopyData, log ? L"copy-data, log on" : L"copy-data, log off");
            }
            if (burst) {
                Progress(L"burst of %d", options.burst);
                Burst();
            }
            agent.Stop();
        }

        if (options.Runs(L"latency")) {
            // Another owner keeps the log's named mutex for the agent's whole run.
            HANDLE held = HoldLogMutex();
            Agent agent;
            if (held == nullptr) {
                Progress(L"the log mutex could not be held");
            } else if (StartAgent(agent, true)) {
                Progress(L"latency, log on, its mutex held elsewhere");
                Latency(Mode::CommandLine, L"command line, log on, log mutex held elsewhere");
                agent.Stop();
            }
            if (held != nullptr) ReleaseLogMutex(held);
        }

        if (options.Runs(L"clipboard")) {
            Progress(L"clipboard retry");
            ClipboardRetry();
        }

        if (options.Runs(L"flood")) {
            Agent agent;
            if (!StartAgent(agent, true, true)) return 1;
            Progress(L"flood of %d empty signals, %d rounds", options.flood, options.floodRounds);
            Flood(agent);
            agent.Stop();
            lmvntest::AnswerBoxes(L"Lumvane agent");
        }

        if (options.Runs(L"batch")) {
            Agent agent;
            if (!StartAgent(agent, true)) return 1;
            Progress(L"batch of %d", options.batch);
            Batch(agent);
            agent.Stop();
        }

        if (options.Runs(L"growth")) {
            Agent agent;
            if (!StartAgent(agent, true)) return 1;
            Progress(L"growth to %d jobs, then idle", options.growthTotal);
            GrowthAndIdle(agent);
            agent.Stop();
        }

        reports.Stop();
        Row(L"Reports by the agent during the run (count)",
            std::to_wstring(reports.count()) +
                (reports.codes().empty() ? L"" : L" (codes " + reports.codes() + L")"),
            L"-", L"-", L"0");
        Row(L"Wake-ups the agent missed: path still waiting 10 s after SetEvent (count)",
            std::to_wstring(resignals), L"-", L"-", L"0");
        copyClient.Stop();
        ClearRegistry();
        return 0;
    }
};

}  // namespace
}  // namespace bench

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wcscmp(argv[1], L"--log-writer") == 0) {
        // The rest of the command line, after the role's name.
        const wchar_t* rest = std::wcsstr(GetCommandLineW(), L"--log-writer");
        return bench::RunLogWriter(rest + std::wcslen(L"--log-writer"));
    }
    bench::Options options;
    if (!bench::ParseOptions(argc, argv, options)) {
        std::fwprintf(stderr, L"%ls", bench::kUsage);
        return 2;
    }
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring benchDir = self;
    benchDir.resize(benchDir.find_last_of(L'\\'));
    if (options.agent.empty()) {
        options.agent = benchDir.substr(0, benchDir.find_last_of(L'\\')) + L"\\lmvnagent.exe";
    }
    const auto installation = bench::Install(options.agent, benchDir);
    if (!installation) {
        std::fwprintf(stderr, L"lmvnbench: cannot lay out the scratch folder\n");
        return 1;
    }
    bench::Bench run;
    run.options = options;
    run.self = self;
    run.in = *installation;
    run.journal = bench::Journal(installation->journal);
    const int status = run.Run();

    std::wprintf(L"| Figure | Agent | Baseline | Ratio or count | Goal |\n");
    std::wprintf(L"|---|---|---|---|---|\n");
    for (const auto& row : run.rows) std::wprintf(L"%ls\n", row.c_str());
    std::wprintf(
        L"\nRun (%ls): %d latency samples per row and side, burst of %d, batch of %d and %d, "
        L"flood of %d signals x %d rounds, growth readings after %d and %d jobs (waves of %d), "
        L"idle %.0f s, log %.1f s x %d rounds (log moves at %lu KiB).\n",
        options.phases.c_str(), options.reps, options.burst, options.batch, options.clipboardBatch,
        options.flood, options.floodRounds, options.growthFirst, options.growthTotal, options.wave,
        options.idleSeconds, options.logSeconds, options.logRounds, options.logMoveKiB);
    std::fflush(stdout);
    bench::Uninstall(*installation);
    return status;
}
