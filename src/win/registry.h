// Raw registry reads: no type is requested or checked, and data larger than
// the room given counts as absent.
#pragma once

#include "win/win32api.h"

#include <span>

namespace lmvn {

// Reads at most `room` bytes of `name` under `key` into `data`.
// Returns ERROR_SUCCESS and fills `data` (zero-filled past the value's own
// bytes); on any failure (absent, larger than `room`, no access) returns the
// registry's status and leaves `data` untouched.
[[nodiscard]] LONG ReadRawValue(HKEY key, const wchar_t* name, void* data, DWORD room);

// Reads text of at most out.size() units including its terminator. Data that
// fills the whole room without a terminator counts as absent
// (ERROR_MORE_DATA). On failure `out` is left untouched.
[[nodiscard]] LONG ReadTextValue(HKEY key, const wchar_t* name, std::span<wchar_t> out);

// Reads 4 raw bytes (a REG_SZ "1" with its terminator reads as 49).
// On failure `out` is left untouched.
[[nodiscard]] LONG ReadDwordValue(HKEY key, const wchar_t* name, DWORD& out);

}  // namespace lmvn
