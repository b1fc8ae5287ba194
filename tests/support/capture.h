// Seam fakes shared by unit tests: the message boxes and notify broadcasts a
// test's reports make, captured instead of shown.
#pragma once

#include "win/win32api.h"

#include <mutex>
#include <string>
#include <vector>

namespace lmvntest {

struct CapturedBox {
    std::wstring text;
    std::wstring caption;
    UINT style = 0;
    HWND owner = nullptr;
};
struct CapturedBroadcast {
    HWND target;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// While alive, MessageBoxW and SendNotifyMessageW are recorded (the box
// "returns" IDOK) and the agent's report settings are saved and restored.
class ReportCapture {
public:
    ReportCapture();
    ~ReportCapture();
    ReportCapture(const ReportCapture&) = delete;
    ReportCapture& operator=(const ReportCapture&) = delete;

    std::vector<CapturedBox> Boxes() const;
    std::vector<CapturedBroadcast> Broadcasts() const;

private:
    lmvn::ScopedApiOverride<decltype(&::MessageBoxW)> box_;
    lmvn::ScopedApiOverride<decltype(&::SendNotifyMessageW)> notify_;
    DWORD savedLogEnabled_;
    DWORD savedMessageMode_;
    UINT savedNotifyId_;
};

}  // namespace lmvntest
