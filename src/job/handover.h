// Taking a job over: the path of its job description file, from a hand-over
// value under HKLM\Software\Lumvane.
#pragma once

#include <windows.h>

#include <span>

namespace lmvn {

inline constexpr wchar_t kSharedValueName[] = L"Shared";
inline constexpr wchar_t kSystemValueName[] = L"SYSTEM";
inline constexpr wchar_t kNT4ValueName[] = L"Print Job";

// The first value name to try for a job: "Print Job" with NT4Mode, else
// "Shared" for a job of the shared printing event, else the user's name.
const wchar_t* FirstHandOverName(BOOL nt4Mode, DWORD argument, const wchar_t* userName);

// Reads the job path (at most 520 bytes) under the first name, else under
// "SYSTEM", deletes the value that was read, and logs the job number. Reports
// and returns FALSE when the key or both values cannot be read; returns FALSE
// quietly when another thread took the job first.
BOOL RetrieveJobInfo(DWORD argument, const wchar_t* keyPath, const wchar_t* userName,
                     std::span<wchar_t> jobPath, const wchar_t*& handOverName);

}  // namespace lmvn
