// The desktop robot: finds each message box captioned "Lumvane agent", reads
// its text, and presses OK, so that reports never block a test.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lmvntest {

struct SeenBox {
    std::wstring text;
    std::wstring caption;
    LONG style = 0;    // GWL_STYLE of the dialog
    LONG exStyle = 0;  // GWL_EXSTYLE (system-modal boxes are topmost)
};

class DesktopRobot {
  public:
    // Starts watching at once; stops (and joins) on destruction.
    explicit DesktopRobot(const wchar_t* caption = L"Lumvane agent");
    ~DesktopRobot();
    DesktopRobot(const DesktopRobot&) = delete;
    DesktopRobot& operator=(const DesktopRobot&) = delete;

    // Waits until at least `count` boxes have been dismissed, at most
    // `timeoutMs`. True when they have.
    bool WaitForBoxes(size_t count, DWORD timeoutMs);
    std::vector<SeenBox> Boxes() const;

    // While held, the robot leaves boxes open, so that a test can count them;
    // Release lets it answer them again. A box it is answering when Hold is
    // called is still answered.
    void Hold() { held_ = true; }
    void Release() { held_ = false; }
    // Boxes with the robot's caption open on the desktop now.
    int OpenBoxes() const;

  private:
    void Run();

    std::wstring caption_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> held_{false};
    mutable std::mutex lock_;
    std::vector<SeenBox> boxes_;
    std::thread thread_;
};

}  // namespace lmvntest
