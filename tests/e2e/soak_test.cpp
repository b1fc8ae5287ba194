// A long run of the real agent: a thousand jobs (LMVN_SOAK_JOBS overrides the
// number) through the three transfer modes, handed over as the printer side
// does and delivered to the sample client. Every job must reach the client
// exactly once, the agent's handle count must stay where it was after the
// first jobs, and every line of the log must be whole and well formed.
#include "support/processes.h"
#include "support/harness.h"
#include "support/producer.h"
#include "support/robot.h"
#include "support/stagedouble.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace lmvntest {
namespace {

constexpr int kDefaultJobs = 1000;
constexpr int kFirstJobId = 100000;
constexpr DWORD kJobTimeoutMs = 60000;
// Jobs handed over but not yet in the client's journal. Clipboard jobs go one
// at a time: the clipboard is shared, and a second job (or the client reading
// the previous one) would find it busy, which the agent reports.
constexpr int kInFlight = 6;
// Counts taken at points where the agent is idle: a little room for what the
// system keeps on its own account.
constexpr long long kHandleSlack = 4;

int JobCount() {
    const char* text = std::getenv("LMVN_SOAK_JOBS");
    const int jobs = text != nullptr ? std::atoi(text) : 0;
    return jobs >= 3 ? jobs : kDefaultJobs;
}

// How many times each job id reached the client, from its UTF-8 journal.
std::map<int, int> Deliveries(const std::string& journal) {
    std::map<int, int> seen;
    for (size_t at = journal.find("jobid="); at != std::string::npos;
         at = journal.find("jobid=", at + 1)) {
        ++seen[std::atoi(journal.c_str() + at + 6)];
    }
    return seen;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// "yyyy-mm-dd hh:mm:ss.mmm" with plausible fields.
bool WellFormedStamp(const std::wstring& stamp) {
    static const wchar_t kShape[] = L"dddd-dd-dd dd:dd:dd.ddd";
    if (stamp.size() != 23) return false;
    for (size_t i = 0; i < stamp.size(); ++i) {
        if (kShape[i] == L'd' ? !IsDigit(stamp[i]) : stamp[i] != kShape[i]) return false;
    }
    const int month = std::stoi(stamp.substr(5, 2));
    const int day = std::stoi(stamp.substr(8, 2));
    const int hour = std::stoi(stamp.substr(11, 2));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23;
}

class Soak : public ::testing::Test {
  protected:
    void SetUp() override {
        client_ = JoinPath(BuildDir(), L"lmvnclient.exe");
        ASSERT_TRUE(FileExists(client_));
        // The converter only: a missing preprocessor or progress indicator is
        // skipped, and each stage program costs a process start per job.
        ASSERT_TRUE(InstallStageDouble(dir_.path(), L"lmvndisp.exe"));
        ASSERT_TRUE(CreateDirectoryW((dir_ / L"jobs").c_str(), nullptr));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
        ASSERT_TRUE(AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir_.path()));
        ASSERT_TRUE(
            AgentRegistry::SetString(HKEY_CURRENT_USER, L"Clipboard Format", L"Lumvane Soak"));
        ASSERT_TRUE(AgentRegistry::SetDword(HKEY_CURRENT_USER, L"Message ID", 0x8100));
        ASSERT_TRUE(agent_.Start(dir_.path()));
        ASSERT_TRUE(WaitUntil([&] { return LogHas(L"Waiting for events."); }, 20000));
    }
    void TearDown() override {
        for (HANDLE process : clients_) {
            TerminateProcess(process, 0);
            CloseHandle(process);
        }
    }

    bool LogHas(const std::wstring& text) const {
        for (const auto& line : LogTexts(dir_ / L"vp_log.txt")) {
            if (line == text) return true;
        }
        return false;
    }
    std::wstring Journal() const { return dir_ / L"client journal.txt"; }
    std::wstring ClientCommand(const std::wstring& cls, const std::wstring& extra) const {
        return L"\"" + client_ + L"\" --class " + cls + L" --journal \"" + Journal() +
               L"\" --format \"Lumvane Soak\" --message 0x8100 " + extra;
    }
    bool StartClient(const std::wstring& cls) {
        bool shown = false;
        HANDLE process =
            StartWindowedProgram(ClientCommand(cls, L"--lifetime 1800000"), cls, 15000, shown);
        if (process == nullptr) return false;
        clients_.push_back(process);
        return shown;
    }
    void Configure(DWORD mode, const std::wstring& cls, const std::wstring& application) {
        ASSERT_TRUE(AgentRegistry::SetClient(mode, cls, application));
    }

    // Hands jobs [first, first + count) over, alternating between the user's
    // value and "Shared", with at most `inFlight` of them undelivered; then
    // waits until all have reached the client.
    void RunJobs(int first, int count, int inFlight) {
        const std::wstring user = UserName();
        int delivered = static_cast<int>(Deliveries(ReadFileBytes(Journal())).size());
        const int target = delivered + count;
        for (int i = first; i < first + count; ++i) {
            const int handedOver = i - kFirstJobId;
            ASSERT_TRUE(WaitUntil(
                [&] {
                    if (handedOver - delivered < inFlight) return true;
                    delivered = static_cast<int>(Deliveries(ReadFileBytes(Journal())).size());
                    return handedOver - delivered < inFlight;
                },
                kJobTimeoutMs))
                << "job " << i << " waited for earlier jobs";
            const std::wstring job = dir_ / (L"jobs\\job" + std::to_wstring(i) + L".ini");
            ASSERT_TRUE(WriteJobFile(job, i, {}));
            const bool shared = i % 2 == 1;
            ASSERT_TRUE(HandOver(shared ? L"Shared" : user, job, shared)) << "job " << i;
        }
        ASSERT_TRUE(WaitUntil(
            [&] { return static_cast<int>(Deliveries(ReadFileBytes(Journal())).size()) >= target; },
            kJobTimeoutMs))
            << "jobs up to " << first + count - 1 << " were not all delivered";
    }

    bool IdleThreads() {
        return WaitUntil([&] { return ProcessThreadCount(agent_.pid()) == idleThreads_; },
                         kJobTimeoutMs);
    }
    // Runs jobs [first, first + count), the last one alone once every other
    // job thread has ended, and returns the agent's handle count when that
    // one has ended too. Each earlier thread's handle was closed when the last
    // job arrived, so the agent then holds exactly one thread handle: the
    // counts of two such points compare exactly.
    long long RunAndCount(int first, int count, int inFlight) {
        RunJobs(first, count - 1, inFlight);
        if (!IdleThreads()) return -1;
        RunJobs(first + count - 1, 1, 1);
        if (!IdleThreads()) return -1;
        const auto handles = ProcessHandleCount(agent_.pid());
        return handles ? static_cast<long long>(*handles) : -1;
    }

    size_t idleThreads_ = 0;
    AgentRegistry registry_;
    DesktopRobot robot_;
    TempDir dir_{L"soak"};
    AgentProcess agent_;
    std::wstring client_;
    std::vector<HANDLE> clients_;
};

TEST_F(Soak, EveryJobIsDeliveredOnceWithoutLeaksAndTheLogStaysWellFormed) {
    const int jobs = JobCount();
    const int warmUp = jobs / 30 + 3;
    const int copyData = jobs / 3 - warmUp;
    const int clipboard = jobs / 3;
    const int commandLine = jobs - warmUp - copyData - clipboard;
    const ULONGLONG start = GetTickCount64();
    auto seconds = [&] { return static_cast<double>(GetTickCount64() - start) / 1000.0; };

    ASSERT_TRUE(StartClient(L"LmvnSoakCopy"));
    ASSERT_TRUE(StartClient(L"LmvnSoakClip"));
    Configure(1, L"LmvnSoakCopy", ClientCommand(L"LmvnSoakCopy", L"--lifetime 60000"));

    int next = kFirstJobId;
    RunJobs(next, warmUp, kInFlight);
    next += warmUp;
    idleThreads_ = SteadyThreadCount(agent_.pid());
    ASSERT_GT(idleThreads_, 0u);
    const long long baseline = RunAndCount(next, 1, 1);
    next += 1;
    ASSERT_GT(baseline, 0) << "the system's handle table could not be read";

    const long long afterCopyData = RunAndCount(next, copyData - 1, kInFlight);
    next += copyData - 1;
    const double copyDataSeconds = seconds();

    Configure(2, L"LmvnSoakClip", ClientCommand(L"LmvnSoakClip", L"--lifetime 60000"));
    const long long afterClipboard = RunAndCount(next, clipboard, 1);
    next += clipboard;
    const double clipboardSeconds = seconds();

    Configure(0, L"", ClientCommand(L"LmvnSoakCmd", L"--quit-after 1 --lifetime 30000"));
    const long long afterCommandLine = RunAndCount(next, commandLine, kInFlight);
    next += commandLine;
    std::printf(
        "soak: %d jobs in %.1f s (copy-data until %.1f s, clipboard until %.1f s); agent "
        "handles %lld after %d jobs, %lld after copy-data, %lld after clipboard, %lld at the "
        "end\n",
        jobs, seconds(), copyDataSeconds, clipboardSeconds, baseline, warmUp + 1, afterCopyData,
        afterClipboard, afterCommandLine);

    // Wine leaks one handle in the caller per WaitForInputIdle, which the agent
    // calls once per job for the client it starts in command-line mode only.
    // Anything beyond is ours.
    EXPECT_LE(afterCopyData - baseline, kHandleSlack);
    EXPECT_LE(afterClipboard - baseline, kHandleSlack);
    EXPECT_LE(afterCommandLine - afterClipboard, commandLine + kHandleSlack);

    // Exactly once, every one of them.
    const std::string journal = ReadFileBytes(Journal());
    const std::map<int, int> deliveries = Deliveries(journal);
    EXPECT_EQ(static_cast<size_t>(jobs), deliveries.size());
    for (int id = kFirstJobId; id < next; ++id) {
        const auto found = deliveries.find(id);
        EXPECT_TRUE(found != deliveries.end() && found->second == 1)
            << "job " << id << " reached the client "
            << (found == deliveries.end() ? 0 : found->second) << " times";
    }
    EXPECT_EQ(warmUp + copyData, Occurrences(journal, "job via=copydata dwData=33024 cbData=260"));
    EXPECT_EQ(clipboard, Occurrences(journal, "job via=clipboard message=33024 bytes=260"));
    EXPECT_EQ(commandLine, Occurrences(journal, "job via=commandline"));
    EXPECT_EQ(jobs, Occurrences(journal, "readable=yes"));
    EXPECT_TRUE(robot_.Boxes().empty()) << Utf8(robot_.Boxes()[0].text);

    EXPECT_EQ(0u, agent_.Stop(30000).value_or(99));

    // Every line whole: a known text after a well-formed stamp and a TAB, and
    // CR LF at its end (the parser splits there; a line cut by another line
    // would leave a stray piece with no stamp or an unknown text).
    const std::string bytes = ReadFileBytes(dir_ / L"vp_log.txt");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(std::string("\xFF\xFE", 2), bytes.substr(0, 2));
    EXPECT_EQ(0u, bytes.size() % 2);
    EXPECT_EQ(std::string("\r\0\n\0", 4), bytes.substr(bytes.size() - 4));
    const std::set<std::wstring> vocabulary = {
        L"Agent started.",
        L"Waiting for events.",
        L"New print job received. Start processing thread.",
        L"Shared print job received. Start processing thread.",
        L"Processing thread started.",
        L"Starting converter.",
        L"Converter finished.",
        L"Sending WM_COPYDATA.",
        L"Run client application.",
        L"Suicide.",
        L"Agent exits.",
    };
    const std::wstring retrieved = L"Print job info successfully retrieved. JobID=";
    std::map<std::wstring, int> counts;
    std::set<int> jobIds;
    int malformed = 0;
    for (const LogLine& line : ParseLog(bytes)) {
        const bool known =
            vocabulary.count(line.text) != 0 ||
            (line.text.rfind(retrieved, 0) == 0 && line.text.size() > retrieved.size() &&
             jobIds.insert(std::stoi(line.text.substr(retrieved.size()))).second);
        if (!WellFormedStamp(line.stamp) || !known) {
            if (++malformed <= 5) ADD_FAILURE() << "log line: " << Utf8(line.stamp + line.text);
        }
        ++counts[line.text.rfind(retrieved, 0) == 0 ? retrieved : line.text];
    }
    EXPECT_EQ(0, malformed);
    EXPECT_EQ(jobs, counts[L"Processing thread started."]);
    EXPECT_EQ(static_cast<size_t>(jobs), jobIds.size());
    EXPECT_EQ(jobs, counts[L"Converter finished."]);
    EXPECT_EQ(warmUp + copyData, counts[L"Sending WM_COPYDATA."]);
    EXPECT_EQ(commandLine, counts[L"Run client application."]);
    EXPECT_EQ(1, counts[L"Agent exits."]);
}

}  // namespace
}  // namespace lmvntest
