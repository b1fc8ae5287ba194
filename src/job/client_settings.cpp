#include "job/client_settings.h"

#include "diag/format.h"
#include "diag/report.h"
#include "job/job_files.h"
#include "win/unique.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
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

// The first key with a readable value wins, even when the value is empty or
// 0; only a value that cannot be read (absent, too long, no access) gives way
// to the next key. Each read starts with the full room of the field.
void LookUpValue(const HKEY (&keys)[kLayerCount], int value, ClientSettings& settings,
                 ClientSettingsTrace* trace) {
    static constexpr ValueSource kSources[kLayerCount] = {ValueSource::MachinePolicy,
                                                          ValueSource::UserPolicy,
                                                          ValueSource::User, ValueSource::Machine};
    ClientSettingsTrace::Value* noted = trace ? &trace->values[value] : nullptr;
    for (int layer = 0; layer < kLayerCount; ++layer) {
        if (keys[layer] == nullptr) continue;
        if (noted) noted->tried[layer] = true;
        if (ReadField(keys[layer], value, settings, noted ? &noted->reads[layer] : nullptr) ==
            ERROR_SUCCESS) {
            if (noted) noted->source = kSources[layer];
            return;
        }
    }
}

}  // namespace

LONG LookUpClientSettings(HKEY userRoot, HKEY machineRoot, const wchar_t* keyPath,
                          ClientSettings& settings, ClientSettingsTrace* trace) {
    settings = ClientSettings{};
    if (trace) *trace = ClientSettingsTrace{};
    UniqueKey keys[kLayerCount];
    LONG status[kLayerCount] = {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND,
                                ERROR_FILE_NOT_FOUND};
    wchar_t policyPath[kTextUnits] = {};
    if (PolicyKeyPath(policyPath, keyPath)) {
        status[kMachinePolicy] =
            OpenProtectedKeyForReading(machineRoot, policyPath, keys[kMachinePolicy]);
        status[kUserPolicy] = OpenKeyForReading(userRoot, policyPath, keys[kUserPolicy]);
    }
    status[kUser] = OpenKeyForReading(userRoot, keyPath, keys[kUser]);
    status[kMachine] = OpenMachineSettingsKey(machineRoot, keyPath, keys[kMachine],
                                              trace ? &trace->machinePlace : nullptr);
    if (trace) std::copy(std::begin(status), std::end(status), trace->keyStatus);
    const HKEY opened[kLayerCount] = {keys[0].get(), keys[1].get(), keys[2].get(), keys[3].get()};
    if (std::all_of(std::begin(opened), std::end(opened),
                    [](HKEY key) { return key == nullptr; })) {
        return status[kMachine];
    }
    for (int value = 0; value < kClientValueCount; ++value) {
        LookUpValue(opened, value, settings, trace);
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
    DeleteJobFile(jobPath);
    return FALSE;
}

}  // namespace lmvn
