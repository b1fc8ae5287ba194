// Creates one window and ends: run once when a test prefix is prepared, so
// that Wine's desktop process is already up when the tests start.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    HWND window = CreateWindowExW(0, L"STATIC", L"warm-up", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  instance, nullptr);
    if (window != nullptr) DestroyWindow(window);
    return 0;
}
