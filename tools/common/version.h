// --version of the integrator tools. The version is the product's, given by
// the build (lmvn_program_resources() in packaging/resources.cmake defines
// LMVN_VERSION for every program it stamps).
#pragma once

#include <windows.h>

#include <string>

#include "console.h"

#ifndef LMVN_VERSION
// cppcheck-suppress preprocessorErrorDirective
#error "LMVN_VERSION comes from the build: call lmvn_program_resources() for this program"
#endif

namespace lmvntools {

inline constexpr wchar_t kVersion[] = L"" LMVN_VERSION;

// True when the only argument is --version, after printing "<program> <version>"
// on standard output: the caller then ends with exit code 0.
inline bool AnswerVersion(int argc, wchar_t** argv, const wchar_t* program) {
    if (argc != 2 || argv == nullptr || std::wstring(argv[1]) != L"--version") return false;
    WriteText(STD_OUTPUT_HANDLE, std::wstring(program) + L" " + kVersion + L"\n");
    return true;
}

}  // namespace lmvntools
