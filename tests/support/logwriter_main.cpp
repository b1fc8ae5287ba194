// Appends lines to vp_log.txt in its current directory through the agent's
// own log writer, as the agents of several sessions sharing one log folder
// do. Command line: logwriter <lines> <threads> <tag> [<LogMaxSize> [<event>]].
// Each thread writes "<tag> <thread> <line>." <lines> times. LogMaxSize (KiB)
// is the agent's default unless given; with an event's name, the threads
// start once it is set (at most 30 s later), so that several writers start
// together. Exit code 0 when it ran.
#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"

#include <windows.h>

#include <cwchar>
#include <thread>
#include <vector>

namespace {

// The command line after the program's own name.
const wchar_t* Arguments(const wchar_t* line) {
    if (*line == L'"') {
        line = std::wcschr(line + 1, L'"');
        return line != nullptr ? line + 1 : L"";
    }
    while (*line != L'\0' && *line != L' ') ++line;
    return line;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int lines = 0;
    int threads = 0;
    wchar_t tag[32] = {};
    unsigned maxSize = lmvn::LogMaxSize;
    wchar_t event[64] = {};
    const int given = std::swscanf(Arguments(GetCommandLineW()), L"%d %d %31ls %u %63ls", &lines,
                                   &threads, tag, &maxSize, event);
    if (given < 3 || lines < 1 || threads < 1 || threads > 16) return 1;
    lmvn::LogMaxSize = maxSize;
    lmvn::LogEnabled = 1;
    if (GetCurrentDirectoryW(lmvn::kLogDestDirUnits, lmvn::LogDestDir) == 0) return 2;
    if (!lmvn::OpenLogFile()) return 3;
    if (given == 5) {
        HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, event);
        if (start == nullptr || WaitForSingleObject(start, 30000) != WAIT_OBJECT_0) return 4;
        CloseHandle(start);
    }

    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < lines; ++i) {
                wchar_t text[lmvn::kTextUnits];
                lmvn::FormatText(text, L"%s %d %d.", tag, t, i);
                lmvn::WriteLog(text);
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    lmvn::CloseLogFile();
    return 0;
}
