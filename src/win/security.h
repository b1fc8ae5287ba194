// Accounts and rights: the agent's own user, security descriptors written as
// text, and the checks the agent makes of the objects and files it meets.
#pragma once

#include "win/unique.h"

#include <span>

namespace lmvn {

// The string form ("S-1-5-21-...") of the user of this process's token.
// False (and `sid` empty) when it cannot be learned.
bool CurrentUserSid(std::span<wchar_t> sid);

// A self-relative security descriptor made from its text form (SDDL), owned
// by the caller; none (with the last error set) when the text is refused.
UniqueLocal DescriptorFromText(const wchar_t* sddl);

// Whether `sid` is the account that `text` names: a SID in string form or
// one of the text form's two-letter aliases ("SY", "BA", ...).
bool SidIs(PSID sid, const wchar_t* text);

// Calls `visit` for each allowing ACE of `dacl` with its SID and rights;
// false as soon as `visit` does, or at an ACE of any other kind (a denying
// ACE, an object ACE). True for an empty DACL; a null DACL (everyone may do
// anything) is the caller's to refuse.
template <typename Visit>
bool ForEachAllowingAce(const ACL& dacl, Visit visit) {
    for (DWORD index = 0; index < dacl.AceCount; ++index) {
        void* ace = nullptr;
        if (!Win32().GetAce(const_cast<ACL*>(&dacl), index, &ace)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!visit(reinterpret_cast<PSID>(&allowed->SidStart), allowed->Mask, header->AceFlags)) {
            return false;
        }
    }
    return true;
}

}  // namespace lmvn
