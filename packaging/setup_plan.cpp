#include "setup_plan.h"

namespace lmvnsetup {
namespace {

constexpr wchar_t kMainName[] = L"HKLM\\Software\\Lumvane";
constexpr wchar_t kSettingsName[] = L"HKLM\\Software\\Lumvane\\Settings";

int DigitValue(wchar_t c, int base) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (base == 16 && c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (base == 16 && c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Decimal digits, or hex digits after "0x" or "0X"; no sign, no blank.
bool ParseNumber(const std::wstring& text, unsigned long limit, unsigned long& number) {
    int base = 10;
    std::wstring digits = text;
    if (digits.size() > 2 && digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X')) {
        base = 16;
        digits.erase(0, 2);
    }
    if (digits.empty() || digits.size() > 10) return false;
    unsigned long long value = 0;
    for (const wchar_t c : digits) {
        const int digit = DigitValue(c, base);
        if (digit < 0) return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    if (value > limit) return false;
    number = static_cast<unsigned long>(value);
    return true;
}

std::wstring Quoted(const wchar_t* text) { return std::wstring(L"\"") + text + L"\""; }

}  // namespace

bool ValueFromProperty(const SettingSpec& spec, const std::wstring& given, StoredValue& value,
                       std::wstring& error) {
    StoredValue made;
    made.name = spec.value;
    if (spec.kind == Kind::Number) {
        unsigned long number = 0;
        if (!ParseNumber(given, spec.limit, number)) {
            error = L"must be a whole number from 0 to " + std::to_wstring(spec.limit) +
                    L", in decimal or in hex after 0x";
            return false;
        }
        made.type = REG_DWORD;
        for (int shift = 0; shift < 32; shift += 8) {
            made.data.push_back(static_cast<BYTE>((number >> shift) & 0xFF));
        }
    } else {
        if (given.size() > spec.limit) {
            error = L"is " + std::to_wstring(given.size()) + L" characters long; at most " +
                    std::to_wstring(spec.limit) + L" fit";
            return false;
        }
        made = TextValue(made.name, given);
    }
    value = std::move(made);
    return true;
}

bool SettingsKeyRefused(const KeyState& settings, std::wstring& note) {
    if (!settings.exists || settings.trusted) return false;
    note = std::wstring(kSettingsName) + L" is not protected: " + settings.writers +
           L". Its values cannot be vouched for: check them, give the key rights that let only "
           L"SYSTEM and Administrators write it (or delete it), then install again. Nothing was "
           L"changed.";
    return true;
}

Plan PlanInstall(const KeyState& main, const KeyState& settings, const SettingValues& given,
                 const SettingValues& captured) {
    Plan plan;
    std::wstring refusal;
    if (SettingsKeyRefused(settings, refusal)) {
        plan.refused = true;
        plan.notes.push_back(refusal);
        return plan;
    }
    std::vector<Change> moves;  // deleted from the main key after every write to Settings
    for (size_t i = 0; i < kSettings.size(); ++i) {
        const SettingSpec& spec = kSettings[i];
        const std::wstring name = Quoted(spec.value);
        if (given[i]) {
            plan.changes.push_back({Change::Op::Write, Where::Settings, *given[i]});
            plan.notes.push_back(name + L" is set from " + spec.property + L".");
            if (main.settings[i]) {
                plan.notes.push_back(name + L" under " + kMainName +
                                     L" is left there and not used: " + spec.property +
                                     L" gives the setting.");
            }
        } else if (settings.settings[i]) {
            plan.notes.push_back(name + L" is kept as it is in Settings.");
        } else if (captured[i]) {
            plan.changes.push_back({Change::Op::Write, Where::Settings, *captured[i]});
            plan.notes.push_back(name +
                                 L" is written back into Settings as it was before the older "
                                 L"version was removed.");
        } else if (main.settings[i]) {
            const std::wstring left = name + L" under " + kMainName + L" is left there and not ";
            if (settings.exists) {
                plan.notes.push_back(left +
                                     L"used: Settings exists, and users may have written the key "
                                     L"above.");
            } else if (!main.trusted) {
                plan.notes.push_back(left + L"moved into Settings: " + main.writers + L".");
            } else {
                plan.changes.push_back({Change::Op::Write, Where::Settings, *main.settings[i]});
                moves.push_back({Change::Op::Delete, Where::Main, *main.settings[i]});
                plan.notes.push_back(name + L" is moved from " + kMainName +
                                     L" into Settings: only administrators could write it there.");
            }
        }
    }
    plan.changes.insert(plan.changes.end(), moves.begin(), moves.end());
    return plan;
}

Plan PlanRemoval(const KeyState& main, const KeyState& settings) {
    Plan plan;
    DWORD removed = 0;
    for (size_t i = 0; i < kSettings.size(); ++i) {
        if (!settings.settings[i]) continue;
        plan.changes.push_back({Change::Op::Delete, Where::Settings, *settings.settings[i]});
        ++removed;
    }
    if (removed > 0) {
        plan.notes.push_back(std::to_wstring(removed) + L" setting(s) removed from " +
                             kSettingsName + L".");
    }
    if (!main.exists) return plan;
    const DWORD settingsLeft = settings.exists ? settings.values - removed + settings.subkeys : 0;
    const DWORD otherSubkeys = main.subkeys - (settings.exists && main.subkeys > 0 ? 1 : 0);
    if (settingsLeft == 0 && main.values == 0 && otherSubkeys == 0) {
        plan.removeKeys = true;
        plan.notes.push_back(std::wstring(kMainName) + L" and its Settings are removed.");
        return plan;
    }
    plan.closeMainKey = true;
    plan.notes.push_back(std::wstring(kMainName) + L" keeps " + std::to_wstring(main.values) +
                         L" value(s) and " + std::to_wstring(otherSubkeys) +
                         L" other subkey(s) that the package did not write, and stays, with rights "
                         L"that let only administrators write it. Its Settings stays too (" +
                         std::to_wstring(settingsLeft) +
                         L" value(s) and subkey(s) left), so that no value a user wrote into the "
                         L"key above is ever read or moved as a setting.");
    return plan;
}

}  // namespace lmvnsetup
