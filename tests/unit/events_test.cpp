// The event channel and the main loop. The agent's events have fixed global
// names, which a real agent of an end-to-end test may hold at the same time:
// the fakes below create them under private names of this test instead.
#include "agent/agent_main.h"
#include "agent/events.h"
#include "common/settings.h"
#include "job/claim_turns.h"
#include "job/processing_thread.h"
#include "capture.h"
#include "support/scratch_registry.h"
#include "win/security.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace lmvn {
namespace {

struct Created {
    std::wstring name;
    DWORD flags;
    DWORD access;
    BOOL inherit;
    std::wstring rights;  // the security descriptor asked for, as text
    HANDLE handle;
};

// The text form of a security descriptor's owner and DACL.
std::wstring DescriptorText(PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &text, nullptr)) {
        return L"(none)";
    }
    std::wstring result = text;
    LocalFree(text);
    return result;
}

// The owner and DACL of the object `handle` refers to, as text.
std::wstring RightsOf(HANDLE handle) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"(unreadable)";
    }
    std::wstring result = DescriptorText(descriptor);
    LocalFree(descriptor);
    return result;
}

std::wstring OwnSid() {
    wchar_t sid[256] = {};
    EXPECT_TRUE(CurrentUserSid(sid));
    return sid;
}

// Every CloseHandle of the main loop's tests, and each handle made, with the
// number of closes recorded by then.
struct HandleLog {
    static inline std::vector<HANDLE> closed;
    static inline std::vector<std::pair<HANDLE, size_t>> handedOut;
};

// Redirects the named events to names private to this process and test, and
// records how they were asked for.
struct EventFakes {
    static inline std::wstring prefix;
    static inline std::vector<Created> created;
    static inline std::wstring failName;  // CreateEventExW fails for this name
    static inline int sessionQueries = 0;
    static inline std::vector<UINT> beeps;

    static std::wstring Private(const wchar_t* name) {
        std::wstring result = prefix + name;
        std::replace(result.begin() + static_cast<std::ptrdiff_t>(prefix.size()), result.end(),
                     L'\\', L'_');
        return result;
    }
    static HANDLE WINAPI Create(LPSECURITY_ATTRIBUTES sa, LPCWSTR name, DWORD flags, DWORD access) {
        if (name != nullptr && failName == name) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        HANDLE h = ::CreateEventExW(sa, Private(name).c_str(), flags, access);
        const DWORD error = GetLastError();
        Created c{name, flags, access, FALSE, L"(none)", h};
        if (sa != nullptr) {
            c.inherit = sa->bInheritHandle;
            if (sa->lpSecurityDescriptor != nullptr) {
                c.rights = DescriptorText(sa->lpSecurityDescriptor);
            }
        }
        created.push_back(c);
        HandleLog::handedOut.emplace_back(h, HandleLog::closed.size());
        SetLastError(error);
        return h;
    }
    static HANDLE WINAPI Open(DWORD access, BOOL inherit, LPCWSTR name) {
        return ::OpenEventW(access, inherit, Private(name).c_str());
    }
    static BOOL WINAPI Session(DWORD, DWORD* session) {
        ++sessionQueries;
        *session = 3;
        return TRUE;
    }
    static BOOL WINAPI Beep(UINT type) {
        beeps.push_back(type);
        return TRUE;
    }
    static HANDLE HandleOf(const std::wstring& name) {
        for (const auto& c : created) {
            if (c.name == name) return c.handle;
        }
        return nullptr;
    }
};

constexpr wchar_t kPrint[] = L"Global\\user1_Lumvane_printevent_SESSION3";
constexpr wchar_t kShared[] = L"Global\\Lumvane_shared_printing_event";
constexpr wchar_t kKill[] = L"Global\\Lumvane_killevent";

class EventChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        static int run = 0;
        EventFakes::prefix = L"Local\\lmvnut" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(++run) + L"-";
        EventFakes::created.clear();
        EventFakes::failName.clear();
        EventFakes::sessionQueries = 0;
        EventFakes::beeps.clear();
        NT4Mode = FALSE;
        LogEnabled = 0;
        MessageMode = 0;
    }
    void TearDown() override { NT4Mode = FALSE; }

    lmvntest::ReportCapture reports_;
    ScopedApiOverride<decltype(&::CreateEventExW)> create_{&Win32Api::CreateEventExW,
                                                           &EventFakes::Create};
    ScopedApiOverride<decltype(&::OpenEventW)> open_{&Win32Api::OpenEventW, &EventFakes::Open};
    ScopedApiOverride<decltype(&::ProcessIdToSessionId)> session_{&Win32Api::ProcessIdToSessionId,
                                                                  &EventFakes::Session};
    ScopedApiOverride<decltype(&::MessageBeep)> beep_{&Win32Api::MessageBeep, &EventFakes::Beep};
};

TEST(EventNames, ByModeUserAndSession) {
    EventNames names;
    FormatEventNames(names, FALSE, L"user1", 1);
    EXPECT_STREQ(L"Global\\user1_Lumvane_printevent_SESSION1", names.print);
    EXPECT_STREQ(kShared, names.shared);
    EXPECT_STREQ(kKill, names.kill);
    FormatEventNames(names, FALSE, L"user1", 12);
    EXPECT_STREQ(L"Global\\user1_Lumvane_printevent_SESSION12", names.print);
    FormatEventNames(names, TRUE, L"user1", 12);
    EXPECT_STREQ(L"Lumvane_printevent", names.print);
    EXPECT_STREQ(L"Lumvane_shared_printing_event", names.shared);
    EXPECT_STREQ(L"Lumvane_killevent", names.kill);
}

// Each event is manual-reset and starts reset. The print event is the
// user's: owned by the user, open to SYSTEM, Administrators and the user
// alone. Every account may wait on the kill event, and only SYSTEM and
// Administrators set it; every account may set and reset the shared event
// (every agent resets it), and none but those two may change its rights.
TEST_F(EventChannel, CreatesThreeManualResetEventsWithTheirRights) {
    AgentEvents events;
    ASSERT_TRUE(CreateAgentEvents(events, L"user1"));
    ASSERT_EQ(3u, EventFakes::created.size());
    EXPECT_EQ(kPrint, EventFakes::created[0].name);
    EXPECT_EQ(kShared, EventFakes::created[1].name);
    EXPECT_EQ(kKill, EventFakes::created[2].name);
    for (const auto& c : EventFakes::created) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(static_cast<DWORD>(CREATE_EVENT_MANUAL_RESET), c.flags);
        EXPECT_FALSE(c.inherit);
    }
    const std::wstring user = OwnSid();
    EXPECT_EQ(
        L"O:" + user + L"D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)(A;;0x1f0003;;;" + user + L")",
        EventFakes::created[0].rights);
    EXPECT_EQ(L"D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)(A;;0x100002;;;WD)(A;;0x120000;;;OW)",
              EventFakes::created[1].rights);
    EXPECT_EQ(L"D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)(A;;0x100000;;;WD)(A;;0x120000;;;OW)",
              EventFakes::created[2].rights);
    // Only what the agent uses is asked for.
    EXPECT_EQ(static_cast<DWORD>(SYNCHRONIZE | EVENT_MODIFY_STATE | READ_CONTROL),
              EventFakes::created[0].access);
    EXPECT_EQ(static_cast<DWORD>(SYNCHRONIZE | EVENT_MODIFY_STATE), EventFakes::created[1].access);
    EXPECT_EQ(static_cast<DWORD>(SYNCHRONIZE), EventFakes::created[2].access);
    // The objects carry what was asked for.
    EXPECT_EQ(EventFakes::created[0].rights, RightsOf(events.print.get()));

    EXPECT_TRUE(events.print && events.shared && events.kill);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(events.print.get(), 0));
    SetEvent(events.print.get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events.print.get(), 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events.print.get(), 0));  // stays set
    EXPECT_TRUE(reports_.Boxes().empty());
}

TEST_F(EventChannel, NT4NamesNeedNoSession) {
    NT4Mode = TRUE;
    AgentEvents events;
    ASSERT_TRUE(CreateAgentEvents(events, L"user1"));
    EXPECT_EQ(0, EventFakes::sessionQueries);
    ASSERT_EQ(3u, EventFakes::created.size());
    EXPECT_EQ(L"Lumvane_printevent", EventFakes::created[0].name);
}

TEST_F(EventChannel, SecondAgentOfTheSessionBeepsAndLeavesTheFirstAlone) {
    AgentEvents first;
    ASSERT_TRUE(CreateAgentEvents(first, L"user1"));
    AgentEvents second;
    EXPECT_FALSE(CreateAgentEvents(second, L"user1"));
    EXPECT_EQ((std::vector<UINT>{0xFFFFFFFF}), EventFakes::beeps);
    EXPECT_EQ(4u, EventFakes::created.size());  // the second stopped at its print event
    EXPECT_TRUE(reports_.Boxes().empty());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.print.get(), 0));

    // Another session's agent of the same user has a print event of its own
    // and shares the other two, which it may wait on but not set.
    AgentEvents other;
    EXPECT_TRUE(CreateAgentEvents(other, L"user2"));
    EXPECT_FALSE(SetEvent(other.kill.get()));
    HANDLE kill = OpenEventW(EVENT_MODIFY_STATE, FALSE, EventFakes::Private(kKill).c_str());
    ASSERT_NE(nullptr, kill);  // an administrator, as every account is under Wine
    SetEvent(kill);
    CloseHandle(kill);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first.kill.get(), 0));
}

// A print event that exists before the agent and is not what an agent of
// this user makes of it was made by another program, perhaps of another
// account, to keep this agent from running: that is reported, not taken
// for an agent already running. (Windows also tells by the owner, which no
// other account can set to this user; Wine gives every account one SID.)
TEST_F(EventChannel, APrintEventHeldByAnotherProgramIsReported) {
    const std::wstring user = OwnSid();
    const std::wstring ours =
        L"O:" + user + L"D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)(A;;0x1f0003;;;" + user + L")";
    const std::wstring held[] = {
        L"O:" + user + L"D:P(A;;0x1f0003;;;WD)",  // open to everyone
        L"O:" + user + L"D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)(A;;0x1f0003;;;" + user +
            L")(A;;0x1f0003;;;BU)",                                            // and to all users
        L"O:" + user + L"D:P(D;;0x1f0003;;;" + user + L")(A;;0x1f0003;;;WD)",  // denying
    };
    for (const std::wstring& rights : held) {
        SCOPED_TRACE(rights);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
            rights.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
        HANDLE squatter =
            CreateEventW(&attributes, TRUE, FALSE, EventFakes::Private(kPrint).c_str());
        LocalFree(descriptor);
        ASSERT_NE(nullptr, squatter);
        AgentEvents events;
        EXPECT_FALSE(CreateAgentEvents(events, L"user1"));
        CloseHandle(squatter);
    }
    // A producer account's right to set the event is the agent's own doing.
    wcscpy_s(ProducerAccounts, L"NS");
    AgentEvents first;
    EXPECT_TRUE(CreateAgentEvents(first, L"user1"));
    EXPECT_EQ(ours + L"(A;;0x100002;;;NS)", RightsOf(first.print.get()));
    AgentEvents second;
    EXPECT_FALSE(CreateAgentEvents(second, L"user1"));
    ProducerAccounts[0] = L'\0';

    EXPECT_EQ((std::vector<UINT>{0xFFFFFFFF}), EventFakes::beeps);
    const auto boxes = reports_.Boxes();
    ASSERT_EQ(3u, boxes.size());
    for (const auto& box : boxes) {
        EXPECT_EQ(L"Failed to create event object [0]. Another program holds its name.", box.text);
    }
}

TEST_F(EventChannel, KillNameHeldByAnotherKindLeavesNoKillEvent) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, EventFakes::Private(kKill).c_str());
    ASSERT_NE(nullptr, mutex);
    AgentEvents events;
    EXPECT_TRUE(CreateAgentEvents(events, L"user1"));
    EXPECT_TRUE(events.print && events.shared);
    EXPECT_FALSE(events.kill);
    EXPECT_TRUE(reports_.Boxes().empty());
    CloseHandle(mutex);
}

TEST_F(EventChannel, ReportsEventsThatCannotBeCreated) {
    {
        EventFakes::failName = kPrint;
        AgentEvents events;
        EXPECT_FALSE(CreateAgentEvents(events, L"user1"));
    }
    {
        EventFakes::failName = kShared;
        AgentEvents events;
        EXPECT_FALSE(CreateAgentEvents(events, L"user1"));
        EXPECT_FALSE(events.kill);
    }
    const auto boxes = reports_.Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(L"Failed to create event object [0].\nError # 6: "));
    EXPECT_EQ(0u, boxes[1].text.find(L"Failed to create event object [1].\nError # 6: "));
    EXPECT_EQ(static_cast<UINT>(MB_SYSTEMMODAL), boxes[1].style);
}

// The main loop, driven by a scripted wait. Threads it starts run a routine
// that ends at once instead of a job.
struct LoopFakes {
    static inline std::vector<DWORD> script;  // wait results, in turn
    static inline size_t waits = 0;
    static inline std::vector<DWORD> waitCounts;
    static inline std::vector<std::vector<HANDLE>> waitSets;
    static inline std::vector<DWORD> threadArguments;
    static inline std::vector<HANDLE> threads;
    static inline bool threadFails = false;
    static inline std::vector<HANDLE> resets;
    static inline bool growthFails = false;
    static inline HANDLE hold = nullptr;  // set: started threads wait for it
    static inline std::vector<HANDLE> watches;
    static inline std::vector<UINT> processEnds;
    static inline std::vector<std::pair<HANDLE, DWORD>> terminated;

    static DWORD WINAPI Wait(DWORD count, const HANDLE* handles, BOOL, DWORD) {
        waitCounts.push_back(count);
        waitSets.emplace_back(handles, handles + count);
        // Past the script: the kill event, so that a loop that does not stop
        // still ends the test.
        return waits < script.size() ? script[waits++] : (++waits, WAIT_OBJECT_0 + 2);
    }
    static HANDLE WINAPI Thread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE routine,
                                LPVOID argument, DWORD flags, LPDWORD) {
        threadArguments.push_back(routine == &ProcessingThread
                                      ? static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(argument))
                                      : 99);
        if (threadFails) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        // Like a job's thread, it takes the turn reserved for its claim and
        // ends it at once.
        struct Start {
            HANDLE hold;
            DWORD kind;
        };
        auto* start = new Start{hold, threadArguments.back() == 1 ? 1u : 0u};
        HANDLE h = ::CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD {
                const Start start = *static_cast<Start*>(parameter);
                delete static_cast<Start*>(parameter);
                AdoptClaimTurn(start.kind);
                EndClaimTurn();
                if (start.hold != nullptr) WaitForSingleObject(start.hold, 30000);
                return 1;
            },
            start, flags, nullptr);
        if (h == nullptr) delete start;
        threads.push_back(h);
        HandleLog::handedOut.emplace_back(h, HandleLog::closed.size());
        HANDLE watch = nullptr;
        DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &watch, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        watches.push_back(watch);
        return h;
    }
    static BOOL WINAPI Reset(HANDLE event) {
        resets.push_back(event);
        return ::ResetEvent(event);
    }
    static BOOL WINAPI Close(HANDLE h) {
        HandleLog::closed.push_back(h);
        return ::CloseHandle(h);
    }
    // Ending a thread from outside can leave the loader's or the heap's lock
    // taken in this test program: record the call and let the thread end by
    // itself instead.
    static BOOL WINAPI Terminate(HANDLE thread, DWORD code) {
        terminated.emplace_back(thread, code);
        if (hold != nullptr) SetEvent(hold);
        return TRUE;
    }
    static BOOL WINAPI EndProcess(HANDLE process, UINT code) {
        if (process == GetCurrentProcess()) processEnds.push_back(code);
        return TRUE;
    }
    static void* Grow(void* block, size_t size) {
        return growthFails ? nullptr : std::realloc(block, size);
    }
};

class MainLoop : public EventChannel {
  protected:
    void SetUp() override {
        EventChannel::SetUp();
        ASSERT_TRUE(registry_.ok());  // no "Log" value: the agent does not log
        LoopFakes::script.clear();
        LoopFakes::waits = 0;
        LoopFakes::waitCounts.clear();
        LoopFakes::waitSets.clear();
        LoopFakes::threadArguments.clear();
        LoopFakes::threads.clear();
        LoopFakes::threadFails = false;
        LoopFakes::resets.clear();
        HandleLog::closed.clear();
        HandleLog::handedOut.clear();
        LoopFakes::growthFails = false;
        LoopFakes::hold = nullptr;
        LoopFakes::watches.clear();
        LoopFakes::processEnds.clear();
        LoopFakes::terminated.clear();
    }
    void TearDown() override {
        // A thread still running would end its claim turn in the next test's
        // turns: each has ended before the next test begins.
        for (HANDLE h : LoopFakes::watches) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 40000));
            CloseHandle(h);
        }
        EventChannel::TearDown();
    }
    int Run() { return AgentMain(nullptr, nullptr, nullptr, 0); }
    // Closes of `h` since it was last handed out (a value can be reused once
    // an earlier handle of the same value has been closed).
    static size_t Closes(HANDLE h) {
        const auto& closed = HandleLog::closed;
        size_t from = 0;
        for (const auto& [handle, at] : HandleLog::handedOut) {
            if (handle == h) from = at;
        }
        return static_cast<size_t>(
            std::count(closed.begin() + static_cast<std::ptrdiff_t>(from), closed.end(), h));
    }
    std::wstring PrintName() const {
        wchar_t user[64] = {};
        DWORD size = 64;
        GetUserNameW(user, &size);
        return std::wstring(L"Global\\") + user + L"_Lumvane_printevent_SESSION3";
    }

    lmvntest::ScratchMachineKey registry_;
    ScopedApiOverride<decltype(&::WaitForMultipleObjects)> wait_{&Win32Api::WaitForMultipleObjects,
                                                                 &LoopFakes::Wait};
    ScopedApiOverride<decltype(&::CreateThread)> thread_{&Win32Api::CreateThread,
                                                         &LoopFakes::Thread};
    ScopedApiOverride<decltype(&::ResetEvent)> reset_{&Win32Api::ResetEvent, &LoopFakes::Reset};
    ScopedApiOverride<decltype(&::CloseHandle)> close_{&Win32Api::CloseHandle, &LoopFakes::Close};
    ScopedApiOverride<void* (*)(void*, size_t)> grow_{&Win32Api::Reallocate, &LoopFakes::Grow};
    ScopedApiOverride<decltype(&::TerminateProcess)> end_{&Win32Api::TerminateProcess,
                                                          &LoopFakes::EndProcess};
    ScopedApiOverride<decltype(&::TerminateThread)> terminate_{&Win32Api::TerminateThread,
                                                               &LoopFakes::Terminate};
};

TEST_F(MainLoop, ServesEachSignalInItsOwnThreadThenStopsOnKill) {
    LoopFakes::script = {WAIT_OBJECT_0 + 1, WAIT_OBJECT_0 + 0, WAIT_OBJECT_0 + 2};
    ScopedApiOverride<decltype(&::WaitForMultipleObjects)> endedBeforeKill(
        &Win32Api::WaitForMultipleObjects,
        [](DWORD count, const HANDLE* handles, BOOL all, DWORD timeout) -> DWORD {
            // Both threads have ended by the time the kill event comes.
            if (LoopFakes::waits == 2) {
                for (HANDLE watch : LoopFakes::watches) WaitForSingleObject(watch, 10000);
            }
            return LoopFakes::Wait(count, handles, all, timeout);
        });
    EXPECT_EQ(0, Run());
    EXPECT_TRUE(LoopFakes::processEnds.empty());
    const HANDLE print = EventFakes::HandleOf(PrintName());
    const HANDLE shared = EventFakes::HandleOf(kShared);
    const HANDLE kill = EventFakes::HandleOf(kKill);
    ASSERT_TRUE(print && shared && kill);

    EXPECT_EQ(3u, LoopFakes::waits);
    // The three events, then the turn events of the two kinds of signal.
    EXPECT_EQ((std::vector<DWORD>{5, 5, 5}), LoopFakes::waitCounts);
    ASSERT_EQ(5u, LoopFakes::waitSets[0].size());
    EXPECT_EQ(
        (std::vector<HANDLE>{print, shared, kill}),
        std::vector<HANDLE>(LoopFakes::waitSets[0].begin(), LoopFakes::waitSets[0].begin() + 3));
    EXPECT_EQ((std::vector<DWORD>{1, 0}), LoopFakes::threadArguments);
    EXPECT_EQ((std::vector<HANDLE>{shared, print}), LoopFakes::resets);
    // Every thread handle and every event handle is closed exactly once.
    for (HANDLE h : LoopFakes::threads) EXPECT_EQ(1u, Closes(h));
    for (HANDLE h : {print, shared, kill}) EXPECT_EQ(1u, Closes(h));
    EXPECT_TRUE(reports_.Boxes().empty());
}

// A thread still running at shutdown ends with the process, at once and with
// exit code 0; it is not stopped on its own first, since a thread stopped
// from outside may hold a lock that the rest of the shutdown would wait for.
TEST_F(MainLoop, ThreadsStillRunningAtShutdownEndWithTheProcess) {
    HANDLE hold = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, hold);
    LoopFakes::hold = hold;
    LoopFakes::script = {WAIT_OBJECT_0 + 0, WAIT_OBJECT_0 + 2};
    EXPECT_EQ(0, Run());
    ASSERT_EQ(1u, LoopFakes::watches.size());
    EXPECT_EQ((std::vector<UINT>{0}), LoopFakes::processEnds);
    EXPECT_TRUE(LoopFakes::terminated.empty());
    // The process would be gone here; in this test the thread is let go.
    SetEvent(hold);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(LoopFakes::watches[0], 10000));
    CloseHandle(LoopFakes::threads[0]);
    CloseHandle(hold);

    // Threads that ended by themselves: the agent leaves by returning.
    SetUp();
    LoopFakes::script = {WAIT_OBJECT_0 + 0, WAIT_OBJECT_0 + 2};
    ScopedApiOverride<decltype(&::WaitForMultipleObjects)> slowKill(
        &Win32Api::WaitForMultipleObjects,
        [](DWORD count, const HANDLE* handles, BOOL all, DWORD timeout) -> DWORD {
            // Let the thread started for the first signal end before the kill.
            if (LoopFakes::waits == 1) WaitForSingleObject(LoopFakes::watches[0], 10000);
            return LoopFakes::Wait(count, handles, all, timeout);
        });
    EXPECT_EQ(0, Run());
    EXPECT_TRUE(LoopFakes::processEnds.empty());
}

TEST_F(MainLoop, AFailedWaitShutsDownInsteadOfSpinning) {
    LoopFakes::script = {WAIT_FAILED};
    EXPECT_EQ(0, Run());
    EXPECT_EQ(1u, LoopFakes::waits);
    EXPECT_TRUE(LoopFakes::threadArguments.empty());
    const std::wstring print = PrintName();
    for (const wchar_t* name : {print.c_str(), kShared, kKill}) {
        EXPECT_EQ(1u, Closes(EventFakes::HandleOf(name)));
    }
}

TEST_F(MainLoop, WithoutAKillEventItWaitsOnTheOthers) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, EventFakes::Private(kKill).c_str());
    ASSERT_NE(nullptr, mutex);
    LoopFakes::script = {WAIT_OBJECT_0 + 0, WAIT_FAILED};
    EXPECT_EQ(0, Run());
    EXPECT_EQ((std::vector<DWORD>{4, 4}), LoopFakes::waitCounts);  // two events, two turns
    EXPECT_EQ((std::vector<DWORD>{0}), LoopFakes::threadArguments);
    CloseHandle(mutex);
}

TEST_F(MainLoop, AThreadTheRegistryCannotHoldIsClosedAtOnce) {
    LoopFakes::growthFails = true;
    LoopFakes::script = {WAIT_OBJECT_0 + 0, WAIT_OBJECT_0 + 2};
    EXPECT_EQ(0, Run());
    ASSERT_EQ(1u, LoopFakes::threads.size());
    EXPECT_EQ(1u, Closes(LoopFakes::threads[0]));
    // Closed at once: the first handle closed after the thread's start.
    const size_t started = HandleLog::handedOut.back().second;
    ASSERT_LT(started, HandleLog::closed.size());
    EXPECT_EQ(LoopFakes::threads[0], HandleLog::closed[started]);
    EXPECT_EQ(1u, LoopFakes::resets.size());
}

// The producer stores its next job and sets the event as soon as the thread
// has taken the previous one, which can happen before CreateThread returns:
// that signal must start a thread of its own, not be reset away.
TEST_F(MainLoop, ASignalWhileTheThreadStartsIsServed) {
    static std::wstring printName;
    printName = PrintName();
    ScopedApiOverride<decltype(&::CreateThread)> signalling(
        &Win32Api::CreateThread,
        [](LPSECURITY_ATTRIBUTES a, SIZE_T s, LPTHREAD_START_ROUTINE r, LPVOID p, DWORD f,
           LPDWORD id) -> HANDLE {
            HANDLE h = LoopFakes::Thread(a, s, r, p, f, id);
            if (LoopFakes::threads.size() == 1) ::SetEvent(EventFakes::HandleOf(printName));
            return h;
        });
    ScopedApiOverride<decltype(&::WaitForMultipleObjects)> real(
        &Win32Api::WaitForMultipleObjects, [](DWORD, const HANDLE* handles, BOOL, DWORD) -> DWORD {
            // First the job; then whatever is signalled, the print event or,
            // when the signal came while the first thread had yet to claim
            // its job, its turn event once that claim is over; else the kill.
            if (++LoopFakes::waits == 1) return WAIT_OBJECT_0;
            if (LoopFakes::threads.size() >= 2) return WAIT_OBJECT_0 + 2;
            const HANDLE jobs[] = {handles[0], handles[3]};
            const DWORD now = ::WaitForMultipleObjects(2, jobs, FALSE, 10000);
            if (now == WAIT_OBJECT_0) return WAIT_OBJECT_0;
            return now == WAIT_OBJECT_0 + 1 ? WAIT_OBJECT_0 + 3 : WAIT_OBJECT_0 + 2;
        });
    EXPECT_EQ(0, Run());
    EXPECT_EQ((std::vector<DWORD>{0, 0}), LoopFakes::threadArguments);
}

// Signals that come while a thread of the same kind has yet to claim its job
// start no thread of their own: they are noted, and served by one thread
// once that claim is over. A flood thus runs one such thread per kind.
TEST_F(MainLoop, SignalsWhileAThreadHasYetToClaimAreServedOnceAfterIt) {
    HANDLE hold = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, hold);
    // A thread that holds its turn until `release` is set.
    static HANDLE release;
    release = hold;
    ScopedApiOverride<decltype(&::CreateThread)> slowClaim(
        &Win32Api::CreateThread,
        [](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID argument, DWORD flags,
           LPDWORD) -> HANDLE {
            LoopFakes::threadArguments.push_back(
                static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(argument)));
            HANDLE h = ::CreateThread(
                nullptr, 0,
                [](LPVOID kind) -> DWORD {
                    AdoptClaimTurn(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(kind)));
                    WaitForSingleObject(release, 10000);
                    EndClaimTurn();
                    return 1;
                },
                argument, flags, nullptr);
            LoopFakes::threads.push_back(h);
            HANDLE watch = nullptr;
            DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &watch, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
            LoopFakes::watches.push_back(watch);
            return h;
        });
    // Ten signals of each kind while the first threads hold their turns;
    // then the turns end, and every turn event that comes is served.
    static int signals;
    signals = 0;
    ScopedApiOverride<decltype(&::WaitForMultipleObjects)> flood(
        &Win32Api::WaitForMultipleObjects,
        [](DWORD count, const HANDLE* handles, BOOL, DWORD) -> DWORD {
            ++LoopFakes::waits;
            if (signals < 20) return WAIT_OBJECT_0 + (signals++ % 2);
            if (LoopFakes::threads.size() >= 4) return WAIT_OBJECT_0 + 2;
            SetEvent(release);
            const DWORD turn = ::WaitForMultipleObjects(count - 3, handles + 3, FALSE, 20000);
            return turn < WAIT_OBJECT_0 + 2 ? turn + 3 : WAIT_OBJECT_0 + 2;
        });
    EXPECT_EQ(0, Run());
    for (HANDLE watch : LoopFakes::watches) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watch, 10000));
    }
    // One thread per kind for the flood, and one per kind for what it noted.
    std::vector<DWORD> kinds = LoopFakes::threadArguments;
    std::sort(kinds.begin(), kinds.end());
    EXPECT_EQ((std::vector<DWORD>{0, 0, 1, 1}), kinds);
    EXPECT_EQ(20u, LoopFakes::resets.size());  // every signal was reset
    CloseHandle(hold);
}

TEST_F(MainLoop, AThreadThatCannotStartIsReportedAndTheEventStillReset) {
    LoopFakes::threadFails = true;
    LoopFakes::script = {WAIT_OBJECT_0 + 1, WAIT_OBJECT_0 + 2};
    EXPECT_EQ(0, Run());
    const auto boxes = reports_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(L"CreateThread() failed.\nError # 8: "));
    EXPECT_EQ((std::vector<HANDLE>{EventFakes::HandleOf(kShared)}), LoopFakes::resets);
}

}  // namespace
}  // namespace lmvn
