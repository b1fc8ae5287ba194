// The log's named mutex in the hands of another process, or its name taken by
// an object of another kind: the real agent still starts, serves each job and
// stops promptly, and writes every line whole.
#include "support/harness.h"
#include "support/robot.h"
#include "support/stagedouble.h"
#include "support/submitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>

namespace lmvntest {
namespace {

constexpr wchar_t kLogMutexName[] = L"Global\\Lumvane_log_mutex";

// Bounds, not expectations of speed. When each line waited 5 s for a mutex
// held elsewhere, start-up took 15 s ("Agent started." with the file's
// creation, "Waiting for events."), each job 45 s (nine lines) and the stop
// 10 s ("Suicide.", "Agent exits."). On a loaded test machine the usual times
// reach 2.3 s, 7.3 s (with the submission's drawing) and 40 ms.
constexpr DWORD kStartBoundMs = 8000;
constexpr DWORD kJobBoundMs = 25000;
constexpr DWORD kStopBoundMs = 4000;

// What holds the mutex's name while the agent runs; null for nothing.
struct Squatter {
    const char* name;
    HANDLE (*create)();
};
void PrintTo(const Squatter& squatter, std::ostream* out) { *out << squatter.name; }

// Kept by this thread until the case ends (also when someone made it first).
HANDLE HeldMutex() {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kLogMutexName);
    if (mutex != nullptr && WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}
HANDLE NamedEvent() { return CreateEventW(nullptr, TRUE, FALSE, kLogMutexName); }
HANDLE NamedSection() {
    return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                              kLogMutexName);
}

class LogLockE2E : public ::testing::TestWithParam<Squatter> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(InstallStageDoubles(dir_.path()));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
        // Command-line mode: each job starts the sample client, which notes
        // the job in its journal and ends.
        const std::wstring client = L"\"" + JoinPath(BuildDir(), L"lmvnclient.exe") +
                                    L"\" --class LmvnE2ELogLock --quit-after 1 --lifetime 30000" +
                                    L" --journal \"" + journal() + L"\"";
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_CURRENT_USER, L"Client Application", client));
    }
    std::wstring journal() const { return dir_ / L"journal.txt"; }
    std::vector<LogLine> Log() const { return ParseLog(ReadFileBytes(dir_ / L"vp_log.txt")); }
    bool HasLine(const std::wstring& text) const {
        const auto lines = Log();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const LogLine& line) { return line.text == text; });
    }

    AgentRegistry registry_;
    TempDir dir_{L"loglock"};
    DesktopRobot robot_;
};

TEST_P(LogLockE2E, StartJobsAndStopStayPromptAndLinesWhole) {
    const Squatter squatter = GetParam();
    // Gone at the end of the case, also when it fails.
    std::unique_ptr<void, void (*)(HANDLE)> squatting(
        squatter.create != nullptr ? squatter.create() : nullptr, [](HANDLE object) {
            ReleaseMutex(object);  // fails harmlessly for the other kinds
            CloseHandle(object);
        });
    if (squatter.create != nullptr) {
        ASSERT_NE(nullptr, squatting);
    }

    AgentProcess agent;
    const ULONGLONG started = GetTickCount64();
    ASSERT_TRUE(agent.Start(dir_.path()));
    ASSERT_TRUE(WaitUntil([&] { return HasLine(L"Waiting for events."); }, kStartBoundMs));
    const ULONGLONG waiting = GetTickCount64();

    ULONGLONG jobMs[2] = {};
    for (int job = 0; job < 2; ++job) {
        const ULONGLONG submitted = GetTickCount64();
        const SubmitResult r =
            Submit(L"--job-id " + std::to_wstring(40 + job) + L" --dir \"" + dir_.path() + L"\"");
        ASSERT_EQ(0u, r.exitCode.value_or(99)) << r.err;
        const std::string expected = "jobid=" + std::to_string(40 + job) + "\r\n";
        ASSERT_TRUE(WaitUntil([&] { return Occurrences(ReadFileBytes(journal()), expected) == 1; },
                              kJobBoundMs))
            << "job " << job;
        jobMs[job] = GetTickCount64() - submitted;
    }

    const ULONGLONG stopping = GetTickCount64();
    EXPECT_EQ(0u, agent.Stop(kStopBoundMs).value_or(99));
    const ULONGLONG stopped = GetTickCount64();
    std::printf("[ measured ] %s: start %llu ms, jobs %llu and %llu ms, stop %llu ms\n",
                squatter.name, waiting - started, jobMs[0], jobMs[1], stopped - stopping);

    squatting.reset();
    const auto lines = Log();
    ASSERT_FALSE(lines.empty());
    for (const LogLine& line : lines) EXPECT_EQ(23u, line.stamp.size()) << Utf8(line.text);
    EXPECT_EQ(2, std::count_if(lines.begin(), lines.end(), [](const LogLine& line) {
                  return line.text == L"Run client application.";
              }));
    EXPECT_EQ(L"Agent exits.", lines.back().text);
    EXPECT_TRUE(robot_.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Holders, LogLockE2E,
                         ::testing::Values(Squatter{"nothing", nullptr},
                                           Squatter{"mutex held", &HeldMutex},
                                           Squatter{"event", &NamedEvent},
                                           Squatter{"section", &NamedSection}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

}  // namespace
}  // namespace lmvntest
