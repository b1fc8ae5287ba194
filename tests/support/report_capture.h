// Unit tests: records the message boxes the code under test would show, in
// place of showing them (MessageBoxW through the seam answers IDOK).
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
};

class ReportCapture {
  public:
    ReportCapture() : override_(&lmvn::Win32Api::MessageBoxW, &Fake) {
        std::lock_guard<std::mutex> hold(Lock());
        Store().clear();
    }
    std::vector<CapturedBox> Boxes() const {
        std::lock_guard<std::mutex> hold(Lock());
        return Store();
    }

  private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<CapturedBox>& Store() {
        static std::vector<CapturedBox> boxes;
        return boxes;
    }
    static int WINAPI Fake(HWND, LPCWSTR text, LPCWSTR caption, UINT style) {
        std::lock_guard<std::mutex> hold(Lock());
        Store().push_back({text ? text : L"", caption ? caption : L"", style});
        return IDOK;
    }

    lmvn::ScopedApiOverride<decltype(&::MessageBoxW)> override_;
};

}  // namespace lmvntest
