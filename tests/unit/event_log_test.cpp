// Reports in the Windows Event Log, and the agent's message table that shows
// them. Under Wine the Event Log is a stub, so the events are recorded
// through the seam here; the end-to-end tests read what the stub prints.
#include "diag/event_log.h"

#include "common/settings.h"
#include "diag/report.h"
#include "support/harness.h"
#include "capture.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lmvn {
namespace {

struct Event {
    WORD type;
    DWORD id;
    std::wstring text;
};

struct EventLogFake {
    static inline std::vector<Event> events;
    static inline int registrations = 0;
    static inline bool registrationFails = false;

    static HANDLE WINAPI Register(LPCWSTR server, LPCWSTR name) {
        ++registrations;
        if (registrationFails || server != nullptr || std::wstring(name) != L"Lumvane") {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        return reinterpret_cast<HANDLE>(0x4C4D);
    }
    static BOOL WINAPI Report(HANDLE, WORD type, WORD category, DWORD id, PSID, WORD count, DWORD,
                              LPCWSTR* strings, LPVOID) {
        if (category != 0 || count != 1) return FALSE;
        events.push_back(Event{type, id, strings[0]});
        SetLastError(ERROR_INVALID_HANDLE);  // a call that fails leaves its own error
        return TRUE;
    }
    static BOOL WINAPI Deregister(HANDLE) { return TRUE; }
};

class EventLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CloseEventLog();
        EventLogFake::events.clear();
        EventLogFake::registrations = 0;
        EventLogFake::registrationFails = false;
        EventLogEnabled = 1;
        MessageMode = 0;
        LogEnabled = 0;
    }
    void TearDown() override {
        CloseEventLog();
        EventLogEnabled = 1;
        MessageMode = 0;
    }

    lmvntest::ReportCapture reports_;
    ScopedApiOverride<decltype(&::RegisterEventSourceW)> register_{&Win32Api::RegisterEventSourceW,
                                                                   &EventLogFake::Register};
    ScopedApiOverride<decltype(&::ReportEventW)> report_{&Win32Api::ReportEventW,
                                                         &EventLogFake::Report};
    ScopedApiOverride<decltype(&::DeregisterEventSource)> deregister_{
        &Win32Api::DeregisterEventSource, &EventLogFake::Deregister};
};

// Every report, box or broadcast, is an event: its code as the event ID, its
// text as the user sees it (the printer's name in place of the placeholder).
TEST_F(EventLogTest, EveryReportIsAnEventWithItsCodeAndText) {
    ReportError(reports::kNotConfigured);
    ReportError(reports::kOpenClipboardFailed);
    SetLastError(0xdeadbeef);
    ReportSystemError(reports::kJobInfoFailed, ERROR_FILE_NOT_FOUND);
    MessageMode = 1;
    ReportError(reports::kTargetInaccessible);
    ASSERT_EQ(4u, EventLogFake::events.size());
    const auto& e = EventLogFake::events;
    EXPECT_EQ(111u, e[0].id);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, e[0].type);
    EXPECT_EQ(
        L"The Lumvane printer has not been properly configured. Please re-install the "
        L"Lumvane software.",
        e[0].text);
    EXPECT_EQ(0xF009u, e[1].id);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, e[1].type);
    EXPECT_EQ(0xF005u, e[2].id);
    EXPECT_EQ(0u, e[2].text.find(L"Failed to get print job info.\nError # 2: "));
    EXPECT_EQ(0xF007u, e[3].id);  // a broadcast too
    EXPECT_EQ(1, EventLogFake::registrations);
    EXPECT_EQ(3u, reports_.Boxes().size());
}

// "Event Log" 0 writes none; a source that cannot be registered costs one
// try, and the reports go on as ever, with the caller's last error kept.
TEST_F(EventLogTest, OffOrUnavailableTheReportsGoOnAlone) {
    EventLogEnabled = 0;
    ReportError(reports::kConverterMissing);
    EXPECT_TRUE(EventLogFake::events.empty());
    EXPECT_EQ(0, EventLogFake::registrations);

    EventLogEnabled = 1;
    EventLogFake::registrationFails = true;
    SetLastError(1234);
    WriteEventLog(0xF010, EVENTLOG_ERROR_TYPE, L"x");
    EXPECT_EQ(1234u, GetLastError());
    ReportError(reports::kConverterMissing);
    EXPECT_TRUE(EventLogFake::events.empty());
    EXPECT_EQ(1, EventLogFake::registrations);
    EXPECT_EQ(2u, reports_.Boxes().size());

    EventLogFake::registrationFails = false;
    SetLastError(4321);
    WriteEventLog(0xF010, EVENTLOG_ERROR_TYPE, L"y");
    EXPECT_EQ(4321u, GetLastError());
    EXPECT_TRUE(EventLogFake::events.empty());  // not tried again before the next start
}

// The agent's own program carries the message table the Event Log viewer
// shows the events with: exactly one message per notification code, each
// the report's text alone.
TEST(MessageTable, OneMessagePerCodeShowingTheReportText) {
    const std::wstring agent = lmvntest::JoinPath(lmvntest::BuildDir(), L"lmvnagent.exe");
    HMODULE module = LoadLibraryExW(agent.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << GetLastError();
    const auto message = [&](DWORD id) -> std::wstring {
        wchar_t text[256] = {};
        const wchar_t* argument = L"The report's text.";
        const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(argument)};
        if (FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
                           MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 256,
                           reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments))) == 0) {
            return L"(none)";
        }
        return text;
    };
    for (const ReportKind& kind : reports::kAll) {
        EXPECT_EQ(L"The report's text.\r\n", message(kind.code)) << kind.code;
    }
    // Nothing but the codes.
    for (DWORD id : {0u, 110u, 114u, 0xF000u, 0xF00Au, 0xF013u}) {
        EXPECT_EQ(L"(none)", message(id)) << id;
    }
    FreeLibrary(module);
}

}  // namespace
}  // namespace lmvn
