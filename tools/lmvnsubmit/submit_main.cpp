// lmvnsubmit: submits a print job to the Lumvane agent the way the printer
// side does. It draws real EMF pages, writes the job description file that
// lists them, stores the file's path as the hand-over value under
// HKLM\Software\Lumvane and sets the agent's event. With --kill it sets the
// kill event instead. See docs/lmvnsubmit.md.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "../common/console.h"
#include "../common/error_text.h"
#include "../common/version.h"

namespace {

constexpr wchar_t kPrinterName[] = L"Lumvane";
constexpr wchar_t kKeyPath[] = L"Software\\Lumvane";
// The agent reads at most 520 bytes: 259 characters and the terminator.
constexpr size_t kMaxPathChars = 259;

enum ExitCode : int {
    kOk = 0,
    kUsage = 1,
    kFilesFailed = 2,
    kRegistryFailed = 3,
    kStillPending = 4,
    kEventFailed = 5,
};

constexpr wchar_t kHelp[] =
    L"Usage: lmvnsubmit [options]\n"
    L"Submits a print job to the Lumvane agent as the printer side does: draws EMF\n"
    L"pages, writes the job description file, stores its path under\n"
    L"HKLM\\Software\\Lumvane and sets the agent's event. On success prints the path\n"
    L"of the job description file.\n"
    L"\n"
    L"  --pages N      number of EMF pages to draw, 0 to 999 (default 1)\n"
    L"  --job-id N     the \"JobID\" written to the job description file\n"
    L"                 (default: the process id)\n"
    L"  --dir DIR      folder for the job files (default: the temporary folder)\n"
    L"  --job FILE     hand over an existing job description file; no files are written\n"
    L"  --title TEXT   the document title: \"Title\" in section [Document]\n"
    L"  --set SECTION.KEY=VALUE\n"
    L"                 write any key into the job description file, after the keys\n"
    L"                 lmvnsubmit writes itself (repeatable; a later one wins)\n"
    L"  --user NAME    a per-user job for NAME (default: the current user)\n"
    L"  --session N    session of that user's print event (default: this session)\n"
    L"  --shared       a shared job: value \"Shared\", the shared printing event\n"
    L"  --system       store the path under \"SYSTEM\" (the event stays as chosen)\n"
    L"  --nt4          value \"Print Job\" and events without user, session or Global\\\n"
    L"  --value NAME   store the path under NAME, whatever else was chosen\n"
    L"  --no-event     store the value but set no event\n"
    L"  --wait-ms N    how long to wait while an earlier path is still stored under\n"
    L"                 the same name (default 10000); the job is not stored after that\n"
    L"  --kill         set the kill event and do nothing else (stops every agent)\n"
    L"  --help         show this text\n"
    L"\n"
    L"Exit codes: 0 done, 1 bad command line, 2 job files not written, 3 registry not\n"
    L"written, 4 an earlier job is still waiting under the name, 5 event not opened or\n"
    L"not set (is the agent running?).\n";

using lmvntools::WriteText;
std::wstring SystemText(DWORD error) { return lmvntools::ErrorText(error); }

void Say(const std::wstring& text) { WriteText(STD_OUTPUT_HANDLE, text + L"\n"); }
int Fail(int code, const std::wstring& text) {
    WriteText(STD_ERROR_HANDLE, L"lmvnsubmit: " + text + L"\n");
    return code;
}

// One key that --title or --set writes into the job description file.
struct ProfileEntry {
    std::wstring section;
    std::wstring key;
    std::wstring value;
};

struct Options {
    int pages = 1;
    DWORD jobId = GetCurrentProcessId();
    std::wstring dir;
    std::wstring job;                   // an existing job description file
    std::vector<ProfileEntry> entries;  // --title and --set, in command-line order
    std::wstring user;
    DWORD session = 0;
    bool sessionGiven = false;
    bool shared = false;
    bool system = false;
    bool nt4 = false;
    std::wstring value;
    bool noEvent = false;
    DWORD waitMs = 10000;
    bool kill = false;
    bool help = false;
};

bool ParseNumber(const wchar_t* text, DWORD limit, DWORD& out) {
    if (text == nullptr || *text < L'0' || *text > L'9') return false;
    wchar_t* end = nullptr;
    const unsigned long long value = wcstoull(text, &end, 10);
    if (*end != L'\0' || value > limit) return false;
    out = static_cast<DWORD>(value);
    return true;
}

// "SECTION.KEY=VALUE": the section ends at the first dot, the key at the
// first equals sign. A line break would end the profile line early.
bool ParseEntry(const std::wstring& text, ProfileEntry& entry, std::wstring& error) {
    const size_t dot = text.find(L'.');
    const size_t equals = text.find(L'=', dot == std::wstring::npos ? 0 : dot);
    if (dot == std::wstring::npos || equals == std::wstring::npos || dot == 0 ||
        equals == dot + 1) {
        error = L"--set needs SECTION.KEY=VALUE, not \"" + text + L"\"";
        return false;
    }
    entry = {text.substr(0, dot), text.substr(dot + 1, equals - dot - 1), text.substr(equals + 1)};
    if (entry.section.find_first_of(L"[]") != std::wstring::npos ||
        text.find_first_of(L"\r\n") != std::wstring::npos) {
        error = L"--set: no brackets in the section and no line breaks, in \"" + text + L"\"";
        return false;
    }
    return true;
}

// Parses the command line; on a mistake returns false with `error` set.
bool ParseOptions(int argc, wchar_t** argv, Options& o, std::wstring& error) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        auto next = [&](const wchar_t*& value) {
            if (i + 1 >= argc) {
                error = arg + L" needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto number = [&](DWORD limit, DWORD& out) {
            const wchar_t* value = nullptr;
            if (!next(value)) return false;
            if (!ParseNumber(value, limit, out)) {
                error = arg + L" needs a number from 0 to " + std::to_wstring(limit) + L", not \"" +
                        value + L"\"";
                return false;
            }
            return true;
        };
        auto text = [&](std::wstring& out) {
            const wchar_t* value = nullptr;
            if (!next(value)) return false;
            out = value;
            return true;
        };
        DWORD n = 0;
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            o.help = true;
        } else if (arg == L"--pages") {
            if (!number(999, n)) return false;
            o.pages = static_cast<int>(n);
        } else if (arg == L"--job-id") {
            if (!number(0x7FFFFFFF, o.jobId)) return false;
        } else if (arg == L"--session") {
            if (!number(0xFFFFFFFF, o.session)) return false;
            o.sessionGiven = true;
        } else if (arg == L"--wait-ms") {
            if (!number(3600000, o.waitMs)) return false;
        } else if (arg == L"--dir") {
            if (!text(o.dir)) return false;
        } else if (arg == L"--job") {
            if (!text(o.job)) return false;
        } else if (arg == L"--title") {
            ProfileEntry title{L"Document", L"Title", L""};
            if (!text(title.value)) return false;
            if (title.value.find_first_of(L"\r\n") != std::wstring::npos) {
                error = L"--title: no line breaks";
                return false;
            }
            o.entries.push_back(title);
        } else if (arg == L"--set") {
            std::wstring entry;
            if (!text(entry)) return false;
            o.entries.emplace_back();
            if (!ParseEntry(entry, o.entries.back(), error)) return false;
        } else if (arg == L"--user") {
            if (!text(o.user)) return false;
            if (o.user.empty()) {
                error = L"--user needs a name";
                return false;
            }
        } else if (arg == L"--value") {
            if (!text(o.value)) return false;
            if (o.value.empty()) {
                error = L"--value needs a name";
                return false;
            }
        } else if (arg == L"--shared") {
            o.shared = true;
        } else if (arg == L"--system") {
            o.system = true;
        } else if (arg == L"--nt4") {
            o.nt4 = true;
        } else if (arg == L"--no-event") {
            o.noEvent = true;
        } else if (arg == L"--kill") {
            o.kill = true;
        } else {
            error = L"unknown option \"" + arg + L"\" (see --help)";
            return false;
        }
    }
    if (o.shared && (o.nt4 || !o.user.empty() || o.sessionGiven)) {
        error = L"--shared does not go with --nt4, --user or --session";
        return false;
    }
    if (!o.job.empty() && (!o.dir.empty() || o.pages != 1)) {
        error = L"--job hands over an existing file: --dir and --pages do not apply";
        return false;
    }
    if (!o.job.empty() && !o.entries.empty()) {
        error = L"--job hands over an existing file as it is: --title and --set do not apply";
        return false;
    }
    return true;
}

std::wstring CurrentUser() {
    wchar_t name[64] = {};
    DWORD size = 64;
    if (!GetUserNameW(name, &size)) return L"";
    return name;
}

std::wstring PrintEventName(const Options& o) {
    if (o.nt4) return std::wstring(kPrinterName) + L"_printevent";
    DWORD session = o.session;
    if (!o.sessionGiven && !ProcessIdToSessionId(GetCurrentProcessId(), &session)) session = 0;
    return L"Global\\" + o.user + L"_" + kPrinterName + L"_printevent_SESSION" +
           std::to_wstring(session);
}

std::wstring SharedEventName(const Options& o) {
    return std::wstring(o.nt4 ? L"" : L"Global\\") + kPrinterName + L"_shared_printing_event";
}

std::wstring KillEventName(const Options& o) {
    return std::wstring(o.nt4 ? L"" : L"Global\\") + kPrinterName + L"_killevent";
}

std::wstring ValueName(const Options& o) {
    if (!o.value.empty()) return o.value;
    if (o.system) return L"SYSTEM";
    if (o.nt4) return L"Print Job";
    if (o.shared) return L"Shared";
    return o.user;
}

class Handle {
  public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }

  private:
    HANDLE h_;
};

// One page: a frame, a heading and the page number, in the reference
// device's units over an A4 page.
bool DrawPage(const std::wstring& path, int page, int pages, DWORD jobId) {
    RECT frame = {0, 0, 21000, 29700};  // hundredths of a millimetre
    const std::wstring description =
        std::wstring(L"lmvnsubmit") + L'\0' + L"Page " + std::to_wstring(page + 1) + L'\0' + L'\0';
    HDC dc = CreateEnhMetaFileW(nullptr, path.c_str(), &frame, description.c_str());
    if (dc == nullptr) return false;
    const int dotsX = GetDeviceCaps(dc, HORZRES);
    const int dotsY = GetDeviceCaps(dc, VERTRES);
    const int mmX = GetDeviceCaps(dc, HORZSIZE);
    const int mmY = GetDeviceCaps(dc, VERTSIZE);
    const int width = mmX > 0 ? MulDiv(210, dotsX, mmX) : 800;
    const int height = mmY > 0 ? MulDiv(297, dotsY, mmY) : 1131;
    const int margin = width / 12;

    Rectangle(dc, margin, margin, width - margin, height - margin);
    MoveToEx(dc, margin, margin, nullptr);
    LineTo(dc, width - margin, height - margin);
    const std::wstring heading =
        std::wstring(kPrinterName) + L" test job " + std::to_wstring(jobId);
    const std::wstring footer =
        L"Page " + std::to_wstring(page + 1) + L" of " + std::to_wstring(pages);
    TextOutW(dc, margin * 2, margin * 2, heading.c_str(), static_cast<int>(heading.size()));
    TextOutW(dc, margin * 2, height - margin * 2, footer.c_str(), static_cast<int>(footer.size()));

    HENHMETAFILE metafile = CloseEnhMetaFile(dc);
    if (metafile == nullptr) return false;
    DeleteEnhMetaFile(metafile);
    return true;
}

bool WriteProfile(const std::wstring& file, const wchar_t* section, const wchar_t* key,
                  const std::wstring& value) {
    return WritePrivateProfileStringW(section, key, value.c_str(), file.c_str()) != FALSE;
}

// Writes the EMF pages and the job description file; the files written so
// far are listed in `written` (so that they can be removed on failure).
int WriteJobFiles(const Options& o, std::wstring& jobFile, std::vector<std::wstring>& written) {
    std::wstring dir = o.dir;
    if (dir.empty()) {
        wchar_t temp[MAX_PATH] = {};
        if (GetTempPathW(MAX_PATH, temp) == 0) {
            return Fail(kFilesFailed, L"no temporary folder: " + SystemText(GetLastError()));
        }
        dir = temp;
    }
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD length = GetFullPathNameW(dir.c_str(), MAX_PATH * 2, full, nullptr);
    if (length == 0 || length >= MAX_PATH * 2) {
        return Fail(kFilesFailed, L"bad folder \"" + dir + L"\"");
    }
    dir = full;
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';

    const std::wstring stem = dir + L"lmvnjob" + std::to_wstring(o.jobId) + L"-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64() % 100000);
    jobFile = stem + L".ini";
    if (jobFile.size() > kMaxPathChars) {
        return Fail(kFilesFailed, L"the job description file path \"" + jobFile +
                                      L"\" is longer than the 259 characters the agent reads");
    }

    // A byte-order mark first, so that the profile functions keep the file
    // in UTF-16 and paths outside the ANSI code page survive.
    HANDLE file = CreateFileW(jobFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail(kFilesFailed,
                    L"cannot create \"" + jobFile + L"\": " + SystemText(GetLastError()));
    }
    written.push_back(jobFile);
    const BYTE bom[2] = {0xFF, 0xFE};
    DWORD count = 0;
    const BOOL bomWritten = WriteFile(file, bom, sizeof(bom), &count, nullptr);
    CloseHandle(file);
    if (!bomWritten) return Fail(kFilesFailed, L"cannot write \"" + jobFile + L"\"");

    std::vector<std::wstring> pages;
    for (int page = 0; page < o.pages; ++page) {
        const std::wstring emf = stem + L"-" + std::to_wstring(page + 1) + L".emf";
        if (!DrawPage(emf, page, o.pages, o.jobId)) {
            return Fail(kFilesFailed,
                        L"cannot draw the page \"" + emf + L"\": " + SystemText(GetLastError()));
        }
        written.push_back(emf);
        pages.push_back(emf);
    }

    bool ok = WriteProfile(jobFile, L"Document", L"JobID", std::to_wstring(o.jobId)) &&
              WriteProfile(jobFile, L"EMF", L"Count", std::to_wstring(pages.size()));
    for (size_t i = 0; ok && i < pages.size(); ++i) {
        ok = WriteProfile(jobFile, L"EMF", (L"File" + std::to_wstring(i)).c_str(), pages[i]);
    }
    for (size_t i = 0; ok && i < o.entries.size(); ++i) {
        const ProfileEntry& e = o.entries[i];
        ok = WriteProfile(jobFile, e.section.c_str(), e.key.c_str(), e.value);
    }
    if (!ok) {
        return Fail(kFilesFailed,
                    L"cannot write \"" + jobFile + L"\": " + SystemText(GetLastError()));
    }
    return kOk;
}

void RemoveFiles(const std::vector<std::wstring>& files) {
    for (const auto& f : files) DeleteFileW(f.c_str());
}

int SetKill(const Options& o) {
    const std::wstring name = KillEventName(o);
    Handle kill(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    if (kill.get() == nullptr) {
        return Fail(kEventFailed, L"cannot open the kill event \"" + name +
                                      L"\" (is an agent running?): " + SystemText(GetLastError()));
    }
    if (!SetEvent(kill.get())) {
        return Fail(kEventFailed, L"cannot set \"" + name + L"\": " + SystemText(GetLastError()));
    }
    Say(L"Kill event set.");
    return kOk;
}

int Submit(Options& o) {
    if (o.user.empty()) o.user = CurrentUser();
    const std::wstring valueName = ValueName(o);
    if (valueName.empty()) return Fail(kUsage, L"no user name: give one with --user");

    // The event first: without an agent to wake there is no point in writing
    // anything.
    const std::wstring eventName = o.shared ? SharedEventName(o) : PrintEventName(o);
    Handle event(o.noEvent ? nullptr : OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
    if (!o.noEvent && event.get() == nullptr) {
        return Fail(kEventFailed, L"cannot open the event \"" + eventName +
                                      L"\" (is the agent running?): " + SystemText(GetLastError()));
    }

    std::wstring jobFile;
    std::vector<std::wstring> written;
    if (o.job.empty()) {
        const int status = WriteJobFiles(o, jobFile, written);
        if (status != kOk) {
            RemoveFiles(written);
            return status;
        }
    } else {
        wchar_t full[MAX_PATH * 2] = {};
        const DWORD length = GetFullPathNameW(o.job.c_str(), MAX_PATH * 2, full, nullptr);
        if (length == 0 || length >= MAX_PATH * 2) {
            return Fail(kFilesFailed, L"bad path \"" + o.job + L"\"");
        }
        jobFile = full;
        if (jobFile.size() > kMaxPathChars) {
            return Fail(kFilesFailed,
                        L"\"" + jobFile + L"\" is longer than the 259 characters the agent reads");
        }
    }

    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        RemoveFiles(written);
        return Fail(kRegistryFailed, L"cannot open HKLM\\" + std::wstring(kKeyPath) +
                                         L" for writing: " + SystemText(status));
    }

    // A name holds one path at a time: wait while an earlier job is still
    // stored under it, so that none is overwritten. Submitters on this
    // machine take turns through a mutex for the look and the write.
    Handle turn(CreateMutexW(nullptr, FALSE, L"Global\\Lumvane_submitter"));
    const ULONGLONG deadline = GetTickCount64() + o.waitMs;
    bool free = false;
    bool holding = false;
    for (;;) {
        if (turn.get() != nullptr) {
            const ULONGLONG now = GetTickCount64();
            const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            const DWORD got = WaitForSingleObject(turn.get(), left);
            holding = got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
        }
        if (turn.get() == nullptr || holding) {
            free = RegQueryValueExW(key, valueName.c_str(), nullptr, nullptr, nullptr, nullptr) ==
                   ERROR_FILE_NOT_FOUND;
            if (free) break;
            if (holding) ReleaseMutex(turn.get());
            holding = false;
        }
        if (GetTickCount64() >= deadline) break;
        Sleep(50);
    }
    if (!free) {
        RegCloseKey(key);
        RemoveFiles(written);
        return Fail(kStillPending, L"an earlier job is still waiting under \"" + valueName +
                                       L"\" after " + std::to_wstring(o.waitMs) +
                                       L" ms; nothing was submitted");
    }
    status = RegSetValueExW(key, valueName.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(jobFile.c_str()),
                            static_cast<DWORD>((jobFile.size() + 1) * sizeof(wchar_t)));
    if (holding) ReleaseMutex(turn.get());
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        RemoveFiles(written);
        return Fail(kRegistryFailed, L"cannot store \"" + valueName + L"\" under HKLM\\" +
                                         kKeyPath + L": " + SystemText(status));
    }

    if (!o.noEvent && !SetEvent(event.get())) {
        return Fail(kEventFailed, L"the job is stored under \"" + valueName +
                                      L"\", but the event \"" + eventName +
                                      L"\" could not be set: " + SystemText(GetLastError()));
    }
    Say(jobFile);
    return kOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (lmvntools::AnswerVersion(argc, argv, L"lmvnsubmit")) return 0;
    Options options;
    std::wstring error;
    if (!ParseOptions(argc, argv, options, error)) return Fail(kUsage, error);
    if (options.help) {
        WriteText(STD_OUTPUT_HANDLE, kHelp);
        return kOk;
    }
    if (options.kill) return SetKill(options);
    return Submit(options);
}
