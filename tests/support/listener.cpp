#include "listener.h"

namespace lmvntest {

namespace {
constexpr wchar_t kClassName[] = L"LumvaneTestNotifyListener";
}

NotifyListener::NotifyListener() {
    message_ = RegisterWindowMessageW(L"Lumvane_notify_message");
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this, ready] { Run(ready); });
    WaitForSingleObject(ready, 10000);
    CloseHandle(ready);
}

NotifyListener::~NotifyListener() {
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.join();
}

LRESULT CALLBACK NotifyListener::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    auto* self = reinterpret_cast<NotifyListener*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && message == self->message_) {
        std::lock_guard guard(self->lock_);
        self->received_.push_back({wParam, lParam});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void NotifyListener::Run(HANDLE ready) {
    threadId_ = GetCurrentThreadId();
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, kClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists now
    SetEvent(ready);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    DestroyWindow(window);
}

bool NotifyListener::WaitForCount(size_t count, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        {
            std::lock_guard guard(lock_);
            if (received_.size() >= count) return true;
        }
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
}

std::vector<Notification> NotifyListener::Received() const {
    std::lock_guard guard(lock_);
    return received_;
}

}  // namespace lmvntest
