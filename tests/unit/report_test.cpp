#include "common/settings.h"
#include "capture.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/report.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace lmvn {
namespace {

using lmvntest::ReportCapture;

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FormatText(AgentCaption, L"%s agent", kPrinterName);
        NotifyMessageId = 0xC123;
        LogEnabled = 0;
        MessageMode = 0;
    }
    // Logging into a fresh file of the test's own.
    std::wstring OpenTestLog() {
        CopyText(LogDestDir, dir_.path().c_str());
        LogEnabled = 1;
        EXPECT_TRUE(OpenLogFile());
        return dir_ / L"vp_log.txt";
    }
    void TearDown() override {
        CloseLogFile();
        LogDestDir[0] = L'\0';
    }
    ReportCapture capture_;
    lmvntest::TempDir dir_;
};

TEST_F(ReportTest, BoxShowsPrinterNameWhileLogKeepsPlaceholder) {
    const std::wstring log = OpenTestLog();
    EXPECT_EQ(IDOK, ReportError(reports::kNotConfigured));

    const auto boxes = capture_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(
        L"The Lumvane printer has not been properly configured. Please re-install the "
        L"Lumvane software.",
        boxes[0].text);
    EXPECT_EQ(L"Lumvane agent", boxes[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_SYSTEMMODAL), boxes[0].style);
    EXPECT_EQ(nullptr, boxes[0].owner);
    EXPECT_TRUE(capture_.Broadcasts().empty());

    CloseLogFile();
    const auto texts = lmvntest::LogTexts(log);
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ(reports::kNotConfigured.text, texts[1]);
}

TEST_F(ReportTest, BackslashNInTextBecomesLineBreakInBoxOnly) {
    wchar_t text[1024];
    FormatText1024(text, reports::kLogOpenFailed.text, L"C:\\logs\\new\\vp_log.txt");
    ReportError(text, reports::kLogOpenFailed.code, nullptr, MB_SYSTEMMODAL);
    const auto boxes = capture_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"Failed to open the log file:\nC:\\logs\new\\vp_log.txt", boxes[0].text);
    // The caller's text is never changed.
    EXPECT_STREQ(L"Failed to open the log file:\nC:\\logs\\new\\vp_log.txt", text);
}

TEST_F(ReportTest, MessageModeOnlyWhenExactlyOneAndNeverForCodeZero) {
    MessageMode = 2;
    ReportError(reports::kClientMissing);
    EXPECT_EQ(1u, capture_.Boxes().size());
    EXPECT_TRUE(capture_.Broadcasts().empty());

    MessageMode = 1;
    EXPECT_EQ(1, ReportError(reports::kClientMissing));
    auto broadcasts = capture_.Broadcasts();
    ASSERT_EQ(1u, broadcasts.size());
    EXPECT_EQ(HWND_BROADCAST, broadcasts[0].target);
    EXPECT_EQ(0xC123u, broadcasts[0].message);
    EXPECT_EQ(112u, broadcasts[0].wParam);
    EXPECT_EQ(0, broadcasts[0].lParam);

    // A report without a code is shown even in message mode.
    ReportError(L"no code", 0, nullptr, MB_SYSTEMMODAL);
    EXPECT_EQ(2u, capture_.Boxes().size());
    EXPECT_EQ(1u, capture_.Broadcasts().size());
}

TEST_F(ReportTest, SystemErrorComposesNumberAndDescription) {
    const std::wstring log = OpenTestLog();
    MessageMode = 1;
    wchar_t text[260];
    FormatText(text, reports::kRegistryOpenFailed.text, kPrinterName);
    EXPECT_EQ(1, ReportSystemError(text, reports::kRegistryOpenFailed.code, ERROR_ACCESS_DENIED,
                                   nullptr, MB_SYSTEMMODAL));
    const auto broadcasts = capture_.Broadcasts();
    ASSERT_EQ(1u, broadcasts.size());
    EXPECT_EQ(0xF006u, broadcasts[0].wParam);
    EXPECT_EQ(5, broadcasts[0].lParam);
    EXPECT_TRUE(capture_.Boxes().empty());

    wchar_t description[512] = {};
    ASSERT_NE(0u,
              FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, description, 512, nullptr));
    CloseLogFile();
    // The system's description ends with CR LF of its own, so the entry ends
    // with two line breaks: the log shows an empty line after it.
    std::wstring expected =
        std::wstring(L"Failed to open registry key\nHKLM\\Software\\Lumvane\nError # 5: ") +
        description;
    ASSERT_EQ(L"\r\n", expected.substr(expected.size() - 2));
    expected.resize(expected.size() - 2);
    const auto texts = lmvntest::LogTexts(log);
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ(expected, texts[1]);
    EXPECT_EQ(L"", texts[2]);
}

TEST_F(ReportTest, SystemErrorWithoutNumberDoesNothing) {
    const std::wstring log = OpenTestLog();
    SetLastError(0);
    EXPECT_EQ(0, ReportSystemError(reports::kCreateThreadFailed, 0));
    EXPECT_TRUE(capture_.Boxes().empty());
    CloseLogFile();
    EXPECT_EQ(1u, lmvntest::LogTexts(log).size());  // "Agent started." only

    // Error 0 takes the last error.
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    ReportSystemError(reports::kCreateThreadFailed, 0);
    const auto boxes = capture_.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(L"CreateThread() failed.\nError # 8: "));
}

TEST_F(ReportTest, HighErrorNumbersPrintAsNegativeAndUnknownOnesHaveEmptyDescription) {
    ReportSystemError(L"x", 0xF004, 0x80000005u, nullptr, MB_SYSTEMMODAL);
    ReportSystemError(L"y", 0xF004, 0x2FFFFFFFu, nullptr, MB_SYSTEMMODAL);
    const auto boxes = capture_.Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.find(L"x\nError # -2147483643: "));
    EXPECT_EQ(L"y\nError # 805306367: ", boxes[1].text);
}

// A failure that anyone can make the agent report again and again (a signal
// with no job stored) keeps at most one box open: while a box is open, the
// same text goes to the log only; other texts still show.
TEST_F(ReportTest, OneBoxPerTextIsOpenAtATime) {
    static HANDLE answer;
    static HANDLE shown;
    static std::vector<std::wstring> texts;
    answer = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    shown = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    texts.clear();
    // A box that waits for the user (for `answer`) when it is the first.
    ScopedApiOverride<decltype(&::MessageBoxW)> box(&Win32Api::MessageBoxW,
                                                    [](HWND, LPCWSTR text, LPCWSTR, UINT) -> int {
                                                        texts.emplace_back(text);
                                                        SetEvent(shown);
                                                        if (texts.size() == 1)
                                                            WaitForSingleObject(answer, 10000);
                                                        return IDOK;
                                                    });
    const std::wstring log = OpenTestLog();
    std::thread first([] { ReportError(reports::kOpenClipboardFailed); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(shown, 10000));
    EXPECT_EQ(0, ReportError(reports::kOpenClipboardFailed));  // not shown
    EXPECT_EQ(IDOK, ReportError(reports::kConverterMissing));  // another text
    SetEvent(answer);
    first.join();
    EXPECT_EQ(IDOK, ReportError(reports::kOpenClipboardFailed));  // shown again
    CloseLogFile();
    CloseHandle(answer);
    CloseHandle(shown);

    EXPECT_EQ((std::vector<std::wstring>{L"Failed to open clipboard.",
                                         L"Cannot find converter executable.",
                                         L"Failed to open clipboard."}),
              texts);
    // Every report is in the log.
    EXPECT_EQ(5u, lmvntest::LogTexts(log).size());
}

TEST(ReportTable, CodesAreDistinctAndInTheirRanges) {
    for (size_t i = 0; i < std::size(reports::kAll); ++i) {
        const DWORD code = reports::kAll[i].code;
        EXPECT_TRUE((code >= 0xF001 && code <= 0xF009) || (code >= 0xF010 && code <= 0xF012) ||
                    (code >= 111 && code <= 113))
            << code;
        for (size_t j = i + 1; j < std::size(reports::kAll); ++j) {
            EXPECT_NE(code, reports::kAll[j].code);
        }
    }
}

}  // namespace
}  // namespace lmvn
