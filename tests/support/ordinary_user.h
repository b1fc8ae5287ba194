// Programs run as an ordinary user. Every program under Wine runs with the
// Administrators group enabled; one started with a restricted token in which
// that group is deny-only is refused whatever a DACL grants only to
// Administrators, as a standard user's program is on Windows. Measured under
// Wine 8:
//
// - CreateRestrictedToken needs this process's token opened with
//   TOKEN_DUPLICATE (TOKEN_QUERY alone: error 5). CreateProcessAsUserW needs
//   TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY on the new token
//   (any two of them: error 5), and no privilege. The new token's handle
//   has the rights of the handle it was made from (TOKEN_DUPLICATE alone
//   makes a token that CreateProcessAsUserW refuses with error 5).
// - The program keeps the user SID, Everyone, Users, Authenticated Users,
//   Interactive and the primary group S-1-5-21-0-0-0-513 (the owner of what
//   it creates; the default DACL grants SYSTEM and that group full access, so
//   an object made with the default DACL by any program of the prefix opens
//   for every other). Administrators has the attributes 0x19 (deny-only).
// - It creates windows, shows message boxes, reads and writes the registry
//   (registry DACLs are not enforced), and the programs it starts run with
//   the same token.
// - Every Wine user has the same SID: making the user SID deny-only changes
//   nothing, so another user cannot be played this way.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace lmvntest {

// CreateProcessAsUserW with this process's token, Administrators made
// deny-only, tried again as StartTestProcess tries (same arguments, no
// handle inheritance). On failure the last error says why.
BOOL StartOrdinaryUserProcess(LPWSTR commandLine, LPCWSTR directory, STARTUPINFOW* startup,
                              PROCESS_INFORMATION* started);

// Whether `process` (opened with PROCESS_QUERY_INFORMATION) runs with the
// Administrators group deny-only; none when its token cannot be read.
std::optional<bool> RunsAsOrdinaryUser(HANDLE process);

}  // namespace lmvntest
