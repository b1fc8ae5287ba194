// Clipboard mode: one such delivery at a time, each until the client has
// answered its message.
#include "job/clipboard_delivery.h"

#include "diag/report.h"
#include "job/activation.h"
#include "job/ansi_path.h"
#include "job/client_window.h"
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
// None when it cannot be allocated, converted into or locked; a block that
// was allocated is then released here.
UniqueGlobal MakeClipboardBlock(const wchar_t* jobPath) {
    Win32Api& api = Win32();
    UniqueGlobal block(api.GlobalAlloc(GMEM_MOVEABLE, kAnsiPathBytes));
    if (!block) return {};
    char ansi[kAnsiPathBytes];
    if (!ToAnsiPath(jobPath, ansi)) return {};
    void* bytes = api.GlobalLock(block.get());
    if (bytes == nullptr) return {};
    std::memcpy(bytes, ansi, kAnsiPathBytes);
    api.GlobalUnlock(block.get());
    return block;
}

// The clipboard holds one job's path at a time, and a client reads it when it
// handles its message. So a job keeps the clipboard to itself, within the
// agent, from opening it until the client has answered the message (or the
// answer is overdue); the next job's path cannot overwrite one not yet read.
std::mutex clipboardDeliveryLock;

// How long the client may take to answer the clipboard message.
constexpr UINT kClipboardAnswerMs = 10000;

// Another program may hold the clipboard for a moment (a clipboard viewer
// reading a change, a client reading its path): a few more tries before
// giving up.
constexpr int kOpenClipboardAttempts = 10;
constexpr DWORD kOpenClipboardPauseMs = 20;

bool OpenClipboardForDelivery(ClipboardScope& clipboard) {
    for (int attempt = 1; !clipboard.open(nullptr) && attempt < kOpenClipboardAttempts; ++attempt) {
        Win32().Sleep(kOpenClipboardPauseMs);
    }
    return clipboard.opened();
}

// Sends the clipboard message; true once the client has handled it, false
// when it did not within kClipboardAnswerMs (or seems hung, or is gone).
bool SendClipboardMessage(HWND window, UINT message) {
    DWORD_PTR answer = 0;
    return Win32().SendMessageTimeoutW(window, message, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                                       kClipboardAnswerMs, &answer) != 0;
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

    const HWND window = FindOrStartClientWindow(settings, client, false);
    if (progress) CloseProgressIndicator(std::move(progress));

    // A failed registration gives 0, which SetClipboardData refuses below.
    const UINT format = api.RegisterClipboardFormatW(settings.clipboardFormat);

    std::unique_lock<std::mutex> turn(clipboardDeliveryLock);
    ClipboardScope clipboard;
    if (!OpenClipboardForDelivery(clipboard)) {
        // Another program holds it: nothing touched, nothing deleted.
        turn.unlock();
        ReportError(reports::kOpenClipboardFailed);
        return CommonEnd(client);
    }
    api.EmptyClipboard();
    UniqueGlobal block = MakeClipboardBlock(jobPath);

    const ReportKind* failure = nullptr;
    if (!api.IsWindow(window)) {
        failure = &reports::kTargetInaccessible;
    } else if (!block || api.SetClipboardData(format, block.get()) == nullptr) {
        // Also a path with no ANSI form, or a block that could not be made.
        failure = &reports::kSetClipboardFailed;
    }
    if (failure != nullptr) {
        // The clipboard stays open (and empty) while the report is shown; the
        // next job need not wait for the box to be answered.
        turn.unlock();
        ReportError(*failure);
        clipboard.close();
        block.reset();  // never handed to the clipboard: ours to release
        DeleteJobFiles(jobPath);
        return CommonEnd(client);
    }

    (void)block.release();  // the clipboard owns the block now
    clipboard.close();
    ActivateWindow(window);
    const bool answered = SendClipboardMessage(window, message);
    turn.unlock();
    // A client that did not answer in time may still read the clipboard later,
    // when it may hold a later job's path: this job counts as not delivered,
    // and its files stay.
    if (!answered) ReportError(reports::kTargetInaccessible);
    return CommonEnd(client);
}

}  // namespace lmvn
