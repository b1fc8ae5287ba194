// What the installer package does with the machine-wide settings, decided
// without touching the machine: from the properties given, and from what
// HKLM\Software\Lumvane (the main key, where users may set values while the
// package is installed) and its subkey Settings (administrators only) hold.
// The custom actions read that state, apply the plan and log its notes.
#pragma once

#include <windows.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "setup_records.h"

namespace lmvnsetup {

enum class Kind { Number, Text };

// One setting: the public property that gives it and the registry value it
// writes under Settings.
struct SettingSpec {
    const wchar_t* property;
    const wchar_t* value;
    Kind kind;
    unsigned long limit;  // Number: largest value; Text: most characters
};

// The nine settings. The registry room of each value, as the agent reads it:
// 259 characters for the client texts, 255 for "LogDestDir".
inline constexpr std::array<SettingSpec, 9> kSettings = {{
    {L"CLIENTAPPLICATION", L"Client Application", Kind::Text, 259},
    {L"TRANSFERMODE", L"Transfer Mode", Kind::Number, 2},
    {L"TARGETWINDOWCLASS", L"Target Window Class", Kind::Text, 259},
    {L"TARGETWINDOWTITLE", L"Target Window Title", Kind::Text, 259},
    {L"CLIPBOARDFORMAT", L"Clipboard Format", Kind::Text, 259},
    {L"MESSAGEID", L"Message ID", Kind::Number, 0x7FFFFFFF},
    {L"LOG", L"Log", Kind::Number, 1},
    {L"LOGDESTDIR", L"LogDestDir", Kind::Text, 255},
    {L"MESSAGEMODE", L"Message Mode", Kind::Number, 1},
}};

// One optional value per setting, in the order of kSettings.
using SettingValues = std::array<std::optional<StoredValue>, kSettings.size()>;

// The value a property's text gives: a REG_DWORD for a number (decimal
// digits, or hex digits after "0x"), a REG_SZ with its terminator for text.
// Returns false, with `error` saying why, when the text is out of range.
[[nodiscard]] bool ValueFromProperty(const SettingSpec& spec, const std::wstring& given,
                                     StoredValue& value, std::wstring& error);

// What one key holds, as the installer found it.
struct KeyState {
    bool exists = false;
    bool trusted = true;     // no one but SYSTEM, Administrators, TrustedInstaller may write it
    std::wstring writers;    // when not trusted: who else may, in words, for the log
    SettingValues settings;  // the values of the settings' names found there
    DWORD values = 0;        // every value of the key, the settings' included
    DWORD subkeys = 0;
};

enum class Where { Main, Settings };

struct Change {
    enum class Op { Write, Delete } op = Op::Write;
    Where key = Where::Settings;
    StoredValue value;  // Delete: only its name counts
};

struct Plan {
    bool refused = false;  // nothing may be changed; the notes say why
    std::vector<Change> changes;
    std::vector<std::wstring> notes;  // one installer log line each
    // Removal only, after the changes: delete both keys, or keep the main key
    // (values the package did not write are left) with rights that let only
    // administrators write it, and Settings with it.
    bool removeKeys = false;
    bool closeMainKey = false;
};

// Whether a Settings key is refused because someone besides the
// administrators may write it; `note` then says so for the log.
bool SettingsKeyRefused(const KeyState& settings, std::wstring& note);

// Install, repair, upgrade or a maintenance run. For each setting, in this
// order: a given property wins (a value of that name in the main key is
// left there, unused); a value already in Settings is kept as it
// is; a value `captured` from Settings before an older version's removal is
// written back byte for byte; a value in the main key is moved (copied as
// stored, then deleted there) only when Settings does not exist yet and the
// main key is trusted; otherwise it is left where it is. A Settings key that
// someone besides the administrators may write refuses the plan: its values
// cannot be vouched for.
Plan PlanInstall(const KeyState& main, const KeyState& settings, const SettingValues& given,
                 const SettingValues& captured);

// Uninstall: removes the settings' values from Settings, never a value of
// the main key (a pending job is named after its user, and a user may be
// called "Log"). When nothing else is left in either key, both go. Otherwise
// the main key stays with rights that let only administrators write it, and
// Settings stays too, empty if need be, so that nothing a user wrote into the
// main key while the package was installed is ever read or moved as a
// setting.
Plan PlanRemoval(const KeyState& main, const KeyState& settings);

}  // namespace lmvnsetup
