// Jobs submitted with lmvnsubmit to the real agent, and the submitter itself.
#include "support/harness.h"
#include "support/robot.h"
#include "support/submitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace lmvntest {
namespace {

constexpr DWORD kTimeout = 20000;

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}
ptrdiff_t IndexOf(const std::vector<std::wstring>& lines, const std::wstring& text) {
    const auto at = std::find(lines.begin(), lines.end(), text);
    return at == lines.end() ? -1 : at - lines.begin();
}

// A logging agent in a fresh folder, ready when it waits for events.
class HandOverE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
        ASSERT_TRUE(agent_.Start(dir_.path()));
        ASSERT_TRUE(WaitForLine(L"Waiting for events."));
    }
    std::vector<std::wstring> Log() const { return LogTexts(dir_ / L"vp_log.txt"); }
    bool WaitForLine(const std::wstring& text) const {
        return WaitUntil([&] { return Contains(Log(), text); }, kTimeout);
    }
    void ExpectNoJobInfoReport() const {
        for (const auto& box : robot_.Boxes()) {
            EXPECT_EQ(std::wstring::npos, box.text.find(L"Failed to get print job info."));
        }
    }

    AgentRegistry registry_;
    TempDir dir_{L"handover"};
    DesktopRobot robot_;
    AgentProcess agent_;
};

TEST_F(HandOverE2E, PerUserJobIsTakenOverAndItsValueDeleted) {
    const SubmitResult r = Submit(L"--job-id 17 --pages 2 --dir \"" + dir_.path() + L"\"");
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << r.err;
    EXPECT_EQ(0u, r.out.find(dir_.path()));
    ASSERT_TRUE(WaitForLine(L"Print job info successfully retrieved. JobID=17"));

    const auto log = Log();
    const auto received = IndexOf(log, L"New print job received. Start processing thread.");
    const auto started = IndexOf(log, L"Processing thread started.");
    const auto retrieved = IndexOf(log, L"Print job info successfully retrieved. JobID=17");
    EXPECT_LE(0, received);
    EXPECT_LT(received, started);
    EXPECT_LT(started, retrieved);
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, UserName().c_str()));
    ExpectNoJobInfoReport();
    EXPECT_EQ(0u, agent_.Stop().value_or(99));
}

TEST_F(HandOverE2E, SharedJobLeavesTheUsersValueAndSystemIsTheFallback) {
    ASSERT_TRUE(
        AgentRegistry::SetString(HKEY_LOCAL_MACHINE, UserName().c_str(), L"C:\\not-this-job.ini"));
    SubmitResult r = Submit(L"--shared --job-id 21 --dir \"" + dir_.path() + L"\"");
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << r.err;
    ASSERT_TRUE(WaitForLine(L"Print job info successfully retrieved. JobID=21"));
    EXPECT_TRUE(Contains(Log(), L"Shared print job received. Start processing thread."));
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, L"Shared"));
    EXPECT_EQ(L"C:\\not-this-job.ini",
              AgentRegistry::GetString(HKEY_LOCAL_MACHINE, UserName().c_str()).value_or(L""));

    // No value under the user's name: the per-user job finds "SYSTEM".
    ASSERT_TRUE(AgentRegistry::Delete(HKEY_LOCAL_MACHINE, UserName().c_str()));
    r = Submit(L"--system --job-id 22 --dir \"" + dir_.path() + L"\"");
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << r.err;
    ASSERT_TRUE(WaitForLine(L"Print job info successfully retrieved. JobID=22"));
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, L"SYSTEM"));
    ExpectNoJobInfoReport();
    EXPECT_EQ(0u, agent_.Stop().value_or(99));
}

// The submitter on its own: no agent runs in these.
class Submitter : public ::testing::Test {
  protected:
    std::vector<std::wstring> Files() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((dir_ / L"*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                names.push_back(data.cFileName);
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return names;
    }
    std::wstring InDir() const { return L" --dir \"" + dir_.path() + L"\""; }

    AgentRegistry registry_;
    TempDir dir_{L"submit"};
};

TEST_F(Submitter, HelpAndCommandLineMistakes) {
    SubmitResult r = Submit(L"--help");
    EXPECT_EQ(0u, r.exitCode.value_or(99));
    for (const wchar_t* option :
         {L"--pages", L"--job-id", L"--dir", L"--job ", L"--user", L"--session", L"--shared",
          L"--system", L"--nt4", L"--value", L"--no-event", L"--wait-ms", L"--kill", L"--help"}) {
        EXPECT_NE(std::wstring::npos, r.out.find(option)) << option;
    }
    r = Submit(L"--frobnicate");
    EXPECT_EQ(1u, r.exitCode.value_or(99));
    EXPECT_NE(std::wstring::npos, r.err.find(L"--frobnicate"));
    r = Submit(L"--pages many");
    EXPECT_EQ(1u, r.exitCode.value_or(99));
    r = Submit(L"--shared --user someone");
    EXPECT_EQ(1u, r.exitCode.value_or(99));
}

TEST_F(Submitter, WithoutAnAgentNothingIsWritten) {
    SubmitResult r = Submit(L"--job-id 3" + InDir());
    EXPECT_EQ(5u, r.exitCode.value_or(99));
    EXPECT_NE(std::wstring::npos, r.err.find(L"_Lumvane_printevent_SESSION"));
    EXPECT_FALSE(AgentRegistry::Exists(HKEY_LOCAL_MACHINE, UserName().c_str()));
    EXPECT_TRUE(Files().empty());
    r = Submit(L"--kill");
    EXPECT_EQ(5u, r.exitCode.value_or(99));
    EXPECT_NE(std::wstring::npos, r.err.find(L"Global\\Lumvane_killevent"));
}

TEST_F(Submitter, WritesRealPagesAndTheJobDescriptionFile) {
    SubmitResult r = Submit(L"--no-event --pages 2 --job-id 31" + InDir());
    ASSERT_EQ(0u, r.exitCode.value_or(99)) << r.err;
    const std::wstring job = r.out;
    EXPECT_EQ(job, AgentRegistry::GetString(HKEY_LOCAL_MACHINE, UserName().c_str()).value_or(L""));
    EXPECT_EQ(31u, GetPrivateProfileIntW(L"Document", L"JobID", 0, job.c_str()));
    EXPECT_EQ(2u, GetPrivateProfileIntW(L"EMF", L"Count", 0, job.c_str()));
    for (const wchar_t* key : {L"File0", L"File1"}) {
        wchar_t page[MAX_PATH] = {};
        GetPrivateProfileStringW(L"EMF", key, L"", page, MAX_PATH, job.c_str());
        const std::string bytes = ReadFileBytes(page);
        ASSERT_GE(bytes.size(), 88u) << key;
        EXPECT_EQ(std::string("\x01\0\0\0", 4), bytes.substr(0, 4));  // EMR_HEADER
        EXPECT_EQ(" EMF", bytes.substr(40, 4));
    }
    EXPECT_EQ(3u, Files().size());
}

TEST_F(Submitter, WaitsWhileAnEarlierJobIsStillStored) {
    SubmitResult first = Submit(L"--no-event --value Shared --job-id 1" + InDir());
    ASSERT_EQ(0u, first.exitCode.value_or(99)) << first.err;

    // Still there after the bound: nothing is submitted and the earlier job
    // is not overwritten.
    SubmitResult second = Submit(L"--no-event --value Shared --wait-ms 300 --job-id 2" + InDir());
    EXPECT_EQ(4u, second.exitCode.value_or(99));
    EXPECT_EQ(first.out, AgentRegistry::GetString(HKEY_LOCAL_MACHINE, L"Shared").value_or(L""));
    EXPECT_EQ(2u, Files().size());  // the first job's: its page and its description

    // Taken over while the submitter waits: the new job follows.
    std::thread taker([] {
        Sleep(700);
        AgentRegistry::Delete(HKEY_LOCAL_MACHINE, L"Shared");
    });
    SubmitResult third = Submit(L"--no-event --value Shared --wait-ms 15000 --job-id 3" + InDir());
    taker.join();
    ASSERT_EQ(0u, third.exitCode.value_or(99)) << third.err;
    EXPECT_NE(first.out, third.out);
    EXPECT_EQ(third.out, AgentRegistry::GetString(HKEY_LOCAL_MACHINE, L"Shared").value_or(L""));
}

}  // namespace
}  // namespace lmvntest
