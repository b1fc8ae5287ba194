#include "ordinary_user.h"

#include "win/process_start.h"
#include "win/unique.h"

#include <cstdio>
#include <vector>

namespace lmvntest {
namespace {

using lmvn::UniqueHandle;

// The SID of the Administrators group.
struct AdministratorsSid {
    BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
    AdministratorsSid() {
        DWORD size = sizeof(bytes);
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, bytes, &size);
    }
    PSID get() { return bytes; }
};

// This process's token with Administrators deny-only, for
// CreateProcessAsUserW; none (the last error set) when it cannot be made.
// Wine gives the new token's handle the rights of the handle it was made
// from, so that one is opened with every right CreateProcessAsUserW needs.
UniqueHandle OrdinaryUserToken() {
    UniqueHandle own;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                          own.put())) {
        return {};
    }
    AdministratorsSid administrators;
    SID_AND_ATTRIBUTES denyOnly = {administrators.get(), 0};
    UniqueHandle restricted;
    if (!CreateRestrictedToken(own.get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr,
                               restricted.put())) {
        return {};
    }
    return restricted;
}

}  // namespace

BOOL StartOrdinaryUserProcess(LPWSTR commandLine, LPCWSTR directory, STARTUPINFOW* startup,
                              PROCESS_INFORMATION* started) {
    const UniqueHandle token = OrdinaryUserToken();
    if (!token) return FALSE;
    return lmvn::StartRetrying(
        [&] {
            return CreateProcessAsUserW(token.get(), nullptr, commandLine, nullptr, nullptr, FALSE,
                                        0, nullptr, directory, startup, started);
        },
        [](DWORD error) {
            fwprintf(stderr,
                     L"test support: a start as an ordinary user failed, error %lu; "
                     L"trying again\n",
                     error);
        });
}

std::optional<bool> RunsAsOrdinaryUser(HANDLE process) {
    UniqueHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return std::nullopt;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size);
    if (size == 0) return std::nullopt;
    std::vector<ULONG_PTR> buffer(size / sizeof(ULONG_PTR) + 1);  // aligned for the SID pointers
    if (!GetTokenInformation(token.get(), TokenGroups, buffer.data(), size, &size)) {
        return std::nullopt;
    }
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    AdministratorsSid administrators;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (EqualSid(groups->Groups[i].Sid, administrators.get())) {
            return (groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0;
        }
    }
    return true;  // not a member at all
}

}  // namespace lmvntest
