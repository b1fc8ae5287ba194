// Clipboard mode: one such delivery at a time, each until the client has
// read its path (or could not).
#include "job/clipboard_delivery.h"

#include "diag/format.h"
#include "diag/report.h"
#include "job/activation.h"
#include "job/ansi_path.h"
#include "job/client_window.h"
#include "job/clipboard_offer.h"
#include "job/delivery_steps.h"
#include "job/job_files.h"
#include "job/stages.h"

#include <cstring>
#include <mutex>

namespace lmvn {
namespace {

// Clipboard mode posts a message in the range 0x8000 to 0xBFFF only.
constexpr LONG kFirstClipboardMessage = 0x8000;  // WM_APP
constexpr LONG kLastClipboardMessage = 0xBFFF;

// The clipboard block: kAnsiPathBytes movable bytes holding the ANSI path.
// None when it cannot be allocated or locked; a block that was allocated is
// then released here.
UniqueGlobal MakeClipboardBlock(const char (&ansi)[kAnsiPathBytes]) {
    Win32Api& api = Win32();
    UniqueGlobal block(api.GlobalAlloc(GMEM_MOVEABLE, kAnsiPathBytes));
    if (!block) return {};
    void* bytes = api.GlobalLock(block.get());
    if (bytes == nullptr) return {};
    std::memcpy(bytes, ansi, kAnsiPathBytes);
    api.GlobalUnlock(block.get());
    return block;
}

// The clipboard holds one job's path at a time. So a job keeps the clipboard
// to itself, within the agent, from opening it until its client has read the
// path (or the read is overdue): the next job's path cannot take the place of
// one not yet read.
std::mutex clipboardDeliveryLock;

// Another program may hold the clipboard for a moment (a clipboard viewer
// reading a change, a client reading its path): a few more tries before
// giving up.
constexpr int kOpenClipboardAttempts = 10;
constexpr DWORD kOpenClipboardPauseMs = 20;

bool OpenClipboardForDelivery(ClipboardScope& clipboard, HWND owner) {
    for (int attempt = 1; !clipboard.open(owner) && attempt < kOpenClipboardAttempts; ++attempt) {
        Win32().Sleep(kOpenClipboardPauseMs);
    }
    return clipboard.opened();
}

// A delivery that failed: its report, whether the job's files go, and the
// cause for the log line before the report.
struct Failure {
    const ReportKind* report = nullptr;
    bool deleteFiles = false;
    wchar_t cause[kLongTextUnits] = {};
};

// The cause of a read that did not happen.
void DescribeOutcome(Failure& failure, OfferOutcome outcome, DWORD error) {
    switch (outcome) {
        case OfferOutcome::Read:
            return;
        case OfferOutcome::Overdue:
            FormatText(failure.cause, L"the client did not read the clipboard within %u s",
                       kClipboardReadMs / 1000);
            break;
        case OfferOutcome::WindowGone:
            FormatText(failure.cause,
                       L"the client's window went away before it read the clipboard");
            break;
        case OfferOutcome::TakenOver:
            FormatText(failure.cause,
                       L"another program emptied the clipboard before the client read it");
            break;
        case OfferOutcome::RenderFailed:
            FormatText(failure.cause,
                       L"the path could not be placed when the client read it (error %u)", error);
            failure.report = &reports::kSetClipboardFailed;
            return;
    }
    failure.report = &reports::kTargetInaccessible;
}

// Logs and reports a failure (the clipboard is closed by now, and the next
// job may take it), then deletes the job's files if the failure says so.
DWORD EndFailed(const wchar_t* jobPath, const Failure& failure, UniqueProcess& client) {
    LogDeliveryFailure(jobPath, L"%s", failure.cause);
    ReportError(*failure.report);
    if (failure.deleteFiles) DeleteJobFiles(jobPath);
    return CommonEnd(client);
}

}  // namespace

UINT ClipboardMessageFor(DWORD messageId) {
    const LONG id = static_cast<LONG>(messageId);
    if (id < kFirstClipboardMessage || id > kLastClipboardMessage) return kFirstClipboardMessage;
    return static_cast<UINT>(id);
}

DWORD DeliverByClipboard(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client) {
    Win32Api& api = Win32();
    if (!HasTargetIdentification(settings)) return RefuseUnidentifiedTarget(jobPath);
    const UINT message = ClipboardMessageFor(settings.messageId);

    UniqueHandle progress;
    DWORD exitCode = kExitStopped;
    if (!RunStages(jobPath, progress, client, exitCode)) return exitCode;

    ClientSearch search;
    const HWND window = FindOrStartClientWindow(settings, client, false, &search);
    if (progress) CloseProgressIndicator(std::move(progress));

    // A failed registration gives 0, which the offer refuses below.
    const UINT format = api.RegisterClipboardFormatW(settings.clipboardFormat);
    char ansi[kAnsiPathBytes];
    const bool spelled = ToAnsiPath(jobPath, ansi);
    UniqueGlobal block = spelled ? MakeClipboardBlock(ansi) : UniqueGlobal{};
    const DWORD blockError = block ? ERROR_SUCCESS : ::GetLastError();

    std::unique_lock<std::mutex> turn(clipboardDeliveryLock);
    ClipboardOffer offer;
    Failure failure;
    if (!offer.valid()) {
        // Nothing touched: the job can be printed again.
        failure.report = &reports::kSetClipboardFailed;
        FormatText(failure.cause, L"the agent could not create its clipboard window (error %u)",
                   offer.error());
    } else {
        ClipboardScope clipboard;
        if (!OpenClipboardForDelivery(clipboard, offer.window())) {
            // Another program holds it: nothing touched, nothing deleted.
            failure.report = &reports::kOpenClipboardFailed;
            FormatText(failure.cause, L"another program holds the clipboard open");
        } else {
            // Emptied before anything is tested: a failed delivery leaves it empty.
            api.EmptyClipboard();
            if (!api.IsWindow(window)) {
                failure = {&reports::kTargetInaccessible, true, {}};
                if (search.outcome == ClientSearch::Outcome::Found) {
                    FormatText(failure.cause,
                               L"the client's window went away before the job "
                               L"was handed over");
                } else {
                    DescribeClientSearch(failure.cause, settings, search);
                }
            } else if (!spelled) {
                // The job itself is sound; only its path cannot travel this way.
                failure = {&reports::kSetClipboardFailed, false, {}};
                FormatText(failure.cause, L"the path has no form in the ANSI code page");
            } else if (!block) {
                failure = {&reports::kSetClipboardFailed, true, {}};
                FormatText(failure.cause, L"no memory for the clipboard block (error %u)",
                           blockError);
            } else if (!offer.Offer(format, block)) {
                failure = {&reports::kSetClipboardFailed, true, {}};
                FormatText(failure.cause,
                           L"the clipboard format \"%s\" could not be set (error %u)",
                           settings.clipboardFormat, offer.error());
            }
        }
    }  // the clipboard is closed here, before any report
    if (failure.report != nullptr) {
        offer.Close();
        turn.unlock();
        block.reset();  // never offered: ours to release
        return EndFailed(jobPath, failure, client);
    }

    ActivateWindow(window);
    if (!api.PostMessageW(window, message, 0, 0)) {
        const DWORD error = ::GetLastError();
        offer.Close();
        turn.unlock();
        failure.report = &reports::kTargetInaccessible;
        FormatText(failure.cause,
                   L"the message could not be posted to the client's window "
                   L"(error %u)",
                   error);
        return EndFailed(jobPath, failure, client);
    }
    const OfferOutcome outcome = offer.WaitForRead(window, kClipboardReadMs);
    const DWORD error = offer.error();
    offer.Close();  // withdraws the path if nobody read it
    turn.unlock();
    if (outcome == OfferOutcome::Read) return CommonEnd(client);
    // Not read: the job's files stay for another attempt.
    DescribeOutcome(failure, outcome, error);
    return EndFailed(jobPath, failure, client);
}

}  // namespace lmvn
