// A hidden top-level window on a thread of its own that records every
// broadcast of the agent's notify message ("Lumvane_notify_message").
#pragma once

#include <windows.h>

#include <mutex>
#include <thread>
#include <vector>

namespace lmvntest {

struct Notification {
    WPARAM code;
    LPARAM error;
};

class NotifyListener {
  public:
    // The window exists when the constructor returns.
    NotifyListener();
    ~NotifyListener();
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    UINT MessageId() const { return message_; }
    bool WaitForCount(size_t count, DWORD timeoutMs);
    std::vector<Notification> Received() const;

  private:
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    void Run(HANDLE ready);

    UINT message_ = 0;
    DWORD threadId_ = 0;
    mutable std::mutex lock_;
    std::vector<Notification> received_;
    std::thread thread_;
};

}  // namespace lmvntest
