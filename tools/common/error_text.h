// "error N: <the system's description>" for the messages of the integrator
// tools.
#pragma once

#include <windows.h>

#include <string>

namespace lmvntools {

inline std::wstring ErrorText(DWORD error) {
    wchar_t text[512] = {};
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, 512, nullptr) == 0) {
        text[0] = L'\0';
    }
    std::wstring result = text;
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r')) {
        result.pop_back();
    }
    return L"error " + std::to_wstring(error) + (result.empty() ? L"" : L": " + result);
}

}  // namespace lmvntools
