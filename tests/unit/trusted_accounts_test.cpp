// Whose job description files the agent acts on. Wine gives every file the
// same owner, so the owner a file reports is set through the seam here.
#include "job/trusted_accounts.h"

#include "common/settings.h"
#include "diag/format.h"
#include "diag/log.h"
#include "job/job_files.h"
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

// What GetSecurityInfo reports for every file the agent opens: this owner,
// or this error. The files themselves are real.
struct OwnerFake {
    static inline std::wstring owner;
    static inline DWORD error = ERROR_SUCCESS;
    static inline int asked = 0;

    static DWORD WINAPI Get(HANDLE, SE_OBJECT_TYPE type, SECURITY_INFORMATION, PSID* ownerOut,
                            PSID*, PACL*, PACL*, PSECURITY_DESCRIPTOR* descriptor) {
        if (type != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
        ++asked;
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
        OwnerFake::asked = 0;
        ASSERT_TRUE(lmvntest::WriteFileBytes(job_, "[Document]\r\nJobID=1\r\n"));
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
        return AcceptJobFile(job_.c_str()) != FALSE;
    }

    lmvntest::TempDir dir_{L"trusted"};
    const std::wstring job_ = dir_ / L"job.ini";
    lmvntest::ReportCapture reports_;
    ScopedApiOverride<decltype(&::GetSecurityInfo)> owner_{&Win32Api::GetSecurityInfo,
                                                           &OwnerFake::Get};
    const JobFileScope checkedFile_;
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
    EXPECT_TRUE(AcceptJobFile((dir_ / L"gone.ini").c_str()));
    EXPECT_TRUE(AcceptJobFile((dir_ / L"gone\\job.ini").c_str()));
    EXPECT_EQ(0, OwnerFake::asked);
    EXPECT_TRUE(reports_.Boxes().empty());

    CopyText(LogDestDir, dir_.path().c_str());
    LogEnabled = 1;
    ASSERT_TRUE(OpenLogFile());
    OwnerFake::error = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(AcceptJobFile(job_.c_str()));
    OwnerFake::error = ERROR_SUCCESS;
    OwnerFake::owner = kStranger;
    EXPECT_FALSE(AcceptJobFile(job_.c_str()));
    CloseLogFile();
    const auto lines = lmvntest::LogTexts(dir_ / L"vp_log.txt");
    const std::wstring refused =
        L"The job description file was not written by a trusted account. The job is refused.";
    EXPECT_EQ((std::vector<std::wstring>{L"Agent started.",
                                         L"Job refused. The owner of its job description file " +
                                             job_ + L" is unknown (error 5).",
                                         refused,
                                         L"Job refused. Its job description file " + job_ +
                                             L" is owned by " + std::wstring(kStranger) + L".",
                                         refused}),
              lines);
}

// The agent looks the path up again whenever it deletes for the job, and
// someone who may write the folder may have put another file there since the
// check: only the file whose owner was checked is read and removed.
TEST_F(TrustedAccounts, DeletionsActOnlyOnTheFileWhoseOwnerWasChecked) {
    const std::wstring page = dir_ / L"page0.emf";
    const std::wstring other = dir_ / L"other.ini";
    const std::string listing = "[EMF]\r\nCount=1\r\nFile0=" + lmvntest::Utf8(page) + "\r\n";
    const auto writeJob = [&](const std::wstring& path) {
        return lmvntest::WriteFileBytes(path, listing) && lmvntest::WriteFileBytes(page, "emf");
    };

    ASSERT_TRUE(writeJob(job_));
    ASSERT_TRUE(Accepts(OwnSid()));
    DeleteJobFiles(job_.c_str());
    EXPECT_FALSE(lmvntest::FileExists(job_));
    EXPECT_FALSE(lmvntest::FileExists(page));

    // Replaced after the check by a file of the same content.
    ASSERT_TRUE(writeJob(job_));
    ASSERT_TRUE(Accepts(OwnSid()));
    ASSERT_TRUE(writeJob(other));
    ASSERT_TRUE(MoveFileExW(other.c_str(), job_.c_str(), MOVEFILE_REPLACE_EXISTING));
    DeleteJobFiles(job_.c_str());
    DeleteJobFile(job_.c_str());
    EXPECT_TRUE(lmvntest::FileExists(job_));
    EXPECT_TRUE(lmvntest::FileExists(page));

    // Held while its list is read: it cannot be moved away meanwhile.
    static std::wstring heldJob;
    static std::wstring away;
    static int moves = 0;
    heldJob = job_;
    away = dir_ / L"away.ini";
    moves = 0;
    ASSERT_TRUE(DeleteFileW(job_.c_str()));
    ASSERT_TRUE(writeJob(job_));
    ASSERT_TRUE(Accepts(OwnSid()));
    {
        ScopedApiOverride<decltype(&::GetPrivateProfileStringW)> moveMeanwhile(
            &Win32Api::GetPrivateProfileStringW,
            [](LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR out, DWORD size,
               LPCWSTR path) -> DWORD {
                if (MoveFileExW(heldJob.c_str(), away.c_str(), 0)) ++moves;
                return ::GetPrivateProfileStringW(section, key, fallback, out, size, path);
            });
        DeleteJobFiles(job_.c_str());
    }
    EXPECT_EQ(0, moves);
    EXPECT_FALSE(lmvntest::FileExists(job_));
    EXPECT_FALSE(lmvntest::FileExists(page));

    // No file at the check, one later.
    ASSERT_TRUE(Accepts(OwnSid()));
    ASSERT_TRUE(writeJob(job_));
    DeleteJobFiles(job_.c_str());
    EXPECT_TRUE(lmvntest::FileExists(job_));
    EXPECT_TRUE(lmvntest::FileExists(page));
    EXPECT_TRUE(reports_.Boxes().empty());
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
    ASSERT_TRUE(registry.SetString(user, job_));
    // No "Client Application": a job that got past the check would be
    // reported (112) and its file deleted.
    OwnerFake::owner = kStranger;

    EXPECT_EQ(0u, ProcessingThread(nullptr));
    EXPECT_FALSE(registry.Exists(user));
    EXPECT_EQ(1, OwnerFake::asked);
    EXPECT_EQ(0, starts);
    EXPECT_EQ(0, deletions);
    EXPECT_TRUE(lmvntest::FileExists(job_));
    const auto boxes = reports_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(L"The job description file was not written"));
}

}  // namespace
}  // namespace lmvn
