// The shared ground of end-to-end tests with real agents side by side, as on
// a terminal server: they share the registry, the log and the client
// configuration; each lives in a folder of its own with the stage doubles
// beside it, and delivers in command-line mode to the sample client, which
// keeps a journal.
#pragma once

#include "harness.h"
#include "robot.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lmvntest {

class AgentsTest : public ::testing::Test {
  public:
    // The bound of every wait of these tests.
    static constexpr DWORD kTimeout = 30000;

  protected:
    void SetUp() override;
    // Stops every agent still running (each must end with code 0) and the
    // clients left open.
    void TearDown() override;

    // Starts the agent of `user` (empty: ours) in a folder of its own, run
    // as `as`, and waits until its print event exists.
    AgentProcess& StartAgent(const std::wstring& user, RunAs as = RunAs::Tester);
    static std::wstring PrintEventOf(const std::wstring& user);
    static bool EventExists(const std::wstring& name);
    static bool SignalEvent(const std::wstring& name);

    std::wstring Journal() const { return dir_ / L"client.txt"; }
    std::string JournalText() const { return ReadFileBytes(Journal()); }
    std::vector<std::wstring> Log() const { return LogTexts(dir_ / L"vp_log.txt"); }
    int LogCount(const std::wstring& text) const;
    bool WaitForLogCount(const std::wstring& text, int count) const;
    // Until the client's journal shows the job.
    bool WaitForDelivery(int jobId) const;
    // lmvnsubmit's option that writes the job's files into the test's folder.
    std::wstring InDir() const { return L" --dir \"" + dir_.path() + L"\""; }

    AgentRegistry registry_;
    TempDir dir_{L"agents"};
    DesktopRobot robot_;
    std::vector<std::pair<std::wstring, std::unique_ptr<AgentProcess>>> agents_;
};

}  // namespace lmvntest
