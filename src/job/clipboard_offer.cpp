#include "job/clipboard_offer.h"

#include <algorithm>

namespace lmvn {
namespace {

// A message-only window: it receives no broadcasts and is never shown.
constexpr wchar_t kOwnerClass[] = L"Lumvane clipboard owner";

// While waiting, the target window is looked at this often: a client that
// has gone will never read.
constexpr DWORD kTargetCheckMs = 250;

// After the path was placed, the reader still holds the clipboard open: for
// the moment it takes to copy the block, or longer (a handler that shows a
// dialog before it closes the clipboard). The next job would find it open, so
// the turn ends once the clipboard can be opened again, within what is left
// of the bound. Meanwhile the owner window keeps handling its messages: a
// reader that empties the clipboard waits for its WM_DESTROYCLIPBOARD.
constexpr DWORD kReaderClosePauseMs = 20;
constexpr ULONGLONG kReaderCloseGraceMs = 2000;

// A withdrawal, like a delivery, allows another program a moment's hold.
constexpr int kWithdrawOpenAttempts = 10;
constexpr DWORD kWithdrawOpenPauseMs = 20;

}  // namespace

ClipboardOffer::ClipboardOffer() {
    Win32Api& api = Win32();
    const HINSTANCE instance = api.GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &ClipboardOffer::WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kOwnerClass;
    // Registered by the first offer of the process; later ones find it there.
    api.RegisterClassExW(&windowClass);
    window_ = api.CreateWindowExW(0, kOwnerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  instance, this);
    if (window_ == nullptr) error_ = ::GetLastError();
}

ClipboardOffer::~ClipboardOffer() { Close(); }

LRESULT CALLBACK ClipboardOffer::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    Win32Api& api = Win32();
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        api.SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* offer = reinterpret_cast<ClipboardOffer*>(api.GetWindowLongPtrW(window, GWLP_USERDATA));
    if (offer != nullptr) {
        switch (message) {
            case WM_RENDERFORMAT:
            case WM_RENDERALLFORMATS:
            case WM_DESTROYCLIPBOARD:
                return offer->Handle(message, wParam, lParam);
            default:
                break;
        }
    }
    return api.DefWindowProcW(window, message, wParam, lParam);
}

LRESULT ClipboardOffer::Handle(UINT message, WPARAM wParam, LPARAM) {
    Win32Api& api = Win32();
    switch (message) {
        case WM_RENDERFORMAT:
            // A program reads the format: place the path now (the clipboard is
            // open by the reader; the owner does not open it).
            if (state_ != State::Offered || static_cast<UINT>(wParam) != format_) return 0;
            if (api.SetClipboardData(format_, block_.get()) != nullptr) {
                (void)block_.release();  // the clipboard owns the block now
                state_ = State::Read;
            } else {
                error_ = ::GetLastError();
                state_ = State::RenderFailed;
            }
            return 0;
        case WM_RENDERALLFORMATS:
            // The window goes while its offer is unread: that offer has been
            // given up (its wait is over), so nothing is placed and the format
            // goes with the window.
            return 0;
        case WM_DESTROYCLIPBOARD:
            // Somebody emptied the clipboard: the path can no longer be read.
            if (state_ == State::Offered) state_ = State::TakenOver;
            return 0;
        default:
            return 0;
    }
}

bool ClipboardOffer::Offer(UINT format, UniqueGlobal& block) {
    DWORD refused = ERROR_INVALID_PARAMETER;  // no format: its name did not register
    if (format != 0) {
        // The result says nothing when no data is given: the last error does.
        ::SetLastError(ERROR_SUCCESS);
        Win32().SetClipboardData(format, nullptr);
        refused = ::GetLastError();
    }
    if (refused != ERROR_SUCCESS) {
        error_ = refused;
        return false;
    }
    format_ = format;
    block_ = std::move(block);
    state_ = State::Offered;
    return true;
}

void ClipboardOffer::HandleWaitingMessages() {
    Win32Api& api = Win32();
    MSG message;
    while (api.PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        api.DispatchMessageW(&message);
    }
}

OfferOutcome ClipboardOffer::WaitForRead(HWND target, DWORD boundMs) {
    Win32Api& api = Win32();
    const ULONGLONG deadline = api.GetTickCount64() + boundMs;
    for (;;) {
        HandleWaitingMessages();  // a read, if one is asked for, happens here
        if (state_ != State::Offered) break;
        if (!api.IsWindow(target)) return OfferOutcome::WindowGone;
        const ULONGLONG now = api.GetTickCount64();
        if (now >= deadline) return OfferOutcome::Overdue;
        const DWORD pause = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kTargetCheckMs));
        api.MsgWaitForMultipleObjects(0, nullptr, FALSE, pause, QS_ALLINPUT);
    }
    switch (state_) {
        case State::Read:
            // A read just before the bound still leaves the reader a moment
            // to close the clipboard.
            AwaitReaderClose(std::max(deadline, api.GetTickCount64() + kReaderCloseGraceMs));
            return OfferOutcome::Read;
        case State::TakenOver:
            return OfferOutcome::TakenOver;
        default:
            return OfferOutcome::RenderFailed;
    }
}

void ClipboardOffer::AwaitReaderClose(ULONGLONG deadline) {
    Win32Api& api = Win32();
    for (;;) {
        HandleWaitingMessages();
        if (api.OpenClipboard(window_)) {
            api.CloseClipboard();
            return;
        }
        const ULONGLONG now = api.GetTickCount64();
        // Still open at the end of the bound: the path was read all the same.
        if (now >= deadline) return;
        const DWORD pause =
            static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kReaderClosePauseMs));
        api.MsgWaitForMultipleObjects(0, nullptr, FALSE, pause, QS_ALLINPUT);
    }
}

void ClipboardOffer::Withdraw() {
    // An offer whose rendering failed is still on the clipboard, unread: a
    // render request that came while nobody had the clipboard open (sent by
    // some program, not by the system) fails, and a real reader after it must
    // not find this job's format.
    if (state_ != State::Offered && state_ != State::RenderFailed) return;
    state_ = State::Withdrawn;  // from here on nothing is placed
    Win32Api& api = Win32();
    if (api.GetClipboardOwner() != window_) return;
    ClipboardScope clipboard;
    for (int attempt = 1; !clipboard.open(window_) && attempt < kWithdrawOpenAttempts; ++attempt) {
        api.Sleep(kWithdrawOpenPauseMs);
    }
    // Not opened: the format goes with the window, unrendered.
    if (clipboard.opened() && api.GetClipboardOwner() == window_) api.EmptyClipboard();
}

void ClipboardOffer::Close() {
    if (window_ == nullptr) return;
    Withdraw();
    // A reader that asked just too late waits for an answer: it gets none.
    HandleWaitingMessages();
    Win32().DestroyWindow(window_);
    window_ = nullptr;
    block_.reset();
}

}  // namespace lmvn
