// The bounded log: past "LogMaxSize" vp_log.txt becomes vp_log.1.txt and a
// new one begins, with the real agent, and with four processes writing
// through the agent's own log code across a move.
#include "support/harness.h"
#include "support/robot.h"
#include "support/stagedouble.h"
#include "support/submitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lmvntest {
namespace {

constexpr wchar_t kPolicyPath[] = L"Software\\Policies\\Lumvane";

class LogMoveE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyPath);
        RegDeleteTreeW(HKEY_CURRENT_USER, kPolicyPath);
    }
    // The lines of vp_log.1.txt, then those of vp_log.txt, each file checked
    // for its one byte-order mark at the start, for whole lines and for
    // `maxBytes`.
    std::vector<LogLine> BothFiles(size_t maxBytes, size_t* movedBytes = nullptr) const {
        std::vector<LogLine> all;
        for (const wchar_t* name : {L"vp_log.1.txt", L"vp_log.txt"}) {
            const std::string bytes = ReadFileBytes(dir_ / name);
            EXPECT_EQ(0u, bytes.find("\xFF\xFE")) << Utf8(name);
            EXPECT_EQ(1, Occurrences(bytes, std::string("\xFF\xFE", 2))) << Utf8(name);
            EXPECT_LE(bytes.size(), maxBytes) << Utf8(name);
            if (movedBytes != nullptr && all.empty()) *movedBytes = bytes.size();
            for (LogLine& line : ParseLog(bytes)) {
                EXPECT_EQ(23u, line.stamp.size()) << Utf8(line.text);
                all.push_back(std::move(line));
            }
        }
        return all;
    }

    AgentRegistry registry_;
    TempDir dir_{L"logmove"};
    DesktopRobot robot_;
};

// 1 KiB from the machine policy, which neither the machine's settings nor the
// user's own values or policy can lift: two jobs fill the file more than once.
TEST_F(LogMoveE2E, TheRealAgentsLogMovesAtItsLimitWithEveryLineWhole) {
    ASSERT_TRUE(InstallStageDoubles(dir_.path()));
    const std::wstring journal = dir_ / L"journal.txt";
    ASSERT_TRUE(AgentRegistry::SetString(
        HKEY_CURRENT_USER, L"Client Application",
        L"\"" + JoinPath(BuildDir(), L"lmvnclient.exe") +
            L"\" --class LmvnE2ELogMove --quit-after 1 --lifetime 30000 --journal \"" + journal +
            L"\""));
    for (const auto& [root, value] : {std::pair{HKEY_LOCAL_MACHINE, 1}, {HKEY_CURRENT_USER, 0}}) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(root, kPolicyPath, L"LogMaxSize", REG_DWORD,
                                                 &value, sizeof(value)));
    }
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"LogMaxSize", 0));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"LogMaxSize", 0));

    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const wchar_t* name : {L"vp_log.1.txt", L"vp_log.txt"}) {
                for (const std::wstring& text : LogTexts(dir_ / name)) {
                    if (text == L"Waiting for events.") return true;
                }
            }
            return false;
        },
        30000));
    for (int job = 70; job < 72; ++job) {
        const SubmitResult r =
            Submit(L"--job-id " + std::to_wstring(job) + L" --dir \"" + dir_.path() + L"\"");
        ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
        const std::string expected = "jobid=" + std::to_string(job) + "\r\n";
        ASSERT_TRUE(
            WaitUntil([&] { return Occurrences(ReadFileBytes(journal), expected) == 1; }, 30000));
    }
    EXPECT_EQ(0u, agent.Stop().value_or(99));

    size_t movedBytes = 0;
    const auto all = BothFiles(1024, &movedBytes);
    // The moved file was full: its last line and the next would not fit.
    const auto first = ParseLog(ReadFileBytes(dir_ / L"vp_log.txt"));
    ASSERT_FALSE(first.empty());
    EXPECT_GT(movedBytes + (25 + first[0].text.size() + 2) * 2, 1024u);
    ASSERT_GT(all.size(), first.size() + 1);
    EXPECT_EQ(L"Suicide.", all[all.size() - 2].text);
    EXPECT_EQ(L"Agent exits.", all.back().text);
    EXPECT_TRUE(robot_.Boxes().empty());
}

// Four processes, two threads each, start together and write 12000 numbered
// lines through the agent's log code; the limit lets the first file take a
// bit over half of them, so exactly one move happens while all four write,
// and each of them writes on into the new file.
TEST_F(LogMoveE2E, FourWritersAcrossAMoveLoseCutAndDoubleNoLine) {
    constexpr int kWriters = 4;
    constexpr int kThreads = 2;
    constexpr int kLines = 1500;
    constexpr size_t kMaxBytes = 512 * 1024;  // of about 900 KiB written
    const std::wstring event = L"LmvnLogMoveStart" + std::to_wstring(GetCurrentProcessId());
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    std::vector<PROCESS_INFORMATION> started;
    for (int w = 0; w < kWriters; ++w) {
        std::wstring line = L"\"" + JoinPath(ProgramDir(), L"logwriter.exe") + L"\" " +
                            std::to_wstring(kLines) + L" " + std::to_wstring(kThreads) + L" w" +
                            std::to_wstring(w) + L" 512 " + event;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(StartTestProcess(line.data(), FALSE, 0, dir_.path().c_str(), &startup, &info));
        started.push_back(info);
    }
    // Each writer waits for it once it has opened the log and written its
    // "Agent started.": then they all start at once.
    EXPECT_TRUE(WaitUntil(
        [&] {
            const auto texts = LogTexts(dir_ / L"vp_log.txt");
            return std::count(texts.begin(), texts.end(), L"Agent started.") == kWriters;
        },
        30000));
    SetEvent(start);
    ExpectCleanExits(started, 60000);
    CloseHandle(start);

    size_t movedBytes = 0;
    const auto all = BothFiles(kMaxBytes, &movedBytes);
    EXPECT_GT(movedBytes, kMaxBytes - 100);
    const size_t inMoved = all.size() - ParseLog(ReadFileBytes(dir_ / L"vp_log.txt")).size();
    std::map<std::wstring, int> seen;
    std::map<wchar_t, int> writersIn[2];  // each writer's lines in each file
    for (size_t i = 0; i < all.size(); ++i) {
        ++seen[all[i].text];
        if (all[i].text[0] == L'w') ++writersIn[i < inMoved ? 0 : 1][all[i].text[1]];
    }
    EXPECT_EQ(static_cast<size_t>(kWriters * (1 + kThreads * kLines)), all.size());
    EXPECT_EQ(kWriters, seen[L"Agent started."]);
    int lostOrDoubled = 0;
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_GT(writersIn[0][L'0' + w], 0) << w;
        EXPECT_GT(writersIn[1][L'0' + w], 0) << w;
        for (int t = 0; t < kThreads; ++t) {
            for (int i = 0; i < kLines; ++i) {
                const std::wstring text = L"w" + std::to_wstring(w) + L" " + std::to_wstring(t) +
                                          L" " + std::to_wstring(i) + L".";
                lostOrDoubled += seen[text] != 1;
            }
        }
    }
    EXPECT_EQ(0, lostOrDoubled);
}

}  // namespace
}  // namespace lmvntest
