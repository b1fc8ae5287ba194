// Runs the integrator tools in build\ for end-to-end tests: lmvnsubmit.exe
// (its exit code and what it printed: the job description file's path on
// success), lmvncheck.exe and the like.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace lmvntest {

struct ToolResult {
    std::optional<DWORD> exitCode;  // none: it did not finish in time
    std::wstring out;               // standard output, the last line break removed
    std::wstring err;               // standard error
};

using SubmitResult = ToolResult;

// Runs build\<program> with `arguments` as on a command line, its standard
// output and error captured.
ToolResult RunTool(const wchar_t* program, const std::wstring& arguments, DWORD timeoutMs = 30000);

// lmvnsubmit.exe; `arguments` as on a command line, e.g. L"--shared --job-id 7".
SubmitResult Submit(const std::wstring& arguments, DWORD timeoutMs = 30000);

}  // namespace lmvntest
