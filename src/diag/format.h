// printf-style formatting of UTF-16 text into a fixed buffer.
//
// Directives: %s (const wchar_t*, null prints as "(null)"), %d (int), %u
// (unsigned), %x (unsigned, lower-case hex), %% (a percent sign), each with an
// optional '0' flag and a decimal width ("%02d", "%03d"). Any other character
// after % is copied as it stands.
//
// The result always ends with a terminator inside the buffer. Text that does
// not fit is cut at the buffer's end and the function returns false.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <span>

namespace lmvn {

bool FormatTextV(std::span<wchar_t> out, const wchar_t* format, va_list args);
bool FormatText(std::span<wchar_t> out, const wchar_t* format, ...);

// The same into a buffer of exactly 1024 units (log lines and the log-open
// failure text).
bool FormatText1024(wchar_t (&out)[1024], const wchar_t* format, ...);

// Copies `text` into `out`, cut to fit; false when it was cut.
bool CopyText(std::span<wchar_t> out, const wchar_t* text);

// Appends `text` to the null-terminated text in `out`, cut to fit; false when
// it was cut (or `out` held no terminator).
bool AppendText(std::span<wchar_t> out, const wchar_t* text);

}  // namespace lmvn
