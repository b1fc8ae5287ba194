// Runs build\lmvnsubmit.exe for end-to-end tests: its exit code and what it
// printed (the job description file's path on success).
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace lmvntest {

struct SubmitResult {
    std::optional<DWORD> exitCode;  // none: it did not finish in time
    std::wstring out;               // standard output, the last line break removed
    std::wstring err;               // standard error
};

// `arguments` as on a command line, e.g. L"--shared --job-id 7".
SubmitResult Submit(const std::wstring& arguments, DWORD timeoutMs = 30000);

}  // namespace lmvntest
