// The ANSI form of a job path, as copy-data and clipboard mode hand it over:
// exact, or the short form of the same file, or nothing at all.
#include "common/settings.h"
#include "job/ansi_path.h"
#include "support/harness.h"
#include "support/producer.h"
#include "win/win32api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace lmvn {
namespace {

using lmvntest::TempDir;

bool AllZeroFrom(const char (&ansi)[kAnsiPathBytes], size_t from) {
    return std::all_of(ansi + from, ansi + kAnsiPathBytes, [](char c) { return c == 0; });
}

std::wstring LongForm(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    return GetLongPathNameW(path.c_str(), full, MAX_PATH) != 0 ? full : L"";
}

// The file a client opens with `ansi` (read back in CP_ACP, as the sample
// client and the ANSI file functions do), in its long form; empty for none.
std::wstring NamedFile(const char* ansi) {
    wchar_t wide[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, MAX_PATH) == 0) return {};
    return LongForm(wide);
}

// GetShortPathNameW standing in for a volume that keeps no short names: it
// gives the long form back, as Windows does there.
DWORD WINAPI NoShortNames(LPCWSTR path, LPWSTR out, DWORD units) {
    const DWORD length = static_cast<DWORD>(wcslen(path));
    if (length >= units) return length + 1;
    wcscpy(out, path);
    return length;
}

DWORD WINAPI ShortFormTooLong(LPCWSTR, LPWSTR, DWORD units) { return units + 40; }

TEST(AnsiPath, WithoutAnExactFormNothingIsMade) {
    TempDir dir(L"lmvnansi");
    const std::wstring existing = dir / L"\u0416.ini";
    ASSERT_TRUE(lmvntest::WriteJobFile(existing, 3, {}));
    struct Case {
        const char* name;
        std::wstring path;
        decltype(&::GetShortPathNameW) shortPath;  // null: the real one
    };
    const Case cases[] = {
        {"the file does not exist: no short form", dir / L"\u0416\u0416.ini", nullptr},
        {"a volume without short names", existing, &NoShortNames},
        {"a short form longer than a path", existing, &ShortFormTooLong},
    };
    for (const Case& c : cases) {
        ScopedApiOverride shortPath(&Win32Api::GetShortPathNameW,
                                    c.shortPath ? c.shortPath : Win32().GetShortPathNameW);
        char ansi[kAnsiPathBytes];
        std::fill(ansi, ansi + kAnsiPathBytes, '#');
        EXPECT_FALSE(ToAnsiPath(c.path.c_str(), ansi)) << c.name;
        EXPECT_TRUE(AllZeroFrom(ansi, 0)) << c.name;
    }
}

// The thread's code page made into another one: the conversions of the
// agent go to `codePage` instead, and refuse the best-fit flag and the
// used-default question as Windows does for UTF-8.
struct CodePageSwap {
    static inline UINT codePage = CP_UTF8;
    static inline std::vector<UINT> asked;
    static UINT Swap(UINT requested) {
        asked.push_back(requested);
        return requested == CP_THREAD_ACP || requested == CP_ACP ? codePage : requested;
    }
    static int WINAPI ToBytes(UINT cp, DWORD flags, LPCWCH wide, int units, LPSTR bytes, int size,
                              LPCCH defaultChar, LPBOOL usedDefault) {
        cp = Swap(cp);
        if (cp == CP_UTF8 && (flags != 0 || defaultChar != nullptr || usedDefault != nullptr)) {
            SetLastError(flags != 0 ? ERROR_INVALID_FLAGS : ERROR_INVALID_PARAMETER);
            return 0;
        }
        return WideCharToMultiByte(cp, flags, wide, units, bytes, size, defaultChar, usedDefault);
    }
    static int WINAPI ToWide(UINT cp, DWORD flags, LPCCH bytes, int size, LPWSTR wide, int units) {
        return MultiByteToWideChar(Swap(cp), flags, bytes, size, wide, units);
    }
    ScopedApiOverride<decltype(&::WideCharToMultiByte)> toBytes{&Win32Api::WideCharToMultiByte,
                                                                &ToBytes};
    ScopedApiOverride<decltype(&::MultiByteToWideChar)> toWide{&Win32Api::MultiByteToWideChar,
                                                               &ToWide};
    explicit CodePageSwap(UINT to) {
        codePage = to;
        asked.clear();
    }
};

TEST(AnsiPath, AUtf8CodePageSpellsEveryPathButABrokenOne) {
    CodePageSwap utf8(CP_UTF8);
    char ansi[kAnsiPathBytes];
    // No such file: the path itself must do.
    ASSERT_TRUE(ToAnsiPath(L"C:\\jobs\\\u0416\u65e5\\job.ini", ansi));
    EXPECT_STREQ("C:\\jobs\\\xd0\x96\xe6\x97\xa5\\job.ini", ansi);
    EXPECT_FALSE(ToAnsiPath(L"C:\\jobs\\\xd800.ini", ansi));  // a lone surrogate
    EXPECT_TRUE(AllZeroFrom(ansi, 0));
    EXPECT_TRUE(std::all_of(CodePageSwap::asked.begin(), CodePageSwap::asked.end(),
                            [](UINT cp) { return cp == CP_THREAD_ACP; }));

    // Before Windows 2000 there is no thread code page: the process's serves.
    CodePageSwap::asked.clear();
    NT4Mode = 1;
    const bool converted = ToAnsiPath(L"C:\\jobs\\\u0416.ini", ansi);
    NT4Mode = 0;
    EXPECT_TRUE(converted);
    EXPECT_TRUE(std::all_of(CodePageSwap::asked.begin(), CodePageSwap::asked.end(),
                            [](UINT cp) { return cp == CP_ACP; }));
}

TEST(AnsiPath, AMultiByteFormTooLongForTheBlockFallsBackToTheShortForm) {
    // Code page 932 spells every CJK letter, in two bytes each: 125 of them
    // fit a path's 259 units but not 260 bytes.
    CodePageSwap japanese(932);
    TempDir dir(L"lmvnansi");
    // Two names, as a Linux file name under Wine holds at most 85 of them.
    const std::wstring folder = dir / std::wstring(60, L'\u65e5');
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring job = folder + L"\\" + std::wstring(65, L'\u672c') + L".ini";
    ASSERT_LT(job.size(), 260u);
    ASSERT_TRUE(lmvntest::WriteJobFile(job, 4, {}));
    char ansi[kAnsiPathBytes];
    ASSERT_TRUE(ToAnsiPath(job.c_str(), ansi));
    EXPECT_LT(std::string(ansi).size(), 100u);
    EXPECT_EQ(LongForm(job), NamedFile(ansi));
}

}  // namespace
}  // namespace lmvn
