// Whose job description files the agent acts on. Wine gives every file the
// same owner, so the owner a file reports is set through the seam here.
#include "job/trusted_accounts.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "job/processing_thread.h"
#include "support/harness.h"
#include "support/scratch_registry.h"
#include "capture.h"
#include "win/security.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lmvn {
namespace {

// What GetNamedSecurityInfoW reports for every file: this owner, or this
// error.
struct OwnerFake {
    static inline std::wstring owner;
    static inline DWORD error = ERROR_SUCCESS;
    static inline std::vector<std::wstring> asked;

    static DWORD WINAPI Get(LPCWSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* ownerOut,
                            PSID*, PACL*, PACL*, PSECURITY_DESCRIPTOR* descriptor) {
        asked.push_back(path);
        if (error != ERROR_SUCCESS) return error;
        const std::wstring text = L"O:" + owner;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                  descriptor, nullptr)) {
            return GetLastError();
        }
        BOOL defaulted = FALSE;
        GetSecurityDescriptorOwner(*descriptor, ownerOut, &defaulted);
        return ERROR_SUCCESS;
    }
};

std::wstring OwnSid() {
    wchar_t sid[256] = {};
    EXPECT_TRUE(CurrentUserSid(sid));
    return sid;
}

constexpr wchar_t kStranger[] = L"S-1-5-21-1000-2000-3000-1001";

class TrustedAccounts : public ::testing::Test {
  protected:
    void SetUp() override {
        OwnerFake::owner = OwnSid();
        OwnerFake::error = ERROR_SUCCESS;
        OwnerFake::asked.clear();
        ProducerAccounts[0] = L'\0';
        LogEnabled = 0;
        MessageMode = 0;
    }
    void TearDown() override {
        ProducerAccounts[0] = L'\0';
        CloseLogFile();
        LogEnabled = 0;
        LogDestDir[0] = L'\0';
    }
    // Sets the list from entries, each with its terminator, then the empty one.
    static void SetProducers(std::initializer_list<std::wstring> entries) {
        std::wstring list;
        for (const auto& entry : entries) list += entry + L'\0';
        list += L'\0';
        std::copy(list.begin(), list.end(), ProducerAccounts);
    }
    bool Accepts(const std::wstring& owner) {
        OwnerFake::owner = owner;
        return AcceptJobFile(L"C:\\jobs\\job.ini") != FALSE;
    }

    lmvntest::ReportCapture reports_;
    ScopedApiOverride<decltype(&::GetNamedSecurityInfoW)> owner_{&Win32Api::GetNamedSecurityInfoW,
                                                                 &OwnerFake::Get};
};

TEST_F(TrustedAccounts, TheUserSystemAdministratorsAndNamedProducersOnly) {
    EXPECT_TRUE(Accepts(OwnSid()));
    EXPECT_TRUE(Accepts(L"S-1-5-18"));      // SYSTEM
    EXPECT_TRUE(Accepts(L"S-1-5-32-544"));  // Administrators
    EXPECT_TRUE(reports_.Boxes().empty());

    EXPECT_FALSE(Accepts(kStranger));
    EXPECT_FALSE(Accepts(L"S-1-5-32-545"));  // Users
    EXPECT_FALSE(Accepts(L"S-1-5-20"));      // Network Service, until it is named

    // Entries that name no account are passed over, the rest count; a SID
    // and an alias name the same.
    SetProducers({L"not an account", L"NS", kStranger});
    EXPECT_TRUE(Accepts(L"S-1-5-20"));
    EXPECT_TRUE(Accepts(kStranger));
    EXPECT_FALSE(Accepts(L"S-1-5-19"));  // Local Service

    const auto boxes = reports_.Boxes();
    ASSERT_EQ(4u, boxes.size());
    for (const auto& box : boxes) {
        EXPECT_EQ(
            L"The job description file was not written by a trusted account. The job is "
            L"refused.",
            box.text);
    }
}

TEST_F(TrustedAccounts, AMissingFileGoesOnAnUnknownOwnerDoesNot) {
    OwnerFake::error = ERROR_FILE_NOT_FOUND;
    EXPECT_TRUE(AcceptJobFile(L"C:\\jobs\\gone.ini"));
    OwnerFake::error = ERROR_PATH_NOT_FOUND;
    EXPECT_TRUE(AcceptJobFile(L"C:\\gone\\job.ini"));
    EXPECT_TRUE(reports_.Boxes().empty());

    lmvntest::TempDir dir(L"trusted");
    CopyText(LogDestDir, dir.path().c_str());
    LogEnabled = 1;
    ASSERT_TRUE(OpenLogFile());
    OwnerFake::error = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(AcceptJobFile(L"C:\\jobs\\locked.ini"));
    OwnerFake::error = ERROR_SUCCESS;
    OwnerFake::owner = kStranger;
    EXPECT_FALSE(AcceptJobFile(L"C:\\jobs\\planted.ini"));
    CloseLogFile();
    const auto lines = lmvntest::LogTexts(dir / L"vp_log.txt");
    const std::wstring refused =
        L"The job description file was not written by a trusted account. The job is refused.";
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Agent started.",
                  L"Job refused. The owner of its job description file C:\\jobs\\locked.ini is "
                  L"unknown (error 5).",
                  refused,
                  L"Job refused. Its job description file C:\\jobs\\planted.ini is owned by " +
                      std::wstring(kStranger) + L".",
                  refused}),
              lines);
}

// A refused job has been claimed (its value is gone, so that the producer is
// not held up), and nothing else happens: no stage starts, no file of it is
// deleted, whatever the client settings would have done with it.
TEST_F(TrustedAccounts, ARefusedJobIsClaimedAndTouchesNothing) {
    static int starts = 0;
    static int deletions = 0;
    starts = 0;
    deletions = 0;
    ScopedApiOverride<decltype(&::CreateProcessW)> start(
        &Win32Api::CreateProcessW,
        [](LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
           LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) -> BOOL {
            ++starts;
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        });
    ScopedApiOverride<decltype(&::DeleteFileW)> remove(&Win32Api::DeleteFileW, [](LPCWSTR) -> BOOL {
        ++deletions;
        return TRUE;
    });
    lmvntest::ScratchMachineKey registry;
    ASSERT_TRUE(registry.ok());
    wchar_t user[kUserNameUnits] = {};
    DWORD size = kUserNameUnits;
    ASSERT_TRUE(GetUserNameW(user, &size));
    ASSERT_TRUE(registry.SetString(user, L"C:\\jobs\\planted.ini"));
    // No "Client Application": a job that got past the check would be
    // reported (112) and its file deleted.
    OwnerFake::owner = kStranger;

    EXPECT_EQ(0u, ProcessingThread(nullptr));
    EXPECT_FALSE(registry.Exists(user));
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\jobs\\planted.ini"}), OwnerFake::asked);
    EXPECT_EQ(0, starts);
    EXPECT_EQ(0, deletions);
    const auto boxes = reports_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(L"The job description file was not written"));
}

}  // namespace
}  // namespace lmvn
