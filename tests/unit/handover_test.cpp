#include "job/handover.h"

#include "common/settings.h"
#include "diag/log.h"
#include "support/harness.h"
#include "capture.h"
#include "support/scratch_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
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

TEST_F(HandOver, FallsBackToSystemOnlyWhenTheFirstValueIsAbsent) {
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", L"C:\\sys1.ini"));
    ASSERT_TRUE(Retrieve(0));
    EXPECT_EQ(L"C:\\sys1.ini", Path());
    EXPECT_EQ(L"SYSTEM", Name());
    EXPECT_FALSE(registry_.Exists(L"SYSTEM"));

    // No user name: the key's unnamed value is never taken for a job.
    ASSERT_TRUE(registry_.SetString(L"", L"C:\\default.ini"));
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", L"C:\\sys2.ini"));
    ASSERT_TRUE(Retrieve(0, L""));
    EXPECT_EQ(L"C:\\sys2.ini", Path());
    EXPECT_TRUE(registry_.Exists(L""));
    EXPECT_TRUE(reports_.Boxes().empty());
}

// A value that is there but holds no path would otherwise stay for good, and
// its producer, waiting for it to go, would store no further job: it is
// claimed like a job and reported with the read's error. "SYSTEM" stays for
// its own signal.
TEST_F(HandOver, AnUnreadableValueIsClaimedAndReported) {
    const std::wstring full(260, L'y');
    const DWORD number = 7;
    struct Case {
        const char* name;
        DWORD type;
        std::wstring data;
        DWORD size;
        int error;
    };
    const std::wstring tooLong(300, L'x');
    const Case cases[] = {
        {"longer than 520 bytes", REG_SZ, tooLong, 602, ERROR_MORE_DATA},
        {"520 bytes, no terminator", REG_SZ, full, 520, ERROR_MORE_DATA},
        {"a number", REG_DWORD, std::wstring(reinterpret_cast<const wchar_t*>(&number), 2), 4,
         ERROR_INVALID_DATA},
    };
    for (DWORD argument : {0u, 1u}) {
        const wchar_t* name = argument == 0 ? kUser : L"Shared";
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            ASSERT_TRUE(registry_.SetRaw(name, c.type, c.data.c_str(), c.size));
            ASSERT_TRUE(registry_.SetString(L"SYSTEM", L"C:\\sys.ini"));
            const size_t before = reports_.Boxes().size();
            EXPECT_FALSE(Retrieve(argument));
            EXPECT_FALSE(registry_.Exists(name));
            EXPECT_TRUE(registry_.Exists(L"SYSTEM"));
            const auto boxes = reports_.Boxes();
            ASSERT_EQ(before + 1, boxes.size());
            EXPECT_EQ(0u, boxes.back().text.find(L"Failed to get print job info.\nError # " +
                                                 std::to_wstring(c.error) + L": "));
        }
    }
    // REG_EXPAND_SZ is text too, taken as it stands.
    ASSERT_TRUE(registry_.SetRaw(kUser, REG_EXPAND_SZ, L"%TEMP%\\j.ini", 26));
    ASSERT_TRUE(Retrieve(0));
    EXPECT_EQ(L"%TEMP%\\j.ini", Path());
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
    // First name absent, "SYSTEM" too long: 234, and "SYSTEM" is claimed.
    ASSERT_TRUE(registry_.SetString(L"SYSTEM", std::wstring(300, L'x')));
    EXPECT_FALSE(Retrieve(0));
    EXPECT_FALSE(registry_.Exists(L"SYSTEM"));

    const auto boxes = reports_.Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(L"Failed to get print job info.\nError # 2: "));
    EXPECT_EQ(0u, boxes[1].text.find(L"Failed to get print job info.\nError # 234: "));
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
// (the agent of another session deleted it first) ends quietly, also when
// the value it read was unreadable: only the agent that claimed it reports.
TEST_F(HandOver, TheAgentWhoseDeletionLosesStaysQuiet) {
    EXPECT_FALSE(Retrieve(1));  // another session's agent took it before the read
    EXPECT_TRUE(reports_.Boxes().empty());

    ScopedApiOverride<decltype(&::RegDeleteValueW)> rival(
        &Win32Api::RegDeleteValueW, [](HKEY key, LPCWSTR name) -> LSTATUS {
            ::RegDeleteValueW(key, name);  // the other agent's deletion
            return ::RegDeleteValueW(key, name);
        });
    for (DWORD argument : {0u, 1u}) {
        const wchar_t* name = argument == 0 ? kUser : L"Shared";
        ASSERT_TRUE(registry_.SetString(name, std::wstring(300, L'x')));
        EXPECT_FALSE(Retrieve(argument));
        ASSERT_TRUE(registry_.SetString(name, L"C:\\job.ini"));
        EXPECT_FALSE(Retrieve(argument));
        EXPECT_FALSE(registry_.Exists(name));
    }
    EXPECT_TRUE(reports_.Boxes().empty());
}

// Reading and deleting a name is one step among the agent's threads. Here a
// second thread comes for the name while the first has read it, and the
// producer stores its next job as soon as the first has deleted the value:
// each thread must end up with a job of its own, neither job twice.
TEST_F(HandOver, TheClaimIsOneStepAmongTheAgentsThreads) {
    static HANDLE firstHasRead;
    static HANDLE secondHasRead;
    static std::atomic<DWORD> firstThread;
    firstHasRead = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    secondHasRead = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    firstThread = 0;
    ScopedApiOverride<decltype(&::RegQueryValueExW)> read(
        &Win32Api::RegQueryValueExW,
        [](HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
           LPDWORD size) -> LSTATUS {
            const LSTATUS status = ::RegQueryValueExW(key, name, reserved, type, data, size);
            if (GetCurrentThreadId() == firstThread && data != nullptr) {
                SetEvent(firstHasRead);
                // Give the second thread every chance to read the same job.
                WaitForSingleObject(secondHasRead, 1000);
            } else if (data != nullptr) {
                SetEvent(secondHasRead);
            }
            return status;
        });
    ScopedApiOverride<decltype(&::RegDeleteValueW)> producer(
        &Win32Api::RegDeleteValueW, [](HKEY key, LPCWSTR name) -> LSTATUS {
            const LSTATUS status = ::RegDeleteValueW(key, name);
            if (GetCurrentThreadId() == firstThread) {
                const wchar_t next[] = L"C:\\jobs\\second.ini";
                ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(next),
                                 sizeof(next));
            }
            return status;
        });
    ASSERT_TRUE(registry_.SetString(kUser, L"C:\\jobs\\first.ini"));

    wchar_t firstPath[kTextUnits] = {};
    wchar_t secondPath[kTextUnits] = {};
    BOOL firstOk = FALSE;
    BOOL secondOk = FALSE;
    std::thread first([&] {
        firstThread = GetCurrentThreadId();
        const wchar_t* name = nullptr;
        firstOk = RetrieveJobInfo(0, kKeyPath, kUser, firstPath, name);
    });
    while (firstThread == 0) Sleep(1);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(firstHasRead, 10000));
    std::thread second([&] {
        const wchar_t* name = nullptr;
        secondOk = RetrieveJobInfo(0, kKeyPath, kUser, secondPath, name);
    });
    first.join();
    second.join();
    for (HANDLE h : {firstHasRead, secondHasRead}) CloseHandle(h);

    EXPECT_TRUE(firstOk);
    EXPECT_TRUE(secondOk);
    EXPECT_STREQ(L"C:\\jobs\\first.ini", firstPath);
    EXPECT_STREQ(L"C:\\jobs\\second.ini", secondPath);
    EXPECT_FALSE(registry_.Exists(kUser));
    EXPECT_TRUE(reports_.Boxes().empty());
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

    // A signal that lost its claim to another agent has been accounted for:
    // it does not leave the quiet pass armed for a later one.
    NT4Mode = FALSE;
    ASSERT_TRUE(registry_.SetString(kUser, job));
    EXPECT_TRUE(FindStoredJob(kKeyPath, kUser));
    {
        ScopedApiOverride<decltype(&::RegDeleteValueW)> rival(
            &Win32Api::RegDeleteValueW, [](HKEY key, LPCWSTR name) -> LSTATUS {
                ::RegDeleteValueW(key, name);
                return ::RegDeleteValueW(key, name);
            });
        EXPECT_FALSE(Retrieve(0));
    }
    EXPECT_EQ(2u, reports_.Boxes().size());
    EXPECT_FALSE(Retrieve(0));
    EXPECT_EQ(3u, reports_.Boxes().size());
}

// Start-up reads the registry only: the stored path may name a host on the
// network, and the main thread must not wait for it. The thread that claims
// the stored path looks the file up, and drops a path that names nothing.
TEST_F(HandOver, AStoredPathIsLookedUpByItsThreadAndDroppedWhenItNamesNoFile) {
    static DWORD lookups = 0;
    lookups = 0;
    ScopedApiOverride<decltype(&::GetFileAttributesW)> lookup(&Win32Api::GetFileAttributesW,
                                                              [](LPCWSTR path) -> DWORD {
                                                                  ++lookups;
                                                                  return ::GetFileAttributesW(path);
                                                              });
    lmvntest::TempDir dir(L"stored");
    for (const std::wstring& path :
         {dir / L"missing.ini", dir / L"no\\folder.ini", std::wstring()}) {
        SCOPED_TRACE(lmvntest::Utf8(path));
        ASSERT_TRUE(registry_.SetString(kUser, path));
        lookups = 0;
        EXPECT_TRUE(FindStoredJob(kKeyPath, kUser));
        EXPECT_EQ(0u, lookups);
        EXPECT_TRUE(registry_.Exists(kUser));
        EXPECT_FALSE(Retrieve(0));
        EXPECT_FALSE(registry_.Exists(kUser));
    }
    // Not armed by a dropped job: a signal with nothing stored is reported.
    EXPECT_FALSE(Retrieve(0));
    EXPECT_EQ(1u, reports_.Boxes().size());
    // Only the stored path is looked up: a later job that names no file is
    // delivered (and its stages report what is missing).
    ASSERT_TRUE(registry_.SetString(kUser, dir / L"missing.ini"));
    lookups = 0;
    EXPECT_TRUE(Retrieve(0));
    EXPECT_EQ(0u, lookups);
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
                  L"Agent started.", L"No print job found. Another agent has taken it.",
                  L"No shared print job found. Another agent has taken it."}),
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
