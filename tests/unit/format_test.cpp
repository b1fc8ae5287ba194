#include "diag/format.h"

#include <gtest/gtest.h>

namespace lmvn {
namespace {

TEST(FormatText, DirectivesAndPadding) {
    wchar_t out[260];
    EXPECT_TRUE(FormatText(out, L"%d-%02d-%02d %02d:%02d:%02d.%03d", 2024, 3, 5, 7, 4, 9, 31));
    EXPECT_STREQ(L"2024-03-05 07:04:09.031", out);
    EXPECT_TRUE(FormatText(out, L"%s|%d|%u|%x|%%|%q", L"abc", -5, 4000000000u, 0xBEEFu));
    EXPECT_STREQ(L"abc|-5|4000000000|beef|%|%q", out);
    EXPECT_TRUE(FormatText(out, L"%d", static_cast<int>(0x80000005u)));
    EXPECT_STREQ(L"-2147483643", out);
    EXPECT_TRUE(FormatText(out, L"%d", INT_MIN));
    EXPECT_STREQ(L"-2147483648", out);
    EXPECT_TRUE(FormatText(out, L"%s", static_cast<const wchar_t*>(nullptr)));
    EXPECT_STREQ(L"(null)", out);
    EXPECT_TRUE(FormatText(out, L"tail %"));
    EXPECT_STREQ(L"tail %", out);
}

TEST(FormatText, CutsAtTheBufferAndNeverWritesPastIt) {
    wchar_t out[9];
    for (auto& c : out) c = L'#';
    std::span<wchar_t> inner(out, 8);
    EXPECT_FALSE(FormatText(inner, L"%s and more", L"Lumvane"));
    EXPECT_STREQ(L"Lumvane", out);
    EXPECT_EQ(L'#', out[8]);

    EXPECT_FALSE(FormatText(inner, L"%d", 123456789));
    EXPECT_STREQ(L"1234567", out);
    EXPECT_EQ(L'#', out[8]);

    EXPECT_TRUE(FormatText(inner, L"%s", L"1234567"));
    EXPECT_STREQ(L"1234567", out);
}

TEST(FormatText, CopyAndAppendStayInside) {
    wchar_t out[6];
    EXPECT_TRUE(CopyText(out, L"ab"));
    EXPECT_TRUE(AppendText(out, L"cde"));
    EXPECT_STREQ(L"abcde", out);
    EXPECT_FALSE(AppendText(out, L"f"));
    EXPECT_STREQ(L"abcde", out);
    EXPECT_FALSE(CopyText(out, L"abcdefgh"));
    EXPECT_STREQ(L"abcde", out);
}

}  // namespace
}  // namespace lmvn
