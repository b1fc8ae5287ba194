// The configuration check of lmvncheck: what the agent of one user and
// session will find in the registry, beside its executable and among the
// named objects, and what will go wrong. It only reads.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace lmvncheck {

enum class Severity { Note, Warning, Error };

struct Finding {
    Severity severity = Severity::Note;
    DWORD code = 0;   // the notification code the agent would report; 0: none
    std::wstring id;  // a stable key word for tools ("value-type", ...)
    std::wstring text;
};

// One line of the effective configuration.
struct Setting {
    std::wstring group;   // "agent", "client", "program", "event"
    std::wstring name;    // "Transfer Mode", "print event", ...
    std::wstring value;   // as the agent will use it
    std::wstring source;  // "user", "machine", "default", or empty
    std::wstring stored;  // registry type and size of the value used, or empty
};

struct Options {
    std::wstring user;  // empty: the current user
    DWORD session = 0;  // with sessionGiven
    bool sessionGiven = false;
    std::wstring agentDir;  // empty: the checker's own folder
    bool findWindow = false;
};

struct Result {
    std::wstring user;
    DWORD session = 0;
    std::vector<Setting> settings;
    std::vector<Finding> findings;
    // 0 clean (notes at most), 1 warnings, 2 errors.
    int ExitCode() const;
};

Result Check(const Options& options);

}  // namespace lmvncheck
