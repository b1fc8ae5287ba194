#include "agent/agent_main.h"

#include "common/settings.h"
#include "diag/format.h"
#include "win/registry.h"
#include "win/unique.h"

#include <algorithm>
#include <iterator>

namespace lmvn {

bool IsNT4(const OSVERSIONINFOW& version) { return version.dwMajorVersion == 4; }

namespace {

// The keys one value is looked up in, first to last; a null key is skipped.
struct Keys {
    HKEY machinePolicy;
    HKEY userPolicy;  // null for the values only the machine may set
    HKEY machine;
};

// Reads one value with `read` (a raw read into the value's own storage, which
// it leaves untouched on failure) from the first key that has it readable.
template <typename Read>
void ReadLayered(const Keys& keys, Read read, AgentValueReads::Value* noted) {
    const struct {
        HKEY key;
        ValueSource source;
    } layers[] = {{keys.machinePolicy, ValueSource::MachinePolicy},
                  {keys.userPolicy, ValueSource::UserPolicy},
                  {keys.machine, ValueSource::Machine}};
    for (const auto& layer : layers) {
        if (layer.key == nullptr) continue;
        // The read noted last is the one that decided, or the last key's.
        ValueRead result;
        const LONG status = read(layer.key, &result);
        if (noted) noted->read = result;
        if (status == ERROR_SUCCESS) {
            if (noted) noted->source = layer.source;
            return;
        }
    }
}

void ReadDwordLayered(const Keys& keys, const wchar_t* name, DWORD& out,
                      AgentValueReads::Value* noted) {
    ReadLayered(
        keys, [&](HKEY key, ValueRead* read) { return ReadDwordValue(key, name, out, read); },
        noted);
}

}  // namespace

void ReadAgentValues(AgentValues& values, AgentValueReads* reads, HKEY userRoot) {
    values = AgentValues{};
    if (reads) *reads = AgentValueReads{};
    wchar_t keyPath[256] = {};
    FormatText(keyPath, kKeyPathFormat, kPrinterName);
    wchar_t policyPath[256] = {};
    (void)PolicyKeyPath(policyPath, keyPath);
    UniqueKey machinePolicy;
    UniqueKey userPolicy;
    UniqueKey machine;
    (void)OpenProtectedKeyForReading(HKEY_LOCAL_MACHINE, policyPath, machinePolicy);
    if (userRoot != nullptr) (void)OpenKeyForReading(userRoot, policyPath, userPolicy);
    const LONG status = OpenMachineSettingsKey(HKEY_LOCAL_MACHINE, keyPath, machine,
                                               reads ? &reads->place : nullptr);
    if (reads) reads->keyStatus = status;
    const Keys machineOnly{machinePolicy.get(), nullptr, machine.get()};
    const Keys perUser{machinePolicy.get(), userPolicy.get(), machine.get()};

    // Absent, oversize or unterminated values keep their defaults.
    ReadDwordLayered(machineOnly, L"Log", values.log, reads ? &reads->log : nullptr);
    ReadDwordLayered(perUser, L"Message Mode", values.messageMode,
                     reads ? &reads->messageMode : nullptr);
    ReadLayered(
        machineOnly,
        [&](HKEY key, ValueRead* read) {
            return ReadTextValue(key, L"LogDestDir", values.logDestDir, read);
        },
        reads ? &reads->logDestDir : nullptr);
    ReadDwordLayered(machineOnly, L"Event Log", values.eventLog,
                     reads ? &reads->eventLog : nullptr);
    ReadDwordLayered(machineOnly, L"LogMaxSize", values.logMaxSize,
                     reads ? &reads->logMaxSize : nullptr);
    // A list ends with an empty entry: the last two units stay zero whatever
    // the value holds, and a list that would need them counts as absent.
    ReadLayered(
        machineOnly,
        [&](HKEY key, ValueRead* read) {
            constexpr DWORD kListRoom = (kProducerAccountsUnits - 2) * sizeof(wchar_t);
            wchar_t list[kProducerAccountsUnits] = {};
            const LONG result = ReadRawValue(key, L"Producer Accounts", list, kListRoom, read);
            if (result == ERROR_SUCCESS) {
                std::copy(std::begin(list), std::end(list), values.producerAccounts);
            }
            return result;
        },
        reads ? &reads->producerAccounts : nullptr);
}

void ReadAgentSettings(wchar_t (&userName)[64]) {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    Win32().GetVersionExW(&version);
    NT4Mode = IsNT4(version) ? TRUE : FALSE;

    FormatText(AgentCaption, L"%s agent", kPrinterName);

    DWORD size = kUserNameUnits;
    if (!Win32().GetUserNameW(userName, &size)) userName[0] = L'\0';

    AgentValues values;
    ReadAgentValues(values);
    LogEnabled = values.log;
    MessageMode = values.messageMode;
    EventLogEnabled = values.eventLog;
    LogMaxSize = values.logMaxSize;
    std::copy(std::begin(values.logDestDir), std::end(values.logDestDir), LogDestDir);
    std::copy(std::begin(values.producerAccounts), std::end(values.producerAccounts),
              ProducerAccounts);

    wchar_t messageName[kTextUnits] = {};
    FormatText(messageName, L"%s_notify_message", kPrinterName);
    NotifyMessageId = Win32().RegisterWindowMessageW(messageName);
}

}  // namespace lmvn
