#include "robot.h"

namespace lmvntest {

DesktopRobot::DesktopRobot(const wchar_t* caption) : caption_(caption) {
    thread_ = std::thread([this] { Run(); });
}

DesktopRobot::~DesktopRobot() {
    stop_ = true;
    thread_.join();
}

void DesktopRobot::Run() {
    while (!stop_) {
        HWND box = FindWindowW(L"#32770", caption_.c_str());
        if (box == nullptr) {
            Sleep(10);
            continue;
        }
        SeenBox seen;
        wchar_t text[4096] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 4096);
        seen.text = text;
        wchar_t caption[512] = {};
        GetWindowTextW(box, caption, 512);
        seen.caption = caption;
        seen.style = GetWindowLongW(box, GWL_STYLE);
        seen.exStyle = GetWindowLongW(box, GWL_EXSTYLE);
        DWORD_PTR ignored = 0;
        // Bounded: a box that does not answer is tried again.
        if (SendMessageTimeoutW(box, WM_COMMAND, IDOK, 0, SMTO_ABORTIFHUNG, 2000, &ignored)) {
            // Wait for the box to go before looking for the next one.
            for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(5);
            std::lock_guard guard(lock_);
            boxes_.push_back(std::move(seen));
        }
    }
}

bool DesktopRobot::WaitForBoxes(size_t count, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        {
            std::lock_guard guard(lock_);
            if (boxes_.size() >= count) return true;
        }
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
}

std::vector<SeenBox> DesktopRobot::Boxes() const {
    std::lock_guard guard(lock_);
    return boxes_;
}

}  // namespace lmvntest
