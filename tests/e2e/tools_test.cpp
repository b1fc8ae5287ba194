// The programs for integrators, run as the agent runs them: the sample stage
// programs (preprocess.exe, progress.exe, lmvndisp.exe) on job description
// files made here, and the notify monitor (lmvnnotify.exe) on broadcasts made
// by this test and by a running agent.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/harness.h"
#include "support/robot.h"

using namespace lmvntest;

namespace {

std::wstring Tool(const wchar_t* name) { return JoinPath(BuildDir(), name); }

// The agent's way of starting a stage program: its path, one blank, the job
// description file path, neither quoted.
std::wstring StageCommand(const wchar_t* program, const std::wstring& jobFile) {
    return Tool(program) + L" " + jobFile;
}

// An EMF page whose frame is `width` x `height` in 0.01 mm, white but for a
// black left half.
bool WriteEmfPage(const std::wstring& path, LONG width, LONG height) {
    const RECT frame = {0, 0, width, height};
    HDC dc = CreateEnhMetaFileW(nullptr, path.c_str(), &frame, L"test page");
    if (dc == nullptr) return false;
    SetMapMode(dc, MM_HIMETRIC);  // logical units of 0.01 mm, y upwards
    SelectObject(dc, GetStockObject(BLACK_BRUSH));
    SelectObject(dc, GetStockObject(NULL_PEN));
    Rectangle(dc, 0, 0, width / 2, -height);
    HENHMETAFILE emf = CloseEnhMetaFile(dc);
    if (emf == nullptr) return false;
    DeleteEnhMetaFile(emf);
    return true;
}

bool WriteProfile(const std::wstring& file, const wchar_t* section, const wchar_t* key,
                  const std::wstring& value) {
    return WritePrivateProfileStringW(section, key, value.c_str(), file.c_str()) != FALSE;
}

std::wstring ReadProfile(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
    wchar_t buffer[512] = {};
    GetPrivateProfileStringW(section, key, L"", buffer, 512, file.c_str());
    return buffer;
}

// A job description file listing `pages` (paths) under section "EMF".
std::wstring WriteJobFile(const std::wstring& path, const std::vector<std::wstring>& pages) {
    WriteProfile(path, L"Document", L"JobID", L"7");
    WriteProfile(path, L"EMF", L"Count", std::to_wstring(pages.size()));
    for (size_t i = 0; i < pages.size(); ++i) {
        WriteProfile(path, L"EMF", (L"File" + std::to_wstring(i)).c_str(), pages[i]);
    }
    return path;
}

// The frame of 0.01 mm at 96 dots per inch, rounded to the nearest pixel.
LONG PixelsAt96(LONG hundredthsOfMm) { return (hundredthsOfMm * 96 + 1270) / 2540; }

uint32_t BigEndian32(const std::string& bytes, size_t at) {
    return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
           (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
}

uint32_t Crc32(const std::string& bytes, size_t at, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = at; i < at + length; ++i) {
        crc ^= uint8_t(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

struct PngFacts {
    bool wellFormed = false;  // signature, IHDR first, every chunk's CRC, IEND last
    uint32_t width = 0;
    uint32_t height = 0;
};

PngFacts InspectPng(const std::string& bytes) {
    PngFacts facts;
    static const char kSignature[] = "\x89PNG\r\n\x1a\n";
    if (bytes.size() < 8 || bytes.compare(0, 8, kSignature, 8) != 0) return facts;
    size_t pos = 8;
    bool first = true;
    bool sawData = false;
    while (pos + 12 <= bytes.size()) {
        const uint32_t length = BigEndian32(bytes, pos);
        if (pos + 12 + length > bytes.size()) return facts;
        const std::string type = bytes.substr(pos + 4, 4);
        if (Crc32(bytes, pos + 4, 4 + length) != BigEndian32(bytes, pos + 8 + length)) return facts;
        if (first) {
            if (type != "IHDR" || length != 13) return facts;
            facts.width = BigEndian32(bytes, pos + 8);
            facts.height = BigEndian32(bytes, pos + 12);
            first = false;
        }
        if (type == "IDAT") sawData = true;
        pos += 12 + length;
        if (type == "IEND") {
            facts.wellFormed = sawData && pos == bytes.size();
            return facts;
        }
    }
    return facts;
}

// Reads pixels of a PNG through GDI+, loaded at run time.
class PixelReader {
  public:
    PixelReader() {
        module_ = LoadLibraryW(L"gdiplus.dll");
        if (module_ == nullptr) return;
        startup_ = Proc<Startup>("GdiplusStartup");
        shutdown_ = Proc<Shutdown>("GdiplusShutdown");
        fromFile_ = Proc<FromFile>("GdipCreateBitmapFromFile");
        getPixel_ = Proc<GetPixel>("GdipBitmapGetPixel");
        dispose_ = Proc<Dispose>("GdipDisposeImage");
        struct {
            UINT32 version = 1;
            void* callback = nullptr;
            BOOL noThread = FALSE;
            BOOL noCodecs = FALSE;
        } input;
        ready_ = startup_ && shutdown_ && fromFile_ && getPixel_ && dispose_ &&
                 startup_(&token_, &input, nullptr) == 0;
    }
    ~PixelReader() {
        if (ready_) shutdown_(token_);
        if (module_ != nullptr) FreeLibrary(module_);
    }
    bool ready() const { return ready_; }
    // The number of columns of `png` that hold a dark pixel; -1 when the
    // image cannot be read.
    long InkedColumns(const std::wstring& png, int width, int height) const {
        void* bitmap = nullptr;
        if (!ready_ || fromFile_(png.c_str(), &bitmap) != 0) return -1;
        long columns = 0;
        for (int x = 0; x < width; ++x) {
            for (int y = 0; y < height; ++y) {
                DWORD argb = 0xFFFFFFFF;
                getPixel_(bitmap, x, y, &argb);
                if ((argb & 0xFF) < 0x80) {
                    ++columns;
                    break;
                }
            }
        }
        dispose_(bitmap);
        return columns;
    }
    // The pixel's colour as 0xRRGGBB, or -1 when it cannot be read.
    long Pixel(const std::wstring& png, int x, int y) const {
        void* bitmap = nullptr;
        if (!ready_ || fromFile_(png.c_str(), &bitmap) != 0) return -1;
        DWORD argb = 0;
        const bool ok = getPixel_(bitmap, x, y, &argb) == 0;
        dispose_(bitmap);
        return ok ? static_cast<long>(argb & 0xFFFFFF) : -1;
    }

  private:
    template <typename F>
    F Proc(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    using Startup = int(WINAPI*)(ULONG_PTR*, const void*, void*);
    using Shutdown = void(WINAPI*)(ULONG_PTR);
    using FromFile = int(WINAPI*)(const wchar_t*, void**);
    using GetPixel = int(WINAPI*)(void*, int, int, DWORD*);
    using Dispose = int(WINAPI*)(void*);
    HMODULE module_ = nullptr;
    Startup startup_ = nullptr;
    Shutdown shutdown_ = nullptr;
    FromFile fromFile_ = nullptr;
    GetPixel getPixel_ = nullptr;
    Dispose dispose_ = nullptr;
    ULONG_PTR token_ = 0;
    bool ready_ = false;
};

TEST(Converter, WritesOnePngOfThePageSizeBesideEveryPage) {
    TempDir dir(L"lmvn disp");  // a blank in the path, as the agent passes it unquoted
    const std::wstring page0 = dir / L"page0.emf";
    const std::wstring page1 = dir / L"page1.emf";
    ASSERT_TRUE(WriteEmfPage(page0, 2540, 3810));    // 1 x 1.5 inch
    ASSERT_TRUE(WriteEmfPage(page1, 10500, 14800));  // A6
    const std::wstring job = WriteJobFile(dir / L"job file.ini", {page0, page1});

    const auto code = RunProgram(StageCommand(L"lmvndisp.exe", job), 60000);
    ASSERT_TRUE(code.has_value()) << "lmvndisp.exe did not end";
    EXPECT_EQ(*code, 0u);

    const struct {
        std::wstring png;
        LONG width;
        LONG height;
    } expected[] = {{dir / L"page0.png", 2540, 3810}, {dir / L"page1.png", 10500, 14800}};
    PixelReader pixels;
    ASSERT_TRUE(pixels.ready());
    for (const auto& e : expected) {
        SCOPED_TRACE(std::string(e.png.begin(), e.png.end()));
        const PngFacts facts = InspectPng(ReadFileBytes(e.png));
        EXPECT_TRUE(facts.wellFormed);
        EXPECT_EQ(facts.width, static_cast<uint32_t>(PixelsAt96(e.width)));
        EXPECT_EQ(facts.height, static_cast<uint32_t>(PixelsAt96(e.height)));
        // The page was drawn, not just sized: black on the left, white on the right.
        const int w = static_cast<int>(facts.width);
        const int h = static_cast<int>(facts.height);
        EXPECT_EQ(pixels.Pixel(e.png, w / 4, h / 2), 0x000000);
        EXPECT_EQ(pixels.Pixel(e.png, 3 * w / 4, h / 2), 0xFFFFFF);
    }
    // The client finds the images through the job description file.
    EXPECT_EQ(ReadProfile(job, L"PNG", L"Count"), L"2");
    EXPECT_EQ(ReadProfile(job, L"PNG", L"File0"), expected[0].png);
    EXPECT_EQ(ReadProfile(job, L"PNG", L"File1"), expected[1].png);
}

// A text whose recorded glyph advances are all 0 (as a metafile recorded
// against a device without metrics for its font has them) is still laid out
// along its line, not stacked on its first glyph.
TEST(Converter, LaysOutTextRecordedWithoutGlyphAdvances) {
    TempDir dir(L"lmvndisp");
    const std::wstring page = dir / L"text.emf";
    const RECT frame = {0, 0, 10160, 2540};  // 4 x 1 inch: 384 x 96 pixels
    HDC dc = CreateEnhMetaFileW(nullptr, page.c_str(), &frame, nullptr);
    ASSERT_NE(dc, nullptr);
    SetMapMode(dc, MM_HIMETRIC);
    HFONT font = CreateFontW(-600, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0,
                             0, L"Tahoma");
    SelectObject(dc, font);
    const wchar_t text[] = L"MMMMMMMMMM";
    const INT zeros[10] = {};
    ExtTextOutW(dc, 300, -700, 0, nullptr, text, 10, zeros);
    DeleteEnhMetaFile(CloseEnhMetaFile(dc));
    DeleteObject(font);
    const std::wstring job = WriteJobFile(dir / L"job.ini", {page});

    ASSERT_EQ(RunProgram(StageCommand(L"lmvndisp.exe", job), 60000), 0u);
    PixelReader pixels;
    ASSERT_TRUE(pixels.ready());
    // Ten glyphs of about 6 mm (23 pixels) height: far wider than one glyph.
    EXPECT_GT(pixels.InkedColumns(dir / L"text.png", 384, 96), 80);
}

TEST(Converter, ConvertsTheGoodPagesAndFailsForABadOne) {
    TempDir dir(L"lmvndisp");
    const std::wstring good = dir / L"good.emf";
    const std::wstring bad = dir / L"bad.emf";
    ASSERT_TRUE(WriteEmfPage(good, 2540, 2540));
    ASSERT_TRUE(WriteFileBytes(bad, "this is no metafile"));
    const std::wstring job = WriteJobFile(dir / L"job.ini", {bad, dir / L"missing.emf", good});
    WriteProfile(job, L"PNG", L"File5", L"left over from an earlier run");

    const auto code = RunProgram(L"\"" + Tool(L"lmvndisp.exe") + L"\" --dpi 200 " + job, 60000);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 1u);
    EXPECT_FALSE(FileExists(dir / L"bad.png"));
    EXPECT_FALSE(FileExists(dir / L"missing.png"));
    const PngFacts facts = InspectPng(ReadFileBytes(dir / L"good.png"));
    EXPECT_TRUE(facts.wellFormed);
    EXPECT_EQ(facts.width, 200u);  // one inch at 200 dots per inch
    EXPECT_EQ(facts.height, 200u);
    EXPECT_EQ(ReadProfile(job, L"PNG", L"Count"), L"1");
    EXPECT_EQ(ReadProfile(job, L"PNG", L"File0"), dir / L"good.png");
    EXPECT_EQ(ReadProfile(job, L"PNG", L"File5"), L"");
}

TEST(Converter, RefusesAMissingJobFileAndAnAbsurdResolution) {
    TempDir dir(L"lmvndisp");
    EXPECT_EQ(RunProgram(StageCommand(L"lmvndisp.exe", dir / L"no-such-job.ini"), 30000), 2u);
    const std::wstring page = dir / L"p.emf";
    ASSERT_TRUE(WriteEmfPage(page, 2540, 2540));
    const std::wstring job = WriteJobFile(dir / L"job.ini", {page});
    EXPECT_EQ(RunProgram(Tool(L"lmvndisp.exe") + L" --dpi 100000 " + job, 30000), 2u);
    EXPECT_FALSE(FileExists(dir / L"p.png"));
}

TEST(Preprocessor, CancelsByTitleOrMarkerFileAndPassesEverythingElseUntouched) {
    TempDir dir(L"lmvn pre");
    const std::wstring titled = WriteJobFile(dir / L"titled job.ini", {});
    WriteProfile(titled, L"Document", L"Title", L"Quarterly figures [CANCEL] draft");
    const std::wstring marked = WriteJobFile(dir / L"marked.ini", {});
    ASSERT_TRUE(WriteFileBytes(marked + L".cancel", ""));
    const std::wstring plain = WriteJobFile(dir / L"plain.ini", {});
    WriteProfile(plain, L"Document", L"Title", L"Cancellation policy");
    const std::string plainBefore = ReadFileBytes(plain);

    EXPECT_EQ(RunProgram(StageCommand(L"preprocess.exe", titled), 30000), 1u);
    EXPECT_EQ(ReadProfile(titled, L"Document", L"PreprocessingResult"), L"Cancel");
    EXPECT_EQ(RunProgram(StageCommand(L"preprocess.exe", marked), 30000), 1u);
    EXPECT_EQ(ReadProfile(marked, L"Document", L"PreprocessingResult"), L"Cancel");

    EXPECT_EQ(RunProgram(StageCommand(L"preprocess.exe", plain), 30000), 0u);
    EXPECT_EQ(ReadFileBytes(plain), plainBefore);
    EXPECT_EQ(RunProgram(StageCommand(L"preprocess.exe", dir / L"absent.ini"), 30000), 2u);
}

TEST(ProgressIndicator, ShowsTheConvertedShareAndEndsOnClose) {
    TempDir dir(L"lmvnprog");
    const std::wstring job =
        WriteJobFile(dir / L"job.ini", {dir / L"a.emf", dir / L"b.emf", dir / L"c.emf"});
    ASSERT_TRUE(WriteFileBytes(dir / L"a.png", "already converted"));

    std::wstring command = StageCommand(L"progress.exe", job);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(StartTestProcess(command.data(), FALSE, NORMAL_PRIORITY_CLASS, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    WaitForInputIdle(pi.hProcess, 20000);

    HWND window = nullptr;
    WaitUntil(
        [&] {
            window = FindWindowW(L"Lumvane progress indicator", nullptr);
            return window != nullptr;
        },
        10000);
    ASSERT_NE(window, nullptr);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    EXPECT_EQ(owner, pi.dwProcessId);
    HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 3);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 1);
    // The converter writes a second page: the bar follows within its poll.
    ASSERT_TRUE(WriteFileBytes(dir / L"b.png", "converted now"));
    EXPECT_TRUE(WaitUntil([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) == 2; }, 5000));

    PostMessageW(window, WM_CLOSE, 0, 0);
    const DWORD waited = WaitForSingleObject(pi.hProcess, 10000);
    if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    DWORD exitCode = 99;
    GetExitCodeProcess(pi.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(pi.hProcess);
}

// lmvnnotify.exe running with its output in a file.
class NotifyMonitor {
  public:
    NotifyMonitor(const std::wstring& outputFile, const std::wstring& options)
        : outputFile_(outputFile) {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        HANDLE out =
            CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                        CREATE_ALWAYS, 0, nullptr);
        if (out == INVALID_HANDLE_VALUE) return;
        std::wstring command = L"\"" + Tool(L"lmvnnotify.exe") + L"\" " + options;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out;
        si.hStdError = out;
        PROCESS_INFORMATION pi = {};
        if (StartTestProcess(command.data(), TRUE, CREATE_NO_WINDOW, nullptr, &si, &pi)) {
            CloseHandle(pi.hThread);
            process_ = pi.hProcess;
        }
        CloseHandle(out);
    }
    ~NotifyMonitor() {
        if (process_ == nullptr) return;
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
        CloseHandle(process_);
    }
    bool started() const { return process_ != nullptr; }
    std::string Output() const { return ReadFileBytes(outputFile_); }
    bool WaitUntilListening(DWORD timeoutMs) const {
        return WaitUntil([&] { return Output().find("listening for") != std::string::npos; },
                         timeoutMs);
    }
    std::optional<DWORD> WaitForExit(DWORD timeoutMs) const {
        if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return code;
    }

  private:
    std::wstring outputFile_;
    HANDLE process_ = nullptr;
};

std::string SystemDescription(DWORD error) {
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof(text), nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

TEST(NotifyMonitor, PrintsEachBroadcastWithItsMeaningAndTheSystemError) {
    TempDir dir(L"lmvnnotify");
    NotifyMonitor monitor(dir / L"out.txt", L"--count 2 --seconds 30");
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(monitor.WaitUntilListening(15000)) << monitor.Output();

    const UINT message = RegisterWindowMessageW(L"Lumvane_notify_message");
    ASSERT_NE(message, 0u);
    ASSERT_TRUE(SendNotifyMessageW(HWND_BROADCAST, message, 0xF006, ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SendNotifyMessageW(HWND_BROADCAST, message, 112, 0));

    EXPECT_EQ(monitor.WaitForExit(30000), 0u);
    const std::string out = monitor.Output();
    const size_t registry =
        out.find("code 0xF006 (61446): Failed to open registry key HKLM\\Software\\Lumvane\r\n");
    const size_t error = out.find("    system error 5: " + SystemDescription(5) + "\r\n");
    const size_t missing = out.find(
        "code 0x70 (112): The Lumvane printer has not been properly configured. A required file "
        "could not be located. Please contact support.\r\n");
    ASSERT_NE(registry, std::string::npos) << out;
    ASSERT_NE(error, std::string::npos) << out;
    ASSERT_NE(missing, std::string::npos) << out;
    EXPECT_LT(registry, error);
    EXPECT_LT(error, missing);
    // A report without a system error carries none.
    EXPECT_EQ(out.find("system error", missing), std::string::npos) << out;
    EXPECT_NE(out.find("2 broadcast(s) received"), std::string::npos) << out;
}

TEST(NotifyMonitor, PrintsTheBroadcastOfARunningAgentThatCannotOpenItsLog) {
    TempDir dir(L"lmvnnotify");
    AgentRegistry registry;
    DesktopRobot robot;  // in case the agent showed a box after all
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Log", 1));
    ASSERT_TRUE(AgentRegistry::SetDword(HKEY_LOCAL_MACHINE, L"Message Mode", 1));
    ASSERT_TRUE(
        AgentRegistry::SetString(HKEY_LOCAL_MACHINE, L"LogDestDir", dir / L"no such folder"));

    NotifyMonitor monitor(dir / L"out.txt", L"--count 1 --seconds 40");
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(monitor.WaitUntilListening(15000)) << monitor.Output();

    AgentProcess agent;
    ASSERT_TRUE(agent.Start(dir.path()));
    EXPECT_EQ(agent.WaitForExit(20000), 0u);
    EXPECT_EQ(monitor.WaitForExit(30000), 0u);
    const std::string out = monitor.Output();
    EXPECT_NE(out.find("code 0xF001 (61441): Failed to open the log file:"), std::string::npos)
        << out;
    EXPECT_NE(out.find("agent: the agent ended at start-up"), std::string::npos) << out;
    EXPECT_EQ(out.find("system error"), std::string::npos) << out;
    EXPECT_TRUE(robot.Boxes().empty());
}

TEST(NotifyMonitor, EndsWhenItsTimeRunsOutAndRejectsUnknownOptions) {
    TempDir dir(L"lmvnnotify");
    {
        NotifyMonitor monitor(dir / L"timed.txt", L"--count 1 --seconds 1");
        ASSERT_TRUE(monitor.started());
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(monitor.WaitForExit(20000), 1u);  // the broadcast it waited for never came
        EXPECT_GE(GetTickCount64() - start, 900u);
        EXPECT_NE(monitor.Output().find("0 broadcast(s) received"), std::string::npos);
    }
    NotifyMonitor wrong(dir / L"wrong.txt", L"--count");
    ASSERT_TRUE(wrong.started());
    EXPECT_EQ(wrong.WaitForExit(20000), 2u);
    EXPECT_NE(wrong.Output().find("Usage: lmvnnotify"), std::string::npos);
}

}  // namespace
