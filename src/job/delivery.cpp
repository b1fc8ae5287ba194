// Delivery of a job to the client application, in one of three transfer
// modes:
//
//   command line (mode 0 and every value but 1 and 2): the client is started
//       with the job description file path after its command line;
//   copy-data (mode 1): the ANSI path goes to the target window in a
//       WM_COPYDATA message;
//   clipboard (mode 2, clipboard_delivery.cpp): the ANSI path goes on the
//       clipboard in a registered format, and the configured message goes to
//       the target window.
//
// What is handed over is always the path; the client reads the file itself.
#include "job/delivery.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "job/activation.h"
#include "job/ansi_path.h"
#include "job/client_window.h"
#include "job/clipboard_delivery.h"
#include "job/delivery_steps.h"
#include "job/job_files.h"
#include "job/stages.h"

namespace lmvn {
namespace {

constexpr DWORD kCommandLineIdleWaitMs = 10000;  // command-line mode, before activation

}  // namespace

DWORD DeliverJob(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client) {
    switch (settings.transferMode) {
        case 1:
            return DeliverByCopyData(jobPath, settings, client);
        case 2:
            return DeliverByClipboard(jobPath, settings, client);
        default:
            return DeliverByCommandLine(jobPath, settings, client);
    }
}

DWORD DeliverByCopyData(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client) {
    Win32Api& api = Win32();
    if (!HasTargetIdentification(settings)) return RefuseUnidentifiedTarget(jobPath);

    UniqueHandle progress;
    DWORD exitCode = kExitStopped;
    if (!RunStages(jobPath, progress, client, exitCode)) return exitCode;

    ClientSearch search;
    const HWND window = FindOrStartClientWindow(settings, client, true, &search);
    // The progress indicator stays up while the client starts.
    if (progress) CloseProgressIndicator(std::move(progress));

    char payload[kAnsiPathBytes];
    const bool converted = ToAnsiPath(jobPath, payload);
    COPYDATASTRUCT data{};
    // "Message ID" as a signed 32-bit number, widened to pointer size.
    data.dwData =
        static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(settings.messageId)));
    data.cbData = kAnsiPathBytes;
    data.lpData = payload;

    if (LogEnabled != 0) WriteLog(L"Sending WM_COPYDATA.");
    if (converted && api.IsWindow(window)) {
        // Returns once the client has handled the message.
        api.SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
        ActivateWindow(window);
    } else {
        // No window, or a path with no ANSI form that fits: nothing is sent,
        // and the files stay for another attempt.
        wchar_t cause[kLongTextUnits] = {};
        if (search.outcome != ClientSearch::Outcome::Found) {
            DescribeClientSearch(cause, settings, search);
        } else if (!converted) {
            CopyText(cause, L"the path has no form in the ANSI code page");
        } else {
            CopyText(cause, L"the client's window went away before the job was handed over");
        }
        LogDeliveryFailure(jobPath, L"%s", cause);
        ReportError(reports::kTargetInaccessible);
    }
    return CommonEnd(client);
}

DWORD DeliverByCommandLine(const wchar_t* jobPath, ClientSettings& settings,
                           UniqueProcess& client) {
    Win32Api& api = Win32();
    UniqueHandle progress;
    DWORD exitCode = kExitStopped;
    if (!RunStages(jobPath, progress, client, exitCode)) return exitCode;
    if (progress) CloseProgressIndicator(std::move(progress));

    // Client command line, one blank, the path unquoted. Room for the longest
    // of both, so the path always arrives whole.
    wchar_t commandLine[2 * kTextUnits] = {};
    CopyText(commandLine, settings.commandLine);
    AppendText(commandLine, L" ");
    AppendText(commandLine, jobPath);

    if (LogEnabled != 0) WriteLog(L"Run client application.");
    if (!StartClient(commandLine, client)) {
        LogDeliveryFailure(jobPath, L"the start of the client failed with error %u",
                           ::GetLastError());
        ReportError(reports::kDispatcherFailed);
        DeleteJobFile(jobPath);  // the EMF files stay
        return CommonEnd(client);
    }
    if (api.WaitForInputIdle(client.process.get(), kCommandLineIdleWaitMs) == 0) {
        api.EnumWindows(ActivateProcessWindow, static_cast<LPARAM>(client.processId));
    }
    return CommonEnd(client);
}

}  // namespace lmvn
