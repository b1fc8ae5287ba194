// The real agent's start-up: its settings, its log file and the report of a
// log that cannot be opened.
#include "harness.h"
#include "listener.h"
#include "robot.h"

#include <gtest/gtest.h>

namespace {

using namespace lmvntest;

class StartupTest : public ::testing::Test {
  protected:
    // The agent is up once its print event exists.
    static bool AgentWaiting() {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, PrintEventName().c_str());
        if (event == nullptr) return false;
        CloseHandle(event);
        return true;
    }

    AgentRegistry registry_;
    TempDir dir_;
    DesktopRobot robot_;
};

TEST_F(StartupTest, LoggingOnWritesNewFileWithByteOrderMarkAndLifecycleLines) {
    // Any non-zero "Log" turns logging on.
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 2));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path() + L"\\"));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    const std::wstring log = dir_ / L"vp_log.txt";
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto texts = LogTexts(log);
            return texts.size() >= 2 && texts[1] == L"Waiting for events.";
        },
        20000));
    EXPECT_EQ(0u, agent.Stop().value_or(999));

    const std::string bytes = ReadFileBytes(log);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2));
    const std::vector<std::wstring> expected = {L"Agent started.", L"Waiting for events.",
                                                L"Suicide.", L"Agent exits."};
    EXPECT_EQ(expected, LogTexts(log));
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(StartupTest, LoggingOffCreatesNoFileWhateverLogDestDirSays) {
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 0));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(WaitUntil(AgentWaiting, 20000));
    EXPECT_EQ(0u, agent.Stop().value_or(999));
    EXPECT_FALSE(FileExists(dir_ / L"vp_log.txt"));
}

TEST_F(StartupTest, LogThatCannotBeOpenedIsReportedInABoxAndEndsTheAgent) {
    // A folder named "new" shows as a line break where "\n" stands in the path.
    const std::wstring destDir = dir_ / L"missing\\new";
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", destDir));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(robot_.WaitForBoxes(1, 20000));
    EXPECT_EQ(0u, agent.WaitForExit(20000).value_or(999));

    const auto boxes = robot_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"Failed to open the log file:\n" + dir_.path() + L"\\missing\new\\vp_log.txt",
              boxes[0].text);
    EXPECT_EQ(L"Lumvane agent", boxes[0].caption);
    EXPECT_NE(0, boxes[0].exStyle & WS_EX_TOPMOST) << "system-modal boxes stay on top";
    EXPECT_FALSE(AgentWaiting());
}

TEST_F(StartupTest, InMessageModeTheLogFailureIsBroadcastInsteadOfShown) {
    NotifyListener listener;
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Message Mode", 1));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_ / L"missing"));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    EXPECT_EQ(0u, agent.WaitForExit(20000).value_or(999));
    ASSERT_TRUE(listener.WaitForCount(1, 10000));
    const auto received = listener.Received();
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(0xF001u, received[0].code);
    EXPECT_EQ(0, received[0].error);
    EXPECT_TRUE(robot_.Boxes().empty());
}

TEST_F(StartupTest, MessageModeTwoStillShowsABox) {
    NotifyListener listener;
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Message Mode", 2));
    ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_ / L"missing"));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(robot_.WaitForBoxes(1, 20000));
    EXPECT_EQ(0u, agent.WaitForExit(20000).value_or(999));
    EXPECT_TRUE(listener.Received().empty());
}

TEST_F(StartupTest, ExpandableLogDestDirIsUsedLiterally) {
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
    ASSERT_TRUE(
        AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", L"%TEMP%", REG_EXPAND_SZ));
    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(robot_.WaitForBoxes(1, 20000));
    EXPECT_EQ(0u, agent.WaitForExit(20000).value_or(999));
    EXPECT_EQ(L"Failed to open the log file:\n%TEMP%\\vp_log.txt", robot_.Boxes()[0].text);
}

}  // namespace
