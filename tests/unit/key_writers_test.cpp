// Whether a key may be trusted with settings: the decision over a security
// descriptor (its owner and DACL).
#include "win/registry.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstring>
#include <string>

namespace lmvn {
namespace {

constexpr wchar_t kUsersSid[] = L"S-1-5-32-545";

// A self-relative descriptor made from SDDL, freed with the object.
class Descriptor {
  public:
    explicit Descriptor(const std::wstring& sddl) {
        ok_ = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   &descriptor_, nullptr) != FALSE;
    }
    ~Descriptor() { LocalFree(descriptor_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return ok_ ? descriptor_ : nullptr; }

  private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    bool ok_ = false;
};

KeyWriteCheck Check(const std::wstring& sddl) {
    Descriptor descriptor(sddl);
    EXPECT_NE(nullptr, descriptor.get()) << "SDDL: " << std::string(sddl.begin(), sddl.end());
    return CheckKeyWriters(descriptor.get());
}

std::wstring SidText(const KeyWriteCheck& check) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(const_cast<BYTE*>(check.sid), &text)) return L"";
    std::wstring result = text;
    LocalFree(text);
    return result;
}

std::wstring Described(const KeyWriteCheck& check) {
    wchar_t text[400] = {};
    DescribeKeyWriters(check, text);
    return text;
}

// The descriptors that administrators and the package make, and the one Wine
// reports for a key that nobody gave rights to, leave writing to SYSTEM,
// Administrators and TrustedInstaller.
TEST(KeyWritersTest, AdministratorsKeysAreTrusted) {
    for (const wchar_t* sddl : {
             // Wine's default for a key made by reg add under HKLM\Software
             L"O:BAG:BAD:(A;CIIO;GR;;;BU)(A;;KA;;;BA)",
             // the package's Settings
             L"O:BAD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)",
             // inherited from HKLM\Software on Windows, creator-owner template
             L"O:SYG:SYD:AI(A;CIIOID;KA;;;CO)(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)(A;CIID;KR;;;BU)"
             L"(A;CIID;KR;;;AC)",
             // owned by TrustedInstaller; Users denied outright
             L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
             L"D:(D;;KA;;;BU)(A;;KA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-"
             L"2271478464)(A;;KR;;;WD)",
             // an empty DACL: nobody but the owner
             L"O:BAD:",
         }) {
        const KeyWriteCheck check = Check(sddl);
        EXPECT_TRUE(check.trusted())
            << std::string(sddl, sddl + wcslen(sddl)) << ": " << static_cast<int>(check.writers);
    }
}

// Each right that lets its holder change values or rights, given to Users
// on the key itself, makes it untrusted; reading does not.
TEST(KeyWritersTest, EveryWriteRightOfAnotherSidIsFound) {
    const struct {
        const wchar_t* rights;
        bool write;
    } cases[] = {
        {L"0x2001b", true},  // the package's Users grant on the main key
        {L"0x2", true},      // KEY_SET_VALUE
        {L"0x4", true},      // KEY_CREATE_SUB_KEY
        {L"0x20", true},     // KEY_CREATE_LINK
        {L"WD", true},      {L"WO", true}, {L"SD", true},  {L"GW", true},  {L"GA", true},
        {L"KW", true},      {L"KA", true}, {L"KR", false}, {L"GR", false}, {L"0x20019", false},
    };
    for (const auto& c : cases) {
        const KeyWriteCheck check =
            Check(std::wstring(L"O:BAD:(A;;KA;;;SY)(A;;KA;;;BA)(A;;") + c.rights + L";;;BU)");
        const std::string what(c.rights, c.rights + wcslen(c.rights));
        if (!c.write) {
            EXPECT_TRUE(check.trusted()) << what;
            continue;
        }
        EXPECT_EQ(KeyWriters::Grant, check.writers) << what;
        EXPECT_EQ(kUsersSid, SidText(check)) << what;
        EXPECT_NE(0u, check.rights & kKeyWriteRights) << what;
    }
}

// Only ACEs that apply to the key itself count; CREATOR OWNER is trusted
// only as an inherit-only template. An owner outside the administrators, no
// DACL at all, an allow entry of an unknown kind, or no owner in the
// descriptor: untrusted.
TEST(KeyWritersTest, OwnersNullDaclsAndOddEntries) {
    EXPECT_TRUE(Check(L"O:BAD:(A;CIIO;KA;;;BU)(A;CIIO;GA;;;CO)(A;;KA;;;BA)").trusted());

    KeyWriteCheck check = Check(L"O:BAD:(A;;KA;;;BA)(A;;KA;;;CO)");
    EXPECT_EQ(KeyWriters::Grant, check.writers);
    EXPECT_EQ(L"S-1-3-0", SidText(check));

    check = Check(L"O:S-1-5-21-1-2-3-1001D:(A;;KA;;;BA)");
    EXPECT_EQ(KeyWriters::Owner, check.writers);
    EXPECT_EQ(L"S-1-5-21-1-2-3-1001", SidText(check));
    EXPECT_EQ(L"it is owned by S-1-5-21-1-2-3-1001, who may always change its rights",
              Described(check));

    // What Wine's token gives as owner once a process sets a key's DACL.
    EXPECT_EQ(KeyWriters::Owner, Check(L"O:S-1-5-21-0-0-0-513D:(A;;KA;;;BA)").writers);

    EXPECT_EQ(KeyWriters::Unreadable, Check(L"D:(A;;KA;;;BA)").writers);

    // No DACL at all, and an object ACE (which Wine's SDDL does not read):
    // built by hand.
    SECURITY_DESCRIPTOR absolute{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    Descriptor admins(L"O:BA");
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(admins.get(), &owner, &defaulted));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&absolute, owner, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&absolute, TRUE, nullptr, FALSE));
    check = CheckKeyWriters(&absolute);
    EXPECT_EQ(KeyWriters::NullDacl, check.writers);
    EXPECT_EQ(L"it has no DACL, so everyone may write it", Described(check));

    // An ACL of one ACCESS_ALLOWED_OBJECT_ACE without object types: header,
    // mask, flags, SID.
    const DWORD sidLength = GetLengthSid(owner);
    const WORD aceSize = static_cast<WORD>(12 + sidLength);
    alignas(DWORD) BYTE aclBuffer[128] = {};
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    *acl = ACL{ACL_REVISION_DS, 0, static_cast<WORD>(sizeof(ACL) + aceSize), 1, 0};
    BYTE* ace = aclBuffer + sizeof(ACL);
    *reinterpret_cast<ACE_HEADER*>(ace) = ACE_HEADER{ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, aceSize};
    *reinterpret_cast<ACCESS_MASK*>(ace + 4) = KEY_READ;
    std::memcpy(ace + 12, owner, sidLength);
    ASSERT_TRUE(SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE));
    EXPECT_EQ(KeyWriters::UnknownAce, CheckKeyWriters(&absolute).writers);

    check = Check(L"O:BAD:(A;;KA;;;BA)(A;;0x2001b;;;BU)");
    EXPECT_EQ(L"its DACL lets S-1-5-32-545 write (rights 0x2001B)", Described(check));
}

}  // namespace
}  // namespace lmvn
