#include "agent/workers.h"

#include "win/win32api.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace lmvn {
namespace {

HANDLE H(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

std::vector<HANDLE> Held(const WorkerThreadRegistry& r) {
    return std::vector<HANDLE>(r.items, r.items + r.count);
}

// Records the sizes the registry asks for; can be told to fail.
struct Allocator {
    static inline std::vector<size_t> requests;
    static inline bool fail = false;
    static void* Reallocate(void* block, size_t size) {
        requests.push_back(size);
        return fail ? nullptr : std::realloc(block, size);
    }
};

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        Allocator::requests.clear();
        Allocator::fail = false;
    }
    void TearDown() override { ClearWorkers(registry_); }

    WorkerThreadRegistry registry_;
    ScopedApiOverride<void* (*)(void*, size_t)> allocator_{&Win32Api::Reallocate,
                                                           &Allocator::Reallocate};
};

TEST_F(Registry, GrowsByDoublingAndKeepsOrder) {
    std::vector<int> capacities;
    for (uintptr_t i = 1; i <= 9; ++i) {
        ASSERT_TRUE(AddWorker(registry_, H(i)));
        capacities.push_back(registry_.capacity);
    }
    EXPECT_EQ((std::vector<int>{1, 2, 4, 4, 8, 8, 8, 8, 16}), capacities);
    EXPECT_EQ((std::vector<size_t>{8, 16, 32, 64, 128}), Allocator::requests);
    EXPECT_EQ((std::vector<HANDLE>{H(1), H(2), H(3), H(4), H(5), H(6), H(7), H(8), H(9)}),
              Held(registry_));
}

TEST_F(Registry, FailedGrowthLeavesItUnchanged) {
    ASSERT_TRUE(AddWorker(registry_, H(1)));
    ASSERT_TRUE(AddWorker(registry_, H(2)));
    HANDLE* const storage = registry_.items;
    Allocator::fail = true;
    EXPECT_FALSE(AddWorker(registry_, H(3)));
    EXPECT_EQ(storage, registry_.items);
    EXPECT_EQ(2, registry_.count);
    EXPECT_EQ(2, registry_.capacity);
    EXPECT_EQ((std::vector<HANDLE>{H(1), H(2)}), Held(registry_));

    Allocator::fail = false;
    EXPECT_TRUE(AddWorker(registry_, H(3)));
    EXPECT_EQ((std::vector<HANDLE>{H(1), H(2), H(3)}), Held(registry_));
}

// At the limits no storage is touched, so a registry that only claims to be
// that full will do.
TEST_F(Registry, RefusesToGrowPastTheSignedRange) {
    HANDLE slot[1] = {};
    WorkerThreadRegistry full{slot, 0x40000000, 0x40000000};
    EXPECT_FALSE(AddWorker(full, H(1)));
    WorkerThreadRegistry bytes{slot, 0x08000000, 0x08000000};  // doubled: 0x10000000 > 0x0FFFFFFF
    EXPECT_FALSE(AddWorker(bytes, H(1)));
    EXPECT_TRUE(Allocator::requests.empty());
    EXPECT_EQ(0x08000000, bytes.count);
    EXPECT_EQ(0x08000000, bytes.capacity);

    // Just inside: the doubling is attempted (and fails here).
    Allocator::fail = true;
    WorkerThreadRegistry inside{slot, 0x07FFFFFF, 0x07FFFFFF};
    EXPECT_FALSE(AddWorker(inside, H(1)));
    EXPECT_EQ((std::vector<size_t>{size_t{0x0FFFFFFE} * sizeof(HANDLE)}), Allocator::requests);
    EXPECT_EQ(slot, inside.items);
    EXPECT_EQ(0x07FFFFFF, inside.capacity);
}

TEST_F(Registry, RemoveWorkerAtKeepsOrderAndChecksBounds) {
    for (uintptr_t i = 1; i <= 3; ++i) ASSERT_TRUE(AddWorker(registry_, H(i)));
    EXPECT_FALSE(RemoveWorkerAt(registry_, -1));
    EXPECT_FALSE(RemoveWorkerAt(registry_, 3));
    EXPECT_EQ((std::vector<HANDLE>{H(1), H(2), H(3)}), Held(registry_));

    EXPECT_TRUE(RemoveWorkerAt(registry_, 0));
    EXPECT_EQ((std::vector<HANDLE>{H(2), H(3)}), Held(registry_));
    EXPECT_TRUE(RemoveWorkerAt(registry_, 1));
    EXPECT_EQ((std::vector<HANDLE>{H(2)}), Held(registry_));
    EXPECT_EQ(4, registry_.capacity);

    ClearWorkers(registry_);
    EXPECT_EQ(nullptr, registry_.items);
    EXPECT_EQ(0, registry_.count);
    EXPECT_EQ(0, registry_.capacity);
    EXPECT_FALSE(RemoveWorkerAt(registry_, 0));
}

// Fake threads: the handle value says how the thread stands.
constexpr uintptr_t kEnded0 = 0x10, kRunningA = 0x20, kUnreadable = 0x30, kEnded1 = 0x40,
                    kRunningB = 0x50;

struct Threads {
    static inline std::vector<HANDLE> closed;
    static inline std::vector<std::pair<HANDLE, DWORD>> terminated;
    static BOOL WINAPI ExitCode(HANDLE thread, LPDWORD code) {
        switch (reinterpret_cast<uintptr_t>(thread)) {
            case kEnded0:
                *code = 0;
                return TRUE;
            case kEnded1:
                *code = 1;
                return TRUE;
            case kRunningA:
            case kRunningB:
                *code = STILL_ACTIVE;
                return TRUE;
            default:
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
        }
    }
    static BOOL WINAPI Close(HANDLE h) {
        closed.push_back(h);
        return TRUE;
    }
    static BOOL WINAPI Terminate(HANDLE h, DWORD code) {
        terminated.emplace_back(h, code);
        return TRUE;
    }
};

class Reap : public Registry {
  protected:
    void SetUp() override {
        Registry::SetUp();
        Threads::closed.clear();
        Threads::terminated.clear();
        for (uintptr_t h : {kEnded0, kRunningA, kUnreadable, kEnded1, kRunningB}) {
            ASSERT_TRUE(AddWorker(registry_, H(h)));
        }
    }
    ScopedApiOverride<decltype(&::GetExitCodeThread)> exitCode_{&Win32Api::GetExitCodeThread,
                                                                &Threads::ExitCode};
    ScopedApiOverride<decltype(&::CloseHandle)> close_{&Win32Api::CloseHandle, &Threads::Close};
    ScopedApiOverride<decltype(&::TerminateThread)> terminate_{&Win32Api::TerminateThread,
                                                               &Threads::Terminate};
};

TEST_F(Reap, WithoutTerminateDropsOnlyEndedThreads) {
    EXPECT_EQ(0, ReapWorkers(registry_, FALSE));
    EXPECT_EQ((std::vector<HANDLE>{H(kRunningA), H(kUnreadable), H(kRunningB)}), Held(registry_));
    EXPECT_EQ((std::vector<HANDLE>{H(kEnded1), H(kEnded0)}), Threads::closed);
    EXPECT_TRUE(Threads::terminated.empty());
    EXPECT_EQ(8, registry_.capacity);
}

TEST_F(Reap, WithTerminateEndsRunningThreadsAndKeepsUnreadableOnes) {
    EXPECT_EQ(2, ReapWorkers(registry_, TRUE));
    EXPECT_EQ((std::vector<HANDLE>{H(kUnreadable)}), Held(registry_));
    EXPECT_EQ((std::vector<std::pair<HANDLE, DWORD>>{{H(kRunningB), 0}, {H(kRunningA), 0}}),
              Threads::terminated);
    EXPECT_EQ((std::vector<HANDLE>{H(kRunningB), H(kEnded1), H(kRunningA), H(kEnded0)}),
              Threads::closed);
}

TEST_F(Registry, ReapsRealThreads) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, release);
    HANDLE ended = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 1; }, nullptr, 0, nullptr);
    HANDLE running = CreateThread(
        nullptr, 0,
        [](LPVOID event) -> DWORD {
            WaitForSingleObject(static_cast<HANDLE>(event), 30000);
            return 1;
        },
        release, 0, nullptr);
    ASSERT_NE(nullptr, ended);
    ASSERT_NE(nullptr, running);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ended, 10000));
    HANDLE watch = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), running, GetCurrentProcess(), &watch, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(AddWorker(registry_, ended));
    ASSERT_TRUE(AddWorker(registry_, running));

    ReapWorkers(registry_, FALSE);
    EXPECT_EQ((std::vector<HANDLE>{running}), Held(registry_));
    ReapWorkers(registry_, TRUE);
    EXPECT_EQ(0, registry_.count);

    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watch, 10000));
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(GetExitCodeThread(watch, &code));
    EXPECT_EQ(0u, code);  // terminated, not run to its own end
    CloseHandle(watch);
    CloseHandle(release);
}

}  // namespace
}  // namespace lmvn
