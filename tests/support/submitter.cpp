#include "submitter.h"

#include "harness.h"

namespace lmvntest {
namespace {

HANDLE InheritableFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::wstring FromUtf8(const std::string& bytes) {
    if (bytes.empty()) return L"";
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        units);
    return text;
}

}  // namespace

ToolResult RunTool(const wchar_t* program, const std::wstring& arguments, DWORD timeoutMs) {
    ToolResult result;
    TempDir scratch(L"tool");
    const std::wstring outPath = scratch / L"out.txt";
    const std::wstring errPath = scratch / L"err.txt";
    HANDLE out = InheritableFile(outPath);
    HANDLE err = InheritableFile(errPath);
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
        ReportFailedStep(L"creating the output files in", scratch.path());
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
        return result;
    }

    std::wstring line = L"\"" + JoinPath(BuildDir(), program) + L"\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    const BOOL started = StartTestProcess(line.data(), TRUE, CREATE_NO_WINDOW, nullptr, &si, &pi);
    if (!started) ReportFailedStep(L"starting", line);
    CloseHandle(out);
    CloseHandle(err);
    if (!started) return result;
    CloseHandle(pi.hThread);
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        result.exitCode = code;
    } else {
        TerminateProcess(pi.hProcess, 98);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    CloseHandle(pi.hProcess);
    result.out = FromUtf8(ReadFileBytes(outPath));
    result.err = FromUtf8(ReadFileBytes(errPath));
    while (!result.out.empty() && (result.out.back() == L'\n' || result.out.back() == L'\r')) {
        result.out.pop_back();
    }
    return result;
}

SubmitResult Submit(const std::wstring& arguments, DWORD timeoutMs) {
    return RunTool(L"lmvnsubmit.exe", arguments, timeoutMs);
}

}  // namespace lmvntest
