#include "job/purge.h"

#include "support/capture.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace lmvn {
namespace {

// A fake print queue behind the seam. Like the spooler, the enumeration packs
// the records first and their strings after them, so the size it asks for is
// larger than the records alone.
constexpr DWORD kStringBytesPerJob = 48;
const HANDLE kPrinter = reinterpret_cast<HANDLE>(0x5150);

struct FakeQueue {
    bool printerExists = true;
    std::wstring openedName;
    DWORD openedAccess = 0;
    std::vector<DWORD> statuses;  // job i has JobId 1000 + i
    int enumerations = 0;
    bool secondEnumerationFails = false;
    DWORD blockSizeGiven = 0;
    DWORD sizeAsked = 0;
    std::vector<DWORD> refusedIds;
    std::vector<DWORD> deleteCommands;  // JobIds sent JOB_CONTROL_DELETE
    std::vector<DWORD> otherCommands;
    int closes = 0;
};
FakeQueue queue;

BOOL WINAPI FakeOpenPrinter(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW defaults) {
    queue.openedName = name;
    queue.openedAccess = defaults != nullptr ? defaults->DesiredAccess : 0;
    if (!queue.printerExists) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    *handle = kPrinter;
    return TRUE;
}

BOOL WINAPI FakeEnumJobs(HANDLE printer, DWORD first, DWORD count, DWORD level, LPBYTE buffer,
                         DWORD size, LPDWORD needed, LPDWORD returned) {
    ++queue.enumerations;
    *returned = 0;
    if (printer != kPrinter || level != 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD available =
        first < queue.statuses.size() ? static_cast<DWORD>(queue.statuses.size()) - first : 0;
    const DWORD n = available < count ? available : count;
    *needed = n * (sizeof(JOB_INFO_1W) + kStringBytesPerJob);
    if (queue.enumerations == 1) queue.sizeAsked = *needed;
    if (buffer == nullptr || size < *needed ||
        (queue.enumerations > 1 && queue.secondEnumerationFails)) {
        if (queue.enumerations > 1) queue.blockSizeGiven = size;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    queue.blockSizeGiven = size;
    auto* jobs = reinterpret_cast<JOB_INFO_1W*>(buffer);
    for (DWORD i = 0; i < n; ++i) {
        std::memset(&jobs[i], 0, sizeof(JOB_INFO_1W));
        jobs[i].JobId = 1000 + first + i;
        jobs[i].Status = queue.statuses[first + i];
    }
    *returned = n;
    return TRUE;
}

BOOL WINAPI FakeSetJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE data, DWORD command) {
    if (printer != kPrinter || level != 0 || data != nullptr) return FALSE;
    if (command != JOB_CONTROL_DELETE) {
        queue.otherCommands.push_back(command);
        return FALSE;
    }
    queue.deleteCommands.push_back(jobId);
    for (DWORD refused : queue.refusedIds) {
        if (refused == jobId) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL WINAPI FakeClosePrinter(HANDLE printer) {
    if (printer == kPrinter) ++queue.closes;
    return TRUE;
}

class PurgeSeam : public ::testing::Test {
  protected:
    void SetUp() override { queue = FakeQueue{}; }

    lmvntest::ReportCapture reports_;
    ScopedApiOverride<decltype(&::OpenPrinterW)> open_{&Win32Api::OpenPrinterW, &FakeOpenPrinter};
    ScopedApiOverride<decltype(&::EnumJobsW)> enum_{&Win32Api::EnumJobsW, &FakeEnumJobs};
    ScopedApiOverride<decltype(&::SetJobW)> set_{&Win32Api::SetJobW, &FakeSetJob};
    ScopedApiOverride<decltype(&::ClosePrinter)> close_{&Win32Api::ClosePrinter, &FakeClosePrinter};
};

TEST_F(PurgeSeam, DeletesOnlyPrintedJobsWhateverTheirOtherBits) {
    queue.statuses = {
        JOB_STATUS_PRINTED,                        // 1000: printed
        JOB_STATUS_PRINTING,                       // 1001
        JOB_STATUS_PAUSED,                         // 1002
        JOB_STATUS_PRINTED | JOB_STATUS_DELETING,  // 1003: printed, with more bits
        0,                                         // 1004
        JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE,  // 1005
    };
    PurgePrintedJobs();
    EXPECT_EQ(L"Lumvane", queue.openedName);
    EXPECT_EQ(static_cast<DWORD>(PRINTER_ACCESS_ADMINISTER), queue.openedAccess);
    EXPECT_EQ((std::vector<DWORD>{1000, 1003, 1005}), queue.deleteCommands);
    EXPECT_TRUE(queue.otherCommands.empty());
    EXPECT_EQ(2, queue.enumerations);
    EXPECT_EQ(queue.sizeAsked, queue.blockSizeGiven);  // exactly the size asked
    EXPECT_EQ(1, queue.closes);
    EXPECT_TRUE(reports_.Boxes().empty());
}

TEST_F(PurgeSeam, LooksAtTheFirst256PositionsOnly) {
    queue.statuses.assign(300, JOB_STATUS_PRINTING);
    for (size_t i = 250; i < 300; ++i) queue.statuses[i] = JOB_STATUS_PRINTED;
    PurgePrintedJobs();
    std::vector<DWORD> expected;
    for (DWORD id = 1250; id < 1256; ++id) expected.push_back(id);
    EXPECT_EQ(expected, queue.deleteCommands);
    EXPECT_EQ(1, queue.closes);
}

TEST_F(PurgeSeam, RefusedDeletionDoesNotStopTheLoop) {
    queue.statuses = {JOB_STATUS_PRINTED, JOB_STATUS_PRINTED, JOB_STATUS_PRINTED};
    queue.refusedIds = {1000, 1001};
    PurgePrintedJobs();
    EXPECT_EQ((std::vector<DWORD>{1000, 1001, 1002}), queue.deleteCommands);
    EXPECT_EQ(1, queue.closes);
}

TEST_F(PurgeSeam, NothingIsDeletedWhenTheQueueChangesOrMemoryRunsOut) {
    queue.statuses = {JOB_STATUS_PRINTED, JOB_STATUS_PRINTED};
    queue.secondEnumerationFails = true;
    PurgePrintedJobs();
    EXPECT_EQ(2, queue.enumerations);
    EXPECT_TRUE(queue.deleteCommands.empty());
    EXPECT_EQ(1, queue.closes);

    queue = FakeQueue{};
    queue.statuses = {JOB_STATUS_PRINTED};
    {
        ScopedApiOverride<decltype(&::GlobalAlloc)> noMemory(
            &Win32Api::GlobalAlloc, [](UINT, SIZE_T) -> HGLOBAL {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            });
        PurgePrintedJobs();
    }
    EXPECT_EQ(1, queue.enumerations);
    EXPECT_TRUE(queue.deleteCommands.empty());
    EXPECT_EQ(1, queue.closes);
}

TEST_F(PurgeSeam, EmptyQueueAndMissingPrinter) {
    PurgePrintedJobs();  // empty queue: size 0, closed at once
    EXPECT_EQ(1, queue.enumerations);
    EXPECT_EQ(1, queue.closes);

    queue = FakeQueue{};
    queue.printerExists = false;
    queue.statuses = {JOB_STATUS_PRINTED};
    PurgePrintedJobs();
    EXPECT_EQ(0, queue.enumerations);
    EXPECT_EQ(0, queue.closes);
    EXPECT_TRUE(reports_.Boxes().empty());
    EXPECT_TRUE(reports_.Broadcasts().empty());
}

// A spooler that answers with more records than fit the block it was given
// must not make the purge read past the block.
TEST_F(PurgeSeam, RecordCountBeyondTheBlockIsIgnored) {
    ScopedApiOverride<decltype(&::EnumJobsW)> lying(
        &Win32Api::EnumJobsW,
        [](HANDLE, DWORD, DWORD, DWORD, LPBYTE buffer, DWORD size, LPDWORD needed,
           LPDWORD returned) -> BOOL {
            *needed = sizeof(JOB_INFO_1W);
            if (buffer == nullptr) {
                *returned = 0;
                return FALSE;
            }
            std::memset(buffer, 0, size);
            reinterpret_cast<JOB_INFO_1W*>(buffer)->JobId = 7;
            reinterpret_cast<JOB_INFO_1W*>(buffer)->Status = JOB_STATUS_PRINTED;
            *returned = 1000;
            return TRUE;
        });
    PurgePrintedJobs();
    EXPECT_EQ(std::vector<DWORD>{7}, queue.deleteCommands);
}

// Under Wine there is no printer named "Lumvane": the real call does nothing
// and says nothing.
TEST(PurgeReal, WithoutThePrinterNothingHappens) {
    lmvntest::ReportCapture reports;
    static int opens = 0;
    static BOOL opened = TRUE;
    static int enumerations = 0;
    static ScopedApiOverride<decltype(&::OpenPrinterW)>* real = nullptr;
    ScopedApiOverride<decltype(&::OpenPrinterW)> spy(
        &Win32Api::OpenPrinterW, [](LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW d) -> BOOL {
            ++opens;
            opened = real->original()(name, handle, d);
            return opened;
        });
    real = &spy;
    ScopedApiOverride<decltype(&::EnumJobsW)> enumSpy(
        &Win32Api::EnumJobsW,
        [](HANDLE, DWORD, DWORD, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD) -> BOOL {
            ++enumerations;
            return FALSE;
        });
    PurgePrintedJobs();
    real = nullptr;
    EXPECT_EQ(1, opens);
    EXPECT_EQ(FALSE, opened);
    EXPECT_EQ(0, enumerations);
    EXPECT_TRUE(reports.Boxes().empty());
    EXPECT_TRUE(reports.Broadcasts().empty());
}

}  // namespace
}  // namespace lmvn
