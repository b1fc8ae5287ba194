// lmvncheck: checks the Lumvane agent's configuration for one user and
// session, reading the registry with the agent's own code, and says what
// will go wrong, with the notification code the agent would report. It
// changes nothing. See docs/troubleshooting.md.
#include <windows.h>

#include <cwchar>
#include <string>

#include "../common/console.h"
#include "../common/version.h"
#include "check.h"

namespace {

using lmvncheck::Finding;
using lmvncheck::Result;
using lmvncheck::Severity;
using lmvntools::WriteText;

constexpr int kUsage = 3;

constexpr wchar_t kHelp[] =
    L"Usage: lmvncheck [options]\n"
    L"Checks the Lumvane agent's configuration as the agent reads it: the values under\n"
    L"HKCU and HKLM\\Software\\Lumvane with their sources, the stage programs beside the\n"
    L"agent, the client program, the agent's events and the jobs waiting. Changes nothing.\n"
    L"\n"
    L"  --user NAME      check for NAME's agent (default: the current user)\n"
    L"  --session N      check for the agent of session N (default: this session)\n"
    L"  --agent-dir DIR  folder of lmvnagent.exe (default: the folder of lmvncheck.exe)\n"
    L"  --find-window    also say whether the configured target window exists now\n"
    L"  --json           print the result as JSON\n"
    L"  --version        print the version\n"
    L"  --help           show this text\n"
    L"\n"
    L"Exit codes: 0 nothing wrong, 1 warnings, 2 errors, 3 bad command line.\n";

const wchar_t* SeverityName(Severity severity) {
    switch (severity) {
        case Severity::Error:
            return L"error";
        case Severity::Warning:
            return L"warning";
        default:
            return L"note";
    }
}

std::wstring CodeText(DWORD code) {
    if (code == 0) return L"";
    wchar_t text[16] = {};
    swprintf(text, 16, code >= 0x1000 ? L"0x%X" : L"%u", code);
    return text;
}

std::wstring Padded(std::wstring text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), L' ');
    return text;
}

void PrintText(const Result& result) {
    std::wstring out = L"Lumvane agent configuration for " + result.user + L", session " +
                       std::to_wstring(result.session) + L"\n";
    std::wstring group;
    for (const auto& s : result.settings) {
        if (s.group != group) {
            group = s.group;
            out += L"\n";
        }
        std::wstring line = L"  " + Padded(s.name, 22) + s.value;
        if (!s.source.empty())
            line += L"  [" + s.source + (s.stored.empty() ? L"" : L", " + s.stored) + L"]";
        out += line + L"\n";
    }
    out += L"\n";
    if (result.findings.empty()) out += L"No findings.\n";
    int errors = 0;
    int warnings = 0;
    for (const Finding& f : result.findings) {
        errors += f.severity == Severity::Error;
        warnings += f.severity == Severity::Warning;
        out += Padded(SeverityName(f.severity), 8) + Padded(CodeText(f.code), 7) + f.id + L": " +
               f.text + L"\n";
    }
    out += L"\n" + std::to_wstring(errors) + L" error(s), " + std::to_wstring(warnings) +
           L" warning(s).\n";
    WriteText(STD_OUTPUT_HANDLE, out);
}

std::wstring Json(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += L'\\';
            out += c;
        } else if (c < 0x20) {
            wchar_t escaped[8] = {};
            swprintf(escaped, 8, L"\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + L"\"";
}

void PrintJson(const Result& result) {
    std::wstring out = L"{\"user\":" + Json(result.user) + L",\"session\":" +
                       std::to_wstring(result.session) + L",\"settings\":[";
    for (size_t i = 0; i < result.settings.size(); ++i) {
        const auto& s = result.settings[i];
        out += (i ? L"," : L"") + std::wstring(L"{\"group\":") + Json(s.group) + L",\"name\":" +
               Json(s.name) + L",\"value\":" + Json(s.value) + L",\"source\":" + Json(s.source) +
               L",\"stored\":" + Json(s.stored) + L"}";
    }
    out += L"],\"findings\":[";
    for (size_t i = 0; i < result.findings.size(); ++i) {
        const auto& f = result.findings[i];
        out += (i ? L"," : L"") + std::wstring(L"{\"severity\":") + Json(SeverityName(f.severity)) +
               L",\"code\":" + (f.code ? std::to_wstring(f.code) : L"null") + L",\"id\":" +
               Json(f.id) + L",\"text\":" + Json(f.text) + L"}";
    }
    out += L"],\"exit\":" + std::to_wstring(result.ExitCode()) + L"}\n";
    WriteText(STD_OUTPUT_HANDLE, out);
}

bool ParseSession(const wchar_t* text, DWORD& out) {
    if (text == nullptr || *text < L'0' || *text > L'9') return false;
    wchar_t* end = nullptr;
    const unsigned long long value = wcstoull(text, &end, 10);
    if (*end != L'\0' || value > 0xFFFFFFFFull) return false;
    out = static_cast<DWORD>(value);
    return true;
}

int Usage(const std::wstring& error) {
    WriteText(STD_ERROR_HANDLE, L"lmvncheck: " + error + L" (see --help)\n");
    return kUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (lmvntools::AnswerVersion(argc, argv, L"lmvncheck")) return 0;
    lmvncheck::Options options;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            WriteText(STD_OUTPUT_HANDLE, kHelp);
            return 0;
        } else if (arg == L"--json") {
            json = true;
        } else if (arg == L"--find-window") {
            options.findWindow = true;
        } else if (arg == L"--user" || arg == L"--agent-dir") {
            if (value == nullptr || *value == L'\0') return Usage(arg + L" needs a value");
            (arg == L"--user" ? options.user : options.agentDir) = value;
            ++i;
        } else if (arg == L"--session") {
            if (!ParseSession(value, options.session)) {
                return Usage(L"--session needs a number");
            }
            options.sessionGiven = true;
            ++i;
        } else {
            return Usage(L"unknown option \"" + arg + L"\"");
        }
    }
    const Result result = lmvncheck::Check(options);
    if (json) {
        PrintJson(result);
    } else {
        PrintText(result);
    }
    return result.ExitCode();
}
