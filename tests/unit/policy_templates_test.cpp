// The Group Policy templates shipped with the agent (packaging/policy, copied
// into the build beside the programs) against the agent itself: they must
// name exactly the values the agent reads from the policy keys, each under
// the class (machine, user) the agent reads it for, and every string and
// presentation they refer to must exist.
#include "agent/agent_main.h"
#include "job/client_settings.h"
#include "support/harness.h"
#include "support/scratch_registry.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

namespace lmvn {
namespace {

std::string Template(const wchar_t* name) {
    return lmvntest::ReadFileBytes(lmvntest::JoinPath(lmvntest::BuildDir(), name));
}

// Every match of `pattern`'s first group in `text`.
std::set<std::string> All(const std::string& text, const std::string& pattern) {
    std::set<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it) {
        found.insert((*it)[1].str());
    }
    return found;
}

struct TemplateValues {
    std::set<std::string> machine;  // value names of Machine and Both policies
    std::set<std::string> user;     // of User and Both policies
    std::set<std::string> keys;     // every key a policy writes to
};

TemplateValues ValuesOf(const std::string& admx) {
    TemplateValues values;
    const std::regex policy("<policy\\s([^>]*)>([\\s\\S]*?)</policy>");
    for (auto it = std::sregex_iterator(admx.begin(), admx.end(), policy);
         it != std::sregex_iterator(); ++it) {
        const std::string attributes = (*it)[1].str();
        const std::string whole = (*it)[0].str();
        const auto classes = All(attributes, "class=\"([A-Za-z]+)\"");
        const std::string kind = classes.empty() ? "" : *classes.begin();
        for (const std::string& key : All(attributes, "key=\"([^\"]*)\"")) values.keys.insert(key);
        for (const std::string& name : All(whole, "valueName=\"([^\"]*)\"")) {
            if (kind == "Machine" || kind == "Both") values.machine.insert(name);
            if (kind == "User" || kind == "Both") values.user.insert(name);
        }
    }
    return values;
}

// The value names the agent queries under each policy key, recorded through
// the seam while it reads its own values and a job's client values.
struct PolicyReads {
    static inline HKEY userRoot = nullptr;
    static inline HKEY machinePolicy = nullptr;
    static inline HKEY userPolicy = nullptr;
    static inline std::set<std::string> machine;
    static inline std::set<std::string> user;

    static LSTATUS WINAPI Open(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
        const LSTATUS status = ::RegOpenKeyExW(root, path, options, access, key);
        if (status == ERROR_SUCCESS && path != nullptr &&
            std::wstring(path) == L"Software\\Policies\\Lumvane") {
            if (root == HKEY_LOCAL_MACHINE) machinePolicy = *key;
            if (root == userRoot) userPolicy = *key;
        }
        return status;
    }
    static LSTATUS WINAPI Query(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD size) {
        const std::string narrow = lmvntest::Utf8(name != nullptr ? name : L"");
        if (key == machinePolicy) machine.insert(narrow);
        if (key == userPolicy) user.insert(narrow);
        return ::RegQueryValueExW(key, name, reserved, type, data, size);
    }
};

TEST(PolicyTemplates, NameExactlyTheValuesTheAgentReads) {
    const std::string admx = Template(L"policy\\lumvane.admx");
    const std::string adml = Template(L"policy\\en-US\\lumvane.adml");
    ASSERT_FALSE(admx.empty());
    ASSERT_FALSE(adml.empty());
    const TemplateValues templates = ValuesOf(admx);
    EXPECT_EQ((std::set<std::string>{"Software\\Policies\\Lumvane"}), templates.keys);

    // Both policy keys exist, empty: every value the agent looks for there is
    // asked for, and found in none.
    lmvntest::ScratchMachineKey scratch;
    ASSERT_TRUE(scratch.ok());
    HKEY policy = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Lumvane", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &policy, nullptr));
    RegCloseKey(policy);
    HKEY user = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"UserHive\\Software\\Policies\\Lumvane", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &policy, nullptr));
    RegCloseKey(policy);
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"UserHive", 0, KEY_ALL_ACCESS, &user));
    PolicyReads::userRoot = user;
    PolicyReads::machine.clear();
    PolicyReads::user.clear();
    {
        ScopedApiOverride<decltype(&::RegOpenKeyExW)> open(&Win32Api::RegOpenKeyExW,
                                                           &PolicyReads::Open);
        ScopedApiOverride<decltype(&::RegQueryValueExW)> query(&Win32Api::RegQueryValueExW,
                                                               &PolicyReads::Query);
        AgentValues values;
        ReadAgentValues(values, nullptr, user);
        ClientSettings settings;
        (void)LookUpClientSettings(user, HKEY_LOCAL_MACHINE, L"Software\\Lumvane", settings);
    }
    RegCloseKey(user);
    EXPECT_EQ(PolicyReads::machine, templates.machine);
    EXPECT_EQ(PolicyReads::user, templates.user);
    EXPECT_FALSE(templates.machine.empty());

    // Every string and presentation the template refers to is defined, and
    // every presentation shows an element of its policy.
    const auto strings = All(adml, "<string id=\"([^\"]+)\"");
    for (const std::string& id : All(admx, "\\$\\(string\\.([^)]+)\\)")) {
        EXPECT_EQ(1u, strings.count(id)) << id;
    }
    const auto presentations = All(adml, "<presentation id=\"([^\"]+)\"");
    EXPECT_EQ(All(admx, "\\$\\(presentation\\.([^)]+)\\)"), presentations);
    const auto elements =
        All(admx, "<(?:text|decimal|enum|multiText|boolean|list)\\s+id=\"([^\"]+)\"");
    EXPECT_EQ(elements, All(adml, "refId=\"([^\"]+)\""));
}

}  // namespace
}  // namespace lmvn
