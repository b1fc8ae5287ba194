#include "job/client_settings.h"

#include "diag/format.h"
#include "diag/report.h"
#include "win/registry.h"
#include "win/unique.h"

#include <cwchar>
#include <span>

namespace lmvn {
namespace {

// Opens `root`\`keyPath` for reading; the key stays empty on failure.
LONG OpenForReading(HKEY root, const wchar_t* keyPath, UniqueKey& key) {
    HKEY opened = nullptr;
    const LONG status = Win32().RegOpenKeyExW(root, keyPath, 0, KEY_READ, &opened);
    if (status == ERROR_SUCCESS) key.reset(opened);
    return status;
}

// A present per-user value wins, even when it is empty or 0; only a per-user
// value that cannot be read (absent, too long, no access) gives way to the
// machine-wide one. Each read starts with the full room of the field.
void ReadText(HKEY user, HKEY machine, const wchar_t* name, std::span<wchar_t> field) {
    if (user != nullptr && ReadTextValue(user, name, field) == ERROR_SUCCESS) return;
    if (machine != nullptr && ReadTextValue(machine, name, field) == ERROR_SUCCESS) return;
}

void ReadDword(HKEY user, HKEY machine, const wchar_t* name, DWORD& field) {
    if (user != nullptr && ReadDwordValue(user, name, field) == ERROR_SUCCESS) return;
    if (machine != nullptr && ReadDwordValue(machine, name, field) == ERROR_SUCCESS) return;
}

}  // namespace

BOOL ReadClientSettings(const wchar_t* keyPath, ClientSettings& settings) {
    settings = ClientSettings{};
    // Declared in this order so that the machine key closes first.
    UniqueKey user;
    UniqueKey machine;
    OpenForReading(HKEY_CURRENT_USER, keyPath, user);  // its own failure is never reported
    const LONG machineError = OpenForReading(HKEY_LOCAL_MACHINE, keyPath, machine);

    if (!user && !machine) {
        if (machineError == ERROR_FILE_NOT_FOUND) {
            ReportError(reports::kNotConfigured);
        } else {
            wchar_t text[kTextUnits];
            FormatText(text, reports::kRegistryOpenFailed.text, kPrinterName);
            ReportSystemError(text, reports::kRegistryOpenFailed.code,
                              static_cast<DWORD>(machineError), nullptr, MB_SYSTEMMODAL);
        }
        return FALSE;
    }

    const HKEY u = user.get();
    const HKEY m = machine.get();
    ReadText(u, m, L"Client Application", settings.clientApplication);
    ReadDword(u, m, L"Transfer Mode", settings.transferMode);
    ReadText(u, m, L"Target Window Class", settings.targetWindowClass);
    ReadText(u, m, L"Target Window Title", settings.targetWindowTitle);
    ReadText(u, m, L"Clipboard Format", settings.clipboardFormat);
    ReadDword(u, m, L"Message ID", settings.messageId);
    return TRUE;
}

BOOL PrepareClientCommandLine(ClientSettings& settings, const wchar_t* jobPath) {
    std::span<wchar_t> line(settings.commandLine);
    CopyText(line, settings.clientApplication);

    if (line[0] == L'\0') {
        ReportError(reports::kClientMissing);
        Win32().DeleteFileW(jobPath);  // a failure here changes nothing
        return FALSE;
    }

    const wchar_t* application = settings.clientApplication;
    if (application[0] == L'"' || std::wcschr(application, L' ') == nullptr) return TRUE;

    // Quoting adds two units. A program named by 258 or 259 units with a blank
    // in it does not fit the command line any more; cutting it would start
    // some other program, so the client is taken as not runnable.
    const size_t length = std::wcslen(application);
    if (length + 3 > line.size()) {
        line[0] = L'\0';
        ReportError(reports::kDispatcherFailed);
        Win32().DeleteFileW(jobPath);
        return FALSE;
    }
    line[0] = L'"';
    std::wmemcpy(&line[1], application, length);
    line[length + 1] = L'"';
    line[length + 2] = L'\0';
    return TRUE;
}

}  // namespace lmvn
