#include "robot.h"

#include "desktop.h"

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
        HWND box = held_ ? nullptr : FindWindowW(L"#32770", caption_.c_str());
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
        // Bounded: a box that does not answer is tried again. PressOk waits
        // for the box to go before the next one is looked for.
        if (PressOk(box)) {
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

int DesktopRobot::OpenBoxes() const { return CountWindows(L"#32770", caption_.c_str()); }

std::vector<SeenBox> DesktopRobot::Boxes() const {
    std::lock_guard guard(lock_);
    return boxes_;
}

}  // namespace lmvntest
