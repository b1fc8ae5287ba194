// The job path as clients of copy-data and clipboard mode receive it: in the
// thread's ANSI code page, in a fixed number of bytes.
#pragma once

#include <windows.h>

namespace lmvn {

// The ANSI path travels in exactly this many bytes, in both the WM_COPYDATA
// payload and the clipboard block, whatever the path's length.
inline constexpr DWORD kAnsiPathBytes = 260;

// The job path in the thread's ANSI code page (CP_ACP in NT4Mode), zero-
// terminated and zero-filled: the path itself when every character converts
// exactly, else its short form when that does. False (and `ansi` all zero)
// when neither does: no path that names no file, or another file, is made.
bool ToAnsiPath(const wchar_t* jobPath, char (&ansi)[kAnsiPathBytes]);

}  // namespace lmvn
