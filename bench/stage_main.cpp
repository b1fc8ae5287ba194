// The stage program of the benchmark's batch, which behaves by the name it is
// installed under:
//   progress.exe   shows a top-level "Lumvane progress indicator" window and
//                  ends when that window gets WM_CLOSE (or after 10 minutes,
//                  so that none outlives a run for long)
//   lmvndisp.exe   takes kConverterMs, so that the jobs of a batch overlap
//   anything else  ends at once
#include <windows.h>

#include <cwchar>

#include "support/desktop.h"

namespace {

constexpr DWORD kConverterMs = 400;
constexpr UINT kWindowLifeMs = 10 * 60 * 1000;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:  // WM_CLOSE destroys the window
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool NamedAs(const wchar_t* module, const wchar_t* name) {
    const wchar_t* slash = std::wcsrchr(module, L'\\');
    return _wcsicmp(slash != nullptr ? slash + 1 : module, name) == 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (NamedAs(module, L"lmvndisp.exe")) {
        Sleep(kConverterMs);
        return 0;
    }
    if (!NamedAs(module, L"progress.exe")) return 0;

    HWND window = lmvntest::CreateProgressIndicatorWindow(instance, WindowProc);
    if (window == nullptr) return 2;
    SetTimer(window, 1, kWindowLifeMs, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
