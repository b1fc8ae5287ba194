// progress.exe: the sample progress indicator stage.
//
//   progress.exe JOBFILE
//
// Shows a small top-level window of class "Lumvane progress indicator" with a
// progress bar while the converter works. The agent starts it just before the
// converter and closes it by posting WM_CLOSE to the first window of that
// class; the program then ends with exit code 0.
//
// The bar shows real progress: twice a second the program counts the EMF pages
// of the job (section "EMF" of the job description file) whose PNG image the
// converter has already written beside them. Without a job description file,
// or with no pages listed, the bar runs as a marquee.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "stage_args.h"

namespace {

constexpr wchar_t kWindowClass[] = L"Lumvane progress indicator";
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollMs = 500;
constexpr int kBarId = 100;
constexpr int kLabelId = 101;

struct ProgressState {
    std::wstring jobFile;
    std::vector<std::wstring> pages;
    HWND bar = nullptr;
    HWND label = nullptr;
};

ProgressState g_state;

size_t CountConvertedPages() {
    size_t done = 0;
    for (const std::wstring& page : g_state.pages) {
        const std::wstring png = lmvnstage::PngPathFor(page);
        if (GetFileAttributesW(png.c_str()) != INVALID_FILE_ATTRIBUTES) ++done;
    }
    return done;
}

void ShowProgress() {
    if (g_state.pages.empty()) return;
    const size_t done = CountConvertedPages();
    SendMessageW(g_state.bar, PBM_SETPOS, static_cast<WPARAM>(done), 0);
    const std::wstring text = L"Converting page " +
                              std::to_wstring(done < g_state.pages.size() ? done + 1 : done) +
                              L" of " + std::to_wstring(g_state.pages.size()) + L"...";
    SetWindowTextW(g_state.label, text.c_str());
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            const HINSTANCE instance = reinterpret_cast<CREATESTRUCTW*>(lParam)->hInstance;
            g_state.label = CreateWindowExW(0, L"STATIC", L"Preparing the print job...",
                                            WS_CHILD | WS_VISIBLE, 16, 14, 320, 20, window,
                                            reinterpret_cast<HMENU>(kLabelId), instance, nullptr);
            const DWORD barStyle =
                WS_CHILD | WS_VISIBLE | (g_state.pages.empty() ? PBS_MARQUEE : 0);
            g_state.bar =
                CreateWindowExW(0, PROGRESS_CLASSW, L"", barStyle, 16, 40, 320, 20, window,
                                reinterpret_cast<HMENU>(kBarId), instance, nullptr);
            if (g_state.pages.empty()) {
                SendMessageW(g_state.bar, PBM_SETMARQUEE, TRUE, 50);
            } else {
                SendMessageW(g_state.bar, PBM_SETRANGE32, 0,
                             static_cast<LPARAM>(g_state.pages.size()));
            }
            SetTimer(window, kPollTimer, kPollMs, nullptr);
            ShowProgress();
            return 0;
        }
        case WM_TIMER:
            if (wParam == kPollTimer) ShowProgress();
            return 0;
        case WM_CLOSE:
            // The agent's request to go: the converter has finished.
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            KillTimer(window, kPollTimer);
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    g_state.jobFile = lmvnstage::OwnArgumentTail();
    if (!g_state.jobFile.empty()) g_state.pages = lmvnstage::ReadEmfPages(g_state.jobFile);

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    if (RegisterClassExW(&wc) == 0) return 1;

    // A small fixed tool window in the middle of the screen, above others.
    constexpr int kWidth = 368;
    constexpr int kHeight = 112;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2;
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kWindowClass,
                                  L"Lumvane - printing", WS_POPUP | WS_CAPTION | WS_BORDER, x, y,
                                  kWidth, kHeight, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, SW_SHOWNOACTIVATE);  // never takes the focus from the user
    UpdateWindow(window);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
