// The bounded log: past "LogMaxSize" vp_log.txt becomes vp_log.1.txt and a
// new one begins, with the real agent, and with four processes writing
// through the agent's own log code across a move.
#include "support/harness.h"
#include "support/robot.h"
#include "support/stagedouble.h"
#include "support/submitter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace lmvntest {
namespace {

constexpr DWORD kTimeout = 30000;
constexpr wchar_t kPolicyPath[] = L"Software\\Policies\\Lumvane";

bool SetPolicyDword(HKEY root, const wchar_t* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, kPolicyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const LSTATUS status =
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The two files of the log, each checked for its one byte-order mark at the
// start and for lines that are all whole.
struct LogFiles {
    std::string movedBytes;
    std::string currentBytes;
    std::vector<LogLine> moved;
    std::vector<LogLine> current;

    explicit LogFiles(const TempDir& dir)
        : movedBytes(ReadFileBytes(dir / L"vp_log.1.txt")),
          currentBytes(ReadFileBytes(dir / L"vp_log.txt")),
          moved(ParseLog(movedBytes)),
          current(ParseLog(currentBytes)) {}

    void ExpectWhole() const {
        for (const std::string* bytes : {&movedBytes, &currentBytes}) {
            EXPECT_EQ(0u, bytes->find("\xFF\xFE"));
            EXPECT_EQ(1, Occurrences(*bytes, std::string("\xFF\xFE", 2)));
            EXPECT_EQ(0u, bytes->size() % 2);
        }
        for (const auto* lines : {&moved, &current}) {
            for (const LogLine& line : *lines) EXPECT_EQ(23u, line.stamp.size()) << Utf8(line.text);
        }
    }
};

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

    AgentRegistry registry_;
    TempDir dir_{L"logmove"};
    DesktopRobot robot_;
};

// 1 KiB from the machine policy, which neither the machine's settings nor the
// user's own values or policy can lift: two jobs' lines fill the file more
// than once. Each file stays within the limit, the moved one was full, and
// the agent's lines run on from one file into the other.
TEST_F(LogMoveE2E, TheRealAgentsLogMovesAtItsLimitWithEveryLineWhole) {
    ASSERT_TRUE(InstallStageDoubles(dir_.path()));
    const std::wstring journal = dir_ / L"journal.txt";
    const std::wstring client = L"\"" + JoinPath(BuildDir(), L"lmvnclient.exe") +
                                L"\" --class LmvnE2ELogMove --quit-after 1 --lifetime 30000" +
                                L" --journal \"" + journal + L"\"";
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application", client));
    ASSERT_TRUE(SetPolicyDword(HKEY_LOCAL_MACHINE, L"LogMaxSize", 1));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"LogMaxSize", 0));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"LogMaxSize", 0));
    ASSERT_TRUE(SetPolicyDword(HKEY_CURRENT_USER, L"LogMaxSize", 0));

    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    // The line may be in either file by now.
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const wchar_t* name : {L"vp_log.1.txt", L"vp_log.txt"}) {
                for (const std::wstring& text : LogTexts(dir_ / name)) {
                    if (text == L"Waiting for events.") return true;
                }
            }
            return false;
        },
        kTimeout));
    for (int job = 0; job < 2; ++job) {
        const SubmitResult r =
            Submit(L"--job-id " + std::to_wstring(70 + job) + L" --dir \"" + dir_.path() + L"\"");
        ASSERT_EQ(0u, r.exitCode.value_or(99)) << Utf8(r.err);
        const std::string expected = "jobid=" + std::to_string(70 + job) + "\r\n";
        ASSERT_TRUE(
            WaitUntil([&] { return Occurrences(ReadFileBytes(journal), expected) == 1; }, kTimeout))
            << "job " << job;
    }
    EXPECT_EQ(0u, agent.Stop().value_or(99));

    const LogFiles log(dir_);
    log.ExpectWhole();
    ASSERT_FALSE(log.moved.empty());
    ASSERT_FALSE(log.current.empty());
    EXPECT_LE(log.movedBytes.size(), 1024u);
    EXPECT_LE(log.currentBytes.size(), 1024u);
    // Full: the first line of the new file would not have fitted.
    const size_t firstLineBytes = (25 + log.current[0].text.size() + 2) * 2;
    EXPECT_GT(log.movedBytes.size() + firstLineBytes, 1024u);
    // In time order across the move, and the stop's lines last.
    std::vector<LogLine> all = log.moved;
    all.insert(all.end(), log.current.begin(), log.current.end());
    for (size_t i = 1; i < all.size(); ++i) EXPECT_LE(all[i - 1].stamp, all[i].stamp) << i;
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(L"Suicide.", all[all.size() - 2].text);
    EXPECT_EQ(L"Agent exits.", all.back().text);
    EXPECT_TRUE(robot_.Boxes().empty());
}

// Four processes, two threads each, start together and write 12000 numbered
// lines through the agent's log code into one folder; the limit lets the
// first file take a bit over half of them, so exactly one move happens while
// all four write, and each writes on into the new file.
TEST_F(LogMoveE2E, FourWritersAcrossAMoveLoseCutAndDoubleNoLine) {
    constexpr int kWriters = 4;
    constexpr int kThreads = 2;
    constexpr int kLines = 1500;
    constexpr int kMaxSizeKiB = 512;  // of about 900 KiB written
    const std::wstring writer = JoinPath(ProgramDir(), L"logwriter.exe");
    const std::wstring event = L"LmvnLogMoveStart" + std::to_wstring(GetCurrentProcessId());
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    ASSERT_NE(nullptr, start);
    std::vector<PROCESS_INFORMATION> started;
    for (int w = 0; w < kWriters; ++w) {
        std::wstring line = L"\"" + writer + L"\" " + std::to_wstring(kLines) + L" " +
                            std::to_wstring(kThreads) + L" w" + std::to_wstring(w) + L" " +
                            std::to_wstring(kMaxSizeKiB) + L" " + event;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(StartTestProcess(line.data(), FALSE, 0, dir_.path().c_str(), &startup, &info));
        started.push_back(info);
    }
    // The writers wait for it once they have opened the log (it stays set).
    SetEvent(start);
    for (const PROCESS_INFORMATION& info : started) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, 60000));
        DWORD code = 99;
        GetExitCodeProcess(info.hProcess, &code);
        EXPECT_EQ(0u, code);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(start);

    const LogFiles log(dir_);
    log.ExpectWhole();
    EXPECT_LE(log.movedBytes.size(), kMaxSizeKiB * 1024u);
    EXPECT_GT(log.movedBytes.size(), kMaxSizeKiB * 1024u - 100);
    std::map<std::wstring, int> seen;
    std::map<wchar_t, int> writersIn[2];  // lines of each writer in each file
    for (int file = 0; file < 2; ++file) {
        for (const LogLine& line : file == 0 ? log.moved : log.current) {
            ++seen[line.text];
            if (line.text.size() > 1 && line.text[0] == L'w') ++writersIn[file][line.text[1]];
        }
    }
    std::printf("[ measured ] lines per writer, moved file / new file:");
    for (wchar_t w = L'0'; w < L'0' + kWriters; ++w) {
        std::printf(" %d/%d", writersIn[0][w], writersIn[1][w]);
        // Each wrote across the move: it followed the file another one moved.
        EXPECT_GT(writersIn[0][w], 0);
        EXPECT_GT(writersIn[1][w], 0);
    }
    std::printf("\n");
    EXPECT_EQ(kWriters, seen[L"Agent started."]);
    int lost = 0;
    int doubled = 0;
    for (int w = 0; w < kWriters; ++w) {
        for (int t = 0; t < kThreads; ++t) {
            for (int i = 0; i < kLines; ++i) {
                const auto found = seen.find(L"w" + std::to_wstring(w) + L" " + std::to_wstring(t) +
                                             L" " + std::to_wstring(i) + L".");
                if (found == seen.end()) {
                    ++lost;
                } else {
                    doubled += found->second - 1;
                }
            }
        }
    }
    EXPECT_EQ(0, lost);
    EXPECT_EQ(0, doubled);
    EXPECT_EQ(static_cast<size_t>(kWriters * (1 + kThreads * kLines)),
              log.moved.size() + log.current.size());
}

}  // namespace
}  // namespace lmvntest
