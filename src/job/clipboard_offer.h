// Clipboard mode's hand-over by delayed rendering. A hidden window of the
// delivering thread becomes the clipboard's owner and offers the registered
// format without data; when a program asks for that format, the system sends
// the owner WM_RENDERFORMAT, and only then is the ANSI path placed. So the
// agent knows the moment the client reads the path, and no later job takes
// the clipboard before that.
#pragma once

#include "win/unique.h"

namespace lmvn {

// How long a client may take, from the moment its message was posted, to
// read the path. Long enough for a client that is busy with the previous job
// (opening a large document, a dialog about it) before it handles its next
// message; a window that goes away ends the wait at once. Only a client that
// is hung, or never reads, holds the clipboard deliveries this long.
inline constexpr DWORD kClipboardReadMs = 60000;

// How an offer ended.
enum class OfferOutcome {
    Read,          // a program asked for the format and the path was placed
    Overdue,       // nobody asked within the bound
    WindowGone,    // the target window went away before anybody asked
    TakenOver,     // another program emptied the clipboard before anybody asked
    RenderFailed,  // placing the block failed when it was asked for (error())
};

class ClipboardOffer {
  public:
    // Creates the owner window on the calling thread; check valid(). The
    // thread keeps the window and handles its messages while it waits.
    ClipboardOffer();
    // Close().
    ~ClipboardOffer();
    ClipboardOffer(const ClipboardOffer&) = delete;
    ClipboardOffer& operator=(const ClipboardOffer&) = delete;

    bool valid() const { return window_ != nullptr; }
    HWND window() const { return window_; }
    // The last error of a failed step: the window's creation, the offer, or
    // the rendering.
    DWORD error() const { return error_; }

    // With the clipboard opened by window() and emptied: offers `format` with
    // no data and takes `block` (the 260-byte ANSI path) for the moment it is
    // asked for. False (error() set) when the system refused the offer; the
    // block then stays with the caller.
    bool Offer(UINT format, UniqueGlobal& block);

    // Handles this thread's messages until somebody asked for the format (and
    // then until the reader has closed the clipboard again), the
    // offer was taken over or failed, `target` is no window any more, or
    // `boundMs` have passed (the bound covers the reader's close too).
    OfferOutcome WaitForRead(HWND target, DWORD boundMs);

    // Withdraws an offer nobody read, also one whose rendering failed (the
    // clipboard is emptied while it still holds it; nothing is rendered
    // afterwards), and destroys the window.
    void Close();

  private:
    enum class State { None, Offered, Read, TakenOver, RenderFailed, Withdrawn };

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void HandleWaitingMessages();
    void AwaitReaderClose(ULONGLONG deadline);
    void Withdraw();

    HWND window_ = nullptr;
    UINT format_ = 0;
    UniqueGlobal block_;
    State state_ = State::None;
    DWORD error_ = 0;
};

}  // namespace lmvn
