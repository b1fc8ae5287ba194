#include "agent/agent_main.h"

#include "agent/events.h"
#include "common/settings.h"
#include "agent/workers.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "job/handover.h"
#include "job/processing_thread.h"
#include "win/unique.h"

namespace lmvn {
namespace {

enum WaitIndex : DWORD { kPrintEvent = 0, kSharedEvent = 1, kKillEvent = 2 };

// One processing thread for one signal of a job event.
void StartProcessingThread(WorkerThreadRegistry& workers, HANDLE jobEvent, DWORD argument,
                           const wchar_t* logLine) {
    if (LogEnabled != 0) WriteLog(logLine);
    ReapWorkers(workers, FALSE);
    // Reset before the thread starts, not after: the thread may take the job
    // over at once, and the producer then stores its next job and sets the
    // event again; a reset after the start would swallow that signal and
    // leave the next job waiting for a later one.
    Win32().ResetEvent(jobEvent);
    HANDLE thread = Win32().CreateThread(nullptr, 0, &ProcessingThread,
                                         reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(argument)),
                                         0, nullptr);
    if (thread == nullptr) {
        ReportSystemError(reports::kCreateThreadFailed, 0);
    } else if (!AddWorker(workers, thread)) {
        // Unrecorded threads would never be closed: let this one run to its
        // end on its own.
        Win32().CloseHandle(thread);
    }
}

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
    if (LogEnabled != 0) WriteLog(L"Waiting for events.");

    HANDLE waitSet[3] = {events.print.get(), events.shared.get(), events.kill.get()};
    const DWORD waitCount = events.kill ? 3 : 2;
    for (;;) {
        const DWORD result = Win32().WaitForMultipleObjects(waitCount, waitSet, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0 + kPrintEvent) {
            StartProcessingThread(workers, events.print.get(), 0,
                                  L"New print job received. Start processing thread.");
        } else if (result == WAIT_OBJECT_0 + kSharedEvent) {
            StartProcessingThread(workers, events.shared.get(), 1,
                                  L"Shared print job received. Start processing thread.");
        } else {
            // The kill event, or a failed wait: a wait that fails once fails
            // again, so shut down rather than spin.
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
    if (workers.count > 0) Win32().TerminateProcess(Win32().GetCurrentProcess(), 0);
    ClearWorkers(workers);
    return 0;
}

}  // namespace lmvn
