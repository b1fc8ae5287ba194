// What the benchmark's client and the benchmark agree on for clipboard mode.
#pragma once

#include <windows.h>

namespace bench {

inline constexpr wchar_t kClipboardFormat[] = L"Lumvane Bench Job";
inline constexpr UINT kClipboardMessage = 0x8000;

}  // namespace bench
