// Raw registry reads: no type is requested or checked, and data larger than
// the room given counts as absent.
#pragma once

#include "win/unique.h"
#include "win/win32api.h"

#include <span>

namespace lmvn {

// What one read met in the registry, for callers that want to tell how a
// value is stored (a configuration check); the reads themselves never look
// at it. `type` and `size` are the registry's answer: the value's type and
// the size of its data, also when the data was larger than the room.
struct ValueRead {
    LONG status = ERROR_FILE_NOT_FOUND;  // the read's result
    DWORD type = REG_NONE;
    DWORD size = 0;
};

// Reads at most `room` bytes of `name` under `key` into `data`.
// Returns ERROR_SUCCESS and fills `data` (zero-filled past the value's own
// bytes); on any failure (absent, larger than `room`, no access) returns the
// registry's status and leaves `data` untouched. `read`, when given, receives
// the status, type and size.
[[nodiscard]] LONG ReadRawValue(HKEY key, const wchar_t* name, void* data, DWORD room,
                                ValueRead* read = nullptr);

// Reads text of at most out.size() units including its terminator. Data that
// fills the whole room without a terminator counts as absent
// (ERROR_MORE_DATA). On failure `out` is left untouched.
[[nodiscard]] LONG ReadTextValue(HKEY key, const wchar_t* name, std::span<wchar_t> out,
                                 ValueRead* read = nullptr);

// Reads 4 raw bytes (a REG_SZ "1" with its terminator reads as 49).
// On failure `out` is left untouched.
[[nodiscard]] LONG ReadDwordValue(HKEY key, const wchar_t* name, DWORD& out,
                                  ValueRead* read = nullptr);

// Opens `root`\`path` for reading. On failure `key` is left empty and the
// registry's status returned.
[[nodiscard]] LONG OpenKeyForReading(HKEY root, const wchar_t* path, UniqueKey& key);

// The subkey of the printer's key that holds the machine-wide settings
// where users may not write them.
inline constexpr wchar_t kSettingsSubkeyName[] = L"Settings";

// Where the machine-wide settings were found.
enum class SettingsPlace {
    None,         // neither key could be opened
    SettingsKey,  // `keyPath`\Settings
    MainKey,      // `keyPath` itself: no Settings key exists
};

// Opens the key that holds the machine-wide settings for reading: the
// subkey "Settings" of `root`\`keyPath` when it exists, else, and only when
// opening it met ERROR_FILE_NOT_FOUND, `root`\`keyPath` itself. A Settings
// key that exists but cannot be opened (no access, ...) is that failure: the
// main key, where users may write, is then not read. Returns the status of
// the open that decided; `key` stays empty on failure.
[[nodiscard]] LONG OpenMachineSettingsKey(HKEY root, const wchar_t* keyPath, UniqueKey& key,
                                          SettingsPlace* place = nullptr);

}  // namespace lmvn
