#include "job/client_settings.h"

#include "diag/format.h"
#include "diag/report.h"
#include "win/unique.h"

#include <cwchar>
#include <span>

namespace lmvn {
namespace {

// One read of a text or number value into its field.
LONG ReadField(HKEY key, int value, ClientSettings& settings, ValueRead* read) {
    const wchar_t* name = kClientValueNames[value];
    switch (value) {
        case kClientApplication:
            return ReadTextValue(key, name, settings.clientApplication, read);
        case kTransferMode:
            return ReadDwordValue(key, name, settings.transferMode, read);
        case kTargetWindowClass:
            return ReadTextValue(key, name, settings.targetWindowClass, read);
        case kTargetWindowTitle:
            return ReadTextValue(key, name, settings.targetWindowTitle, read);
        case kClipboardFormat:
            return ReadTextValue(key, name, settings.clipboardFormat, read);
        default:
            return ReadDwordValue(key, name, settings.messageId, read);
    }
}

// A present per-user value wins, even when it is empty or 0; only a per-user
// value that cannot be read (absent, too long, no access) gives way to the
// machine-wide one. Each read starts with the full room of the field.
void LookUpValue(HKEY user, HKEY machine, int value, ClientSettings& settings,
                 ClientSettingsTrace* trace) {
    ClientSettingsTrace::Value* noted = trace ? &trace->values[value] : nullptr;
    if (user != nullptr) {
        if (noted) noted->userTried = true;
        if (ReadField(user, value, settings, noted ? &noted->user : nullptr) == ERROR_SUCCESS) {
            if (noted) noted->source = ValueSource::User;
            return;
        }
    }
    if (machine != nullptr) {
        if (noted) noted->machineTried = true;
        if (ReadField(machine, value, settings, noted ? &noted->machine : nullptr) ==
            ERROR_SUCCESS) {
            if (noted) noted->source = ValueSource::Machine;
        }
    }
}

}  // namespace

LONG LookUpClientSettings(HKEY userRoot, HKEY machineRoot, const wchar_t* keyPath,
                          ClientSettings& settings, ClientSettingsTrace* trace) {
    settings = ClientSettings{};
    if (trace) *trace = ClientSettingsTrace{};
    // Declared in this order so that the machine key closes first.
    UniqueKey user;
    UniqueKey machine;
    const LONG userError = OpenKeyForReading(userRoot, keyPath, user);
    const LONG machineError = OpenMachineSettingsKey(machineRoot, keyPath, machine,
                                                     trace ? &trace->machinePlace : nullptr);
    if (trace) {
        trace->userKeyStatus = userError;
        trace->machineKeyStatus = machineError;
    }
    if (!user && !machine) return machineError;
    for (int value = 0; value < kClientValueCount; ++value) {
        LookUpValue(user.get(), machine.get(), value, settings, trace);
    }
    return ERROR_SUCCESS;
}

BOOL ReadClientSettings(const wchar_t* keyPath, ClientSettings& settings) {
    // The per-user key's own failure is never reported.
    const LONG machineError =
        LookUpClientSettings(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, keyPath, settings);
    if (machineError == ERROR_SUCCESS) return TRUE;
    if (machineError == ERROR_FILE_NOT_FOUND) {
        ReportError(reports::kNotConfigured);
    } else {
        wchar_t text[kTextUnits];
        FormatText(text, reports::kRegistryOpenFailed.text, kPrinterName);
        ReportSystemError(text, reports::kRegistryOpenFailed.code, static_cast<DWORD>(machineError),
                          nullptr, MB_SYSTEMMODAL);
    }
    return FALSE;
}

CommandLineResult ComposeClientCommandLine(ClientSettings& settings) {
    std::span<wchar_t> line(settings.commandLine);
    CopyText(line, settings.clientApplication);
    if (line[0] == L'\0') return CommandLineResult::NoApplication;

    const wchar_t* application = settings.clientApplication;
    if (application[0] == L'"' || std::wcschr(application, L' ') == nullptr) {
        return CommandLineResult::Ready;
    }
    // Quoting adds two units. A program named by 258 or 259 units with a blank
    // in it does not fit the command line any more; cutting it would start
    // some other program, so the client is taken as not runnable.
    const size_t length = std::wcslen(application);
    if (length + 3 > line.size()) {
        line[0] = L'\0';
        return CommandLineResult::TooLong;
    }
    line[0] = L'"';
    std::wmemcpy(&line[1], application, length);
    line[length + 1] = L'"';
    line[length + 2] = L'\0';
    return CommandLineResult::Ready;
}

BOOL PrepareClientCommandLine(ClientSettings& settings, const wchar_t* jobPath) {
    switch (ComposeClientCommandLine(settings)) {
        case CommandLineResult::Ready:
            return TRUE;
        case CommandLineResult::NoApplication:
            ReportError(reports::kClientMissing);
            break;
        case CommandLineResult::TooLong:
            ReportError(reports::kDispatcherFailed);
            break;
    }
    Win32().DeleteFileW(jobPath);  // a failure here changes nothing
    return FALSE;
}

}  // namespace lmvn
