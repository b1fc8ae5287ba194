#include "job/handover.h"

#include "common/settings.h"
#include "diag/log.h"
#include "support/harness.h"
#include "capture.h"
#include "support/scratch_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lmvn {
namespace {

using lmvntest::ScratchMachineKey;

constexpr wchar_t kUser[] = L"user1";
constexpr wchar_t kKeyPath[] = L"Software\\Lumvane";

// Every run starts from the same settings, with reports captured and HKLM
// redirected to a scratch key.
class HandOver : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(registry_.ok());
        NT4Mode = FALSE;
        LogEnabled = 0;
        MessageMode = 0;
        for (auto& c : path_) c = L'#';
    }
    void TearDown() override {
        NT4Mode = FALSE;
        LogEnabled = 0;
    }

    BOOL Retrieve(DWORD argument, const wchar_t* user = kUser) {
        name_ = nullptr;
        for (auto& c : path_) c = L'#';
        return RetrieveJobInfo(argument, kKeyPath, user, std::span<wchar_t>(path_, kTextUnits),
                               name_);
    }
    std::wstring Path() const { return path_; }
    std::wstring Name() const { return name_ ? name_ : L"(none)"; }

    ScratchMachineKey registry_;
    lmvntest::ReportCapture reports_;
    // One unit more than the agent's buffer, to catch a write past its end.
    wchar_t path_[kTextUnits + 1] = {};
    const wchar_t* name_ = nullptr;
};

TEST(HandOverName, ByModeAndArgument) {
    EXPECT_STREQ(L"Print Job", FirstHandOverName(TRUE, 0, kUser));
    EXPECT_STREQ(L"Print Job", FirstHandOverName(TRUE, 1, kUser));
    EXPECT_STREQ(L"Shared", FirstHandOverName(FALSE, 1, kUser));
    EXPECT_STREQ(L"Shared", FirstHandOverName(FALSE, 7, kUser));
    EXPECT_EQ(kUser, FirstHandOverName(FALSE, 0, kUser));
}

// With a value under every name, each combination takes exactly the one the
// order names and deletes only that one.
TEST_F(HandOver, TakesTheFirstNameAndLeavesTheOthers) {
    struct Case {
        BOOL nt4;
        DWORD argument;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {TRUE, 0, L"Print Job"}, {TRUE, 1, L"Print Job"}, {FALSE, 1, L"Shared"}, {FALSE, 0, kUser}};
    const wchar_t* all[] = {L"Print Job", L"Shared", kUser, L"SYSTEM"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        for (const wchar_t* n : all) {
            ASSERT_TRUE(registry_.SetString(n, std::wstring(L"C:\\jobs\\") + n + L".ini"));
        }
        NT4Mode = c.nt4;
        ASSERT_TRUE(Retrieve(c.argument));
        EXPECT_EQ(std::wstring(L"C:\\jobs\\") + c.expected + L".ini", Path());
        EXPECT_EQ(std::wstring(c.expected), Name());
        EXPECT_EQ(L'#', path_[kTextUnits]);
        for (const wchar_t* n : all) {
            EXPECT_EQ(std::wstring(n) != c.expected, registry_.Exists(n)) << n;
        }
    }
    EXPECT_TRUE(reports_.Boxes().empty());
}

TEST_F(HandOver, FallsBackToSystemWhenTheFirstValueIsUnusable) {
    // Absent.
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", L"C:\\sys1.ini"));
    ASSERT_TRUE(Retrieve(0));
    EXPECT_EQ(L"C:\\sys1.ini", Path());
    EXPECT_EQ(L"SYSTEM", Name());
    EXPECT_FALSE(registry_.Exists(L"SYSTEM"));

    // Longer than 520 bytes: stays where it is, untouched.
    const std::wstring tooLong(300, L'x');
    ASSERT_TRUE(registry_.SetString(kUser, tooLong));
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", L"C:\\sys2.ini"));
    ASSERT_TRUE(Retrieve(0));
    EXPECT_EQ(L"C:\\sys2.ini", Path());
    EXPECT_EQ(tooLong, registry_.GetString(kUser).value_or(L""));

    // Exactly 520 bytes with no terminator: absent too.
    const std::wstring full(260, L'y');
    ASSERT_TRUE(registry_.SetRaw(kUser, REG_SZ, full.c_str(), 520));
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", L"C:\\sys3.ini"));
    ASSERT_TRUE(Retrieve(0));
    EXPECT_EQ(L"C:\\sys3.ini", Path());
    EXPECT_TRUE(registry_.Exists(kUser));

    // No user name: the key's unnamed value is never taken for a job.
    ASSERT_TRUE(registry_.SetString(L"", L"C:\\default.ini"));
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", L"C:\\sys4.ini"));
    ASSERT_TRUE(Retrieve(0, L""));
    EXPECT_EQ(L"C:\\sys4.ini", Path());
    EXPECT_TRUE(registry_.Exists(L""));
    EXPECT_TRUE(reports_.Boxes().empty());
}

TEST_F(HandOver, TakesLongestPathAndEmptyText) {
    const std::wstring longest = L"C:\\" + std::wstring(256, L'p');  // 259 units and the null
    ASSERT_TRUE(registry_.SetString(kUser, longest));
    ASSERT_TRUE(Retrieve(0));
    EXPECT_EQ(longest, Path());
    EXPECT_EQ(L'#', path_[kTextUnits]);

    ASSERT_TRUE(registry_.SetString(kUser, L""));
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", L"C:\\sys.ini"));
    ASSERT_TRUE(Retrieve(0));
    EXPECT_EQ(L"", Path());
    EXPECT_EQ(std::wstring(kUser), Name());
    EXPECT_FALSE(registry_.Exists(kUser));
    EXPECT_TRUE(registry_.Exists(L"SYSTEM"));
}

TEST_F(HandOver, ReportsWithTheErrorOfTheSystemRead) {
    // Nothing at all: error 2.
    EXPECT_FALSE(Retrieve(0));
    // First name too long (234), "SYSTEM" absent (2): the report says 2.
    ASSERT_TRUE(registry_.SetString(kUser, std::wstring(300, L'x')));
    EXPECT_FALSE(Retrieve(0));
    // First name absent (2), "SYSTEM" too long (234): the report says 234.
    ASSERT_TRUE(registry_.Delete(kUser));
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", std::wstring(300, L'x')));
    EXPECT_FALSE(Retrieve(0));
    EXPECT_TRUE(registry_.Exists(L"SYSTEM"));

    const auto boxes = reports_.Boxes();
    ASSERT_EQ(3u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(L"Failed to get print job info.\nError # 2: "));
    EXPECT_EQ(0u, boxes[1].text.find(L"Failed to get print job info.\nError # 2: "));
    EXPECT_EQ(0u, boxes[2].text.find(L"Failed to get print job info.\nError # 234: "));
    EXPECT_EQ(static_cast<UINT>(MB_SYSTEMMODAL), boxes[0].style);
}

TEST_F(HandOver, ReportsAMissingKeyInMessageModeToo) {
    registry_.RemoveAgentKey();
    EXPECT_FALSE(Retrieve(0));
    auto boxes = reports_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(
                      L"Failed to open registry key\nHKLM\\Software\\Lumvane\nError # 2: "));

    // In message mode the broadcast carries 0xF006 and the open's error.
    static std::vector<std::pair<WPARAM, LPARAM>> sent;
    sent.clear();
    ScopedApiOverride<decltype(&::SendNotifyMessageW)> notify(
        &Win32Api::SendNotifyMessageW, [](HWND, UINT, WPARAM w, LPARAM l) -> BOOL {
            sent.emplace_back(w, l);
            return TRUE;
        });
    MessageMode = 1;
    EXPECT_FALSE(Retrieve(0));
    MessageMode = 0;
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0xF006u, sent[0].first);
    EXPECT_EQ(2, sent[0].second);
    EXPECT_EQ(1u, reports_.Boxes().size());
}

// The deletion claims the job: a thread that finds the value already gone
// (another thread read it too and deleted it first) ends quietly.
TEST_F(HandOver, ASharedJobThatIsGoneEndsQuietlyButAnUnreadableOneIsReported) {
    EXPECT_FALSE(Retrieve(1));  // another session's agent took it
    EXPECT_TRUE(reports_.Boxes().empty());
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", std::wstring(300, L'x')));
    EXPECT_FALSE(Retrieve(1));
    const auto boxes = reports_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(L"Failed to get print job info.\nError # 234: "));
}

// A job stored before start-up, and the producer's late signal for it.
TEST_F(HandOver, AStoredJobIsFoundAndItsLateSignalIsQuietOnceWithinAMinute) {
    static ULONGLONG now = 1000;
    ScopedApiOverride<decltype(&::GetTickCount64)> clock(&Win32Api::GetTickCount64,
                                                         []() -> ULONGLONG { return now; });
    lmvntest::TempDir dir(L"stored");
    const std::wstring job = dir / L"job.ini";
    ASSERT_TRUE(lmvntest::WriteFileBytes(job, "[Document]\r\n"));

    // Nothing stored, or only other names: nothing to serve.
    EXPECT_FALSE(FindStoredJob(kKeyPath, kUser));
    ASSERT_TRUE(registry_.SetString(L"Shared", job));
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", job));
    EXPECT_FALSE(FindStoredJob(kKeyPath, kUser));
    ASSERT_TRUE(registry_.Delete(L"Shared"));
    ASSERT_TRUE(registry_.Delete(L"SYSTEM"));

    ASSERT_TRUE(registry_.SetString(kUser, job));
    EXPECT_TRUE(FindStoredJob(kKeyPath, kUser));
    EXPECT_TRUE(registry_.Exists(kUser));  // the thread of its signal takes it
    EXPECT_TRUE(Retrieve(0));
    now += 59 * 1000;
    EXPECT_FALSE(Retrieve(0));  // the producer's late signal
    EXPECT_TRUE(reports_.Boxes().empty());
    EXPECT_FALSE(Retrieve(0));  // once only
    EXPECT_EQ(1u, reports_.Boxes().size());

    // Past the minute a signal with nothing stored is reported again.
    ASSERT_TRUE(registry_.SetString(kUser, job));
    EXPECT_TRUE(FindStoredJob(kKeyPath, kUser));
    EXPECT_TRUE(Retrieve(0));
    now += 61 * 1000;
    EXPECT_FALSE(Retrieve(0));
    EXPECT_EQ(2u, reports_.Boxes().size());

    // With NT4Mode the stored name is "Print Job".
    NT4Mode = TRUE;
    ASSERT_TRUE(registry_.SetString(kUser, job));
    EXPECT_FALSE(FindStoredJob(kKeyPath, kUser));
    ASSERT_TRUE(registry_.SetString(L"Print Job", job));
    EXPECT_TRUE(FindStoredJob(kKeyPath, kUser));
    EXPECT_TRUE(Retrieve(0));
    EXPECT_EQ(L"Print Job", Name());
    EXPECT_FALSE(Retrieve(0));  // quiet, and no longer expected afterwards
    EXPECT_EQ(2u, reports_.Boxes().size());
}

TEST_F(HandOver, AStoredPathThatNamesNoFileIsDeleted) {
    lmvntest::TempDir dir(L"stored");
    for (const std::wstring& path :
         {dir / L"missing.ini", dir / L"no\\folder.ini", std::wstring()}) {
        ASSERT_TRUE(registry_.SetString(kUser, path));
        EXPECT_FALSE(FindStoredJob(kKeyPath, kUser)) << lmvntest::Utf8(path);
        EXPECT_FALSE(registry_.Exists(kUser)) << lmvntest::Utf8(path);
    }
    // Not armed by a dropped job: a signal with nothing stored is reported.
    EXPECT_FALSE(Retrieve(0));
    EXPECT_EQ(1u, reports_.Boxes().size());
}

TEST_F(HandOver, LosingTheClaimEndsQuietly) {
    static int profileReads = 0;
    profileReads = 0;
    ScopedApiOverride<decltype(&::GetPrivateProfileIntW)> profile(
        &Win32Api::GetPrivateProfileIntW, [](LPCWSTR, LPCWSTR, INT, LPCWSTR) -> UINT {
            ++profileReads;
            return 5;
        });
    ScopedApiOverride<decltype(&::RegDeleteValueW)> rival(
        &Win32Api::RegDeleteValueW, [](HKEY key, LPCWSTR name) -> LSTATUS {
            ::RegDeleteValueW(key, name);  // the other thread's deletion
            return ::RegDeleteValueW(key, name);
        });
    lmvntest::TempDir dir(L"handover");
    ASSERT_LT(dir.path().size(), static_cast<size_t>(kLogDestDirUnits));
    wcscpy_s(LogDestDir, dir.path().c_str());
    LogEnabled = 1;
    ASSERT_TRUE(OpenLogFile());
    ASSERT_TRUE(registry_.SetString(kUser, L"C:\\job.ini"));
    EXPECT_FALSE(Retrieve(0));
    EXPECT_FALSE(registry_.Exists(kUser));
    // A shared job lost to another agent says so in the log.
    ASSERT_TRUE(registry_.SetString(L"Shared", L"C:\\job.ini"));
    EXPECT_FALSE(Retrieve(1));
    CloseLogFile();
    LogDestDir[0] = L'\0';
    EXPECT_EQ(0, profileReads);
    EXPECT_TRUE(reports_.Boxes().empty());
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Agent started.", L"No shared print job found. Another agent has taken it."}),
              lmvntest::LogTexts(dir / L"vp_log.txt"));
}

TEST_F(HandOver, WithoutWriteAccessTheJobGoesOnAndTheValueStays) {
    static REGSAM deniedAccess = 0;
    deniedAccess = KEY_SET_VALUE;
    ScopedApiOverride<decltype(&::RegOpenKeyExW)> open(
        &Win32Api::RegOpenKeyExW,
        [](HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) -> LSTATUS {
            if (access & deniedAccess) return ERROR_ACCESS_DENIED;
            return ::RegOpenKeyExW(root, path, options, access, key);
        });
    ASSERT_TRUE(registry_.SetString(kUser, L"C:\\again.ini"));
    ASSERT_TRUE(Retrieve(0));
    EXPECT_EQ(L"C:\\again.ini", Path());
    // The next job event for the same name finds the same path again.
    ASSERT_TRUE(Retrieve(0));
    EXPECT_EQ(L"C:\\again.ini", Path());
    EXPECT_TRUE(registry_.Exists(kUser));

    deniedAccess = 0;
    ScopedApiOverride<decltype(&::RegDeleteValueW)> refuse(
        &Win32Api::RegDeleteValueW, [](HKEY, LPCWSTR) -> LSTATUS { return ERROR_ACCESS_DENIED; });
    ASSERT_TRUE(Retrieve(0));
    EXPECT_TRUE(registry_.Exists(kUser));
    EXPECT_TRUE(reports_.Boxes().empty());
}

TEST_F(HandOver, JobNumberIsReadAndLoggedOnlyWithLogging) {
    static std::vector<std::wstring> profileFiles;
    profileFiles.clear();
    ScopedApiOverride<decltype(&::GetPrivateProfileIntW)> profile(
        &Win32Api::GetPrivateProfileIntW,
        [](LPCWSTR section, LPCWSTR key, INT fallback, LPCWSTR file) -> UINT {
            profileFiles.push_back(file);
            return ::GetPrivateProfileIntW(section, key, fallback, file);
        });

    lmvntest::TempDir dir(L"handover");
    const std::wstring jobFile = dir / L"job.ini";
    ASSERT_TRUE(WritePrivateProfileStringW(L"Document", L"JobID", L"42", jobFile.c_str()));

    ASSERT_TRUE(registry_.SetString(kUser, jobFile));
    ASSERT_TRUE(Retrieve(0));
    EXPECT_TRUE(profileFiles.empty());

    ASSERT_LT(dir.path().size(), static_cast<size_t>(kLogDestDirUnits));
    wcscpy_s(LogDestDir, dir.path().c_str());
    LogEnabled = 1;
    ASSERT_TRUE(OpenLogFile());
    ASSERT_TRUE(registry_.SetString(kUser, jobFile));
    EXPECT_TRUE(Retrieve(0));
    ASSERT_TRUE(registry_.SetString(kUser, dir / L"missing.ini"));
    EXPECT_TRUE(Retrieve(0));
    CloseLogFile();
    LogDestDir[0] = L'\0';

    EXPECT_EQ((std::vector<std::wstring>{jobFile, dir / L"missing.ini"}), profileFiles);
    const auto lines = lmvntest::LogTexts(dir / L"vp_log.txt");
    EXPECT_EQ((std::vector<std::wstring>{L"Agent started.",
                                         L"Print job info successfully retrieved. JobID=42",
                                         L"Print job info successfully retrieved. JobID=0"}),
              lines);
}

}  // namespace
}  // namespace lmvn
