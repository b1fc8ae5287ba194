#include "agent/agent_main.h"

#include "agent/events.h"
#include "common/settings.h"
#include "agent/workers.h"
#include "diag/event_log.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "job/claim_turns.h"
#include "job/handover.h"
#include "job/processing_thread.h"
#include "win/unique.h"

namespace lmvn {
namespace {

// One processing thread for one signal of a job event (`jobEvent`, which is
// reset first), or for a signal noted while a thread of the same kind was
// before its claim (`jobEvent` null: its turn event has reset itself).
void ServeSignal(WorkerThreadRegistry& workers, HANDLE jobEvent, DWORD argument,
                 const wchar_t* logLine) {
    ReapWorkers(workers, FALSE);
    // Reset before the thread starts, not after: the thread may take the job
    // over at once, and the producer then stores its next job and sets the
    // event again; a reset after the start would swallow that signal and
    // leave the next job waiting for a later one.
    if (jobEvent != nullptr) Win32().ResetEvent(jobEvent);
    const ClaimTurn turn = ReserveClaimTurn(argument);
    if (turn != ClaimTurn::Start) {
        // Served once the thread before its claim is done; said once per wait.
        if (turn == ClaimTurn::Noted && LogEnabled != 0) {
            WriteLog(
                L"Print job signal noted. It is served once the thread before it has taken "
                L"its job over.");
        }
        return;
    }
    if (LogEnabled != 0) WriteLog(logLine);
    HANDLE thread = Win32().CreateThread(nullptr, 0, &ProcessingThread,
                                         reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(argument)),
                                         0, nullptr);
    if (thread == nullptr) {
        const DWORD error = ::GetLastError();
        CancelClaimTurn(argument);
        ReportSystemError(reports::kCreateThreadFailed, error);
    } else if (!AddWorker(workers, thread)) {
        // Unrecorded threads would never be closed: let this one run to its
        // end on its own.
        Win32().CloseHandle(thread);
    }
}

constexpr wchar_t kPrintSignal[] = L"New print job received. Start processing thread.";
constexpr wchar_t kSharedSignal[] = L"Shared print job received. Start processing thread.";

// The objects the main loop waits on, and what each stands for.
struct WaitSet {
    HANDLE handles[5] = {};
    enum Meaning { kPrint, kShared, kKill, kPrintTurn, kSharedTurn } meaning[5] = {};
    DWORD count = 0;

    void Add(HANDLE handle, Meaning what) {
        if (handle == nullptr) return;
        handles[count] = handle;
        meaning[count] = what;
        ++count;
    }
};

}  // namespace

int WINAPI AgentMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t userName[kUserNameUnits] = {};
    ReadAgentSettings(userName);

    if (LogEnabled != 0 && !OpenLogFile()) return 0;

    AgentEvents events;
    if (!CreateAgentEvents(events, userName)) return 0;

    // A job stored before the agent ran is served as if its signal had come.
    wchar_t keyPath[kTextUnits] = {};
    FormatText(keyPath, kKeyPathFormat, kPrinterName);
    if (FindStoredJob(keyPath, userName)) Win32().SetEvent(events.print.get());

    WorkerThreadRegistry workers;
    CreateClaimTurnEvents();
    if (LogEnabled != 0) WriteLog(L"Waiting for events.");

    // The job events and the kill event first, in this order: a wait that
    // finds several set returns the first.
    WaitSet waits;
    waits.Add(events.print.get(), WaitSet::kPrint);
    waits.Add(events.shared.get(), WaitSet::kShared);
    waits.Add(events.kill.get(), WaitSet::kKill);
    waits.Add(ClaimTurnEvent(0), WaitSet::kPrintTurn);
    waits.Add(ClaimTurnEvent(1), WaitSet::kSharedTurn);
    for (;;) {
        const DWORD result =
            Win32().WaitForMultipleObjects(waits.count, waits.handles, FALSE, INFINITE);
        const DWORD index = result - WAIT_OBJECT_0;
        // The kill event, or a failed wait: a wait that fails once fails
        // again, so shut down rather than spin.
        if (index >= waits.count || waits.meaning[index] == WaitSet::kKill) break;
        switch (waits.meaning[index]) {
            case WaitSet::kPrint:
                ServeSignal(workers, events.print.get(), 0, kPrintSignal);
                break;
            case WaitSet::kShared:
                ServeSignal(workers, events.shared.get(), 1, kSharedSignal);
                break;
            case WaitSet::kPrintTurn:
                ServeSignal(workers, nullptr, 0, kPrintSignal);
                break;
            default:
                ServeSignal(workers, nullptr, 1, kSharedSignal);
                break;
        }
    }

    if (LogEnabled != 0) {
        WriteLog(L"Suicide.");
        WriteLog(L"Agent exits.");
        CloseLogFile();
    }
    // Threads that have ended are closed; threads still running end with the
    // process, at once and not waited for. Ending them one by one first is
    // not safe: a thread stopped from outside may hold the loader's, the
    // heap's or the window system's lock (a thread just started runs its DLL
    // notifications under the loader lock; a delivery may be in the middle of
    // a cross-process message), and the rest of the shutdown would then wait
    // for that lock forever.
    ReapWorkers(workers, FALSE);
    events.print.reset();
    events.shared.reset();
    events.kill.reset();
    CloseClaimTurnEvents();
    CloseEventLog();
    if (workers.count > 0) Win32().TerminateProcess(Win32().GetCurrentProcess(), 0);
    ClearWorkers(workers);
    return 0;
}

}  // namespace lmvn
