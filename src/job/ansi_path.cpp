#include "job/ansi_path.h"

#include "common/settings.h"
#include "win/win32api.h"

#include <cstring>
#include <cwchar>

namespace lmvn {
namespace {

// True when `ansi` converts back to exactly `path`.
bool ConvertsBack(UINT codePage, const char* ansi, const wchar_t* path) {
    wchar_t back[kTextUnits] = {};
    const int units =
        Win32().MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, ansi, -1, back, kTextUnits);
    return units > 0 && std::wcscmp(back, path) == 0;
}

// `path` in `codePage`, zero-terminated, in exactly kAnsiPathBytes bytes (the
// rest zero). True only when every character has bytes of its own there: a
// character the code page lacks would become its default character ("?"), and
// a look-alike (U+FF0F, full-width solidus, for "/") would name another file.
// A form that with its terminator would not fit is refused, never cut.
bool ConvertExactly(UINT codePage, const wchar_t* path, char (&ansi)[kAnsiPathBytes]) {
    Win32Api& api = Win32();
    std::memset(ansi, 0, sizeof(ansi));
    BOOL usedDefault = FALSE;
    int written = api.WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, path, -1, ansi,
                                          kAnsiPathBytes, nullptr, &usedDefault);
    if (written <= 0) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_INVALID_FLAGS || error == ERROR_INVALID_PARAMETER) {
            // UTF-8 (and a few other code pages) take neither the flag nor the
            // question: convert plainly and check the way back instead.
            std::memset(ansi, 0, sizeof(ansi));
            written = api.WideCharToMultiByte(codePage, 0, path, -1, ansi, kAnsiPathBytes, nullptr,
                                              nullptr);
            usedDefault = written > 0 && !ConvertsBack(codePage, ansi, path);
        }
    }
    if (written <= 0 || usedDefault) {
        std::memset(ansi, 0, sizeof(ansi));
        return false;
    }
    return true;
}

}  // namespace

// The short form names the same file and is plain ASCII wherever the volume
// keeps short names. There is none for a file that does not exist, and a
// volume that keeps none gives the long form back, which fails again.
bool ToAnsiPath(const wchar_t* jobPath, char (&ansi)[kAnsiPathBytes]) {
    const UINT codePage = NT4Mode ? CP_ACP : CP_THREAD_ACP;
    if (ConvertExactly(codePage, jobPath, ansi)) return true;
    wchar_t shortPath[kTextUnits] = {};
    const DWORD units = Win32().GetShortPathNameW(jobPath, shortPath, kTextUnits);
    if (units == 0 || units >= kTextUnits) return false;  // none, or too long for the buffer
    return ConvertExactly(codePage, shortPath, ansi);
}

}  // namespace lmvn
