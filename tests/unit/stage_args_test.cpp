// How the sample stage programs find the job description file on the command
// line the agent gives them: "<program path> <job file path>", unquoted.
#include <gtest/gtest.h>

#include "../../tools/common/stage_args.h"

using lmvnstage::ArgumentTail;

TEST(StageArguments, TakeEverythingAfterTheProgramAsTheJobPath) {
    const std::wstring module = L"C:\\Program Files\\Lumvane\\preprocess.exe";
    // The agent quotes neither part: both may hold blanks.
    EXPECT_EQ(ArgumentTail(module + L" C:\\My Jobs\\job 1.ini", module), L"C:\\My Jobs\\job 1.ini");
    // The system may report the program path in another letter case.
    EXPECT_EQ(ArgumentTail(L"c:\\program files\\lumvane\\PREPROCESS.EXE C:\\j.ini", module),
              L"C:\\j.ini");
    // A person quotes: the program word and the quotes around the path go.
    EXPECT_EQ(ArgumentTail(L"\"" + module + L"\"   \"C:\\My Jobs\\j.ini\"  ", module),
              L"C:\\My Jobs\\j.ini");
    // Started by another name (a copy, a short path): the first word is the program.
    EXPECT_EQ(ArgumentTail(L"pre.exe C:\\a b.ini", module), L"C:\\a b.ini");
    EXPECT_EQ(ArgumentTail(module, module), L"");
    EXPECT_EQ(ArgumentTail(L"", module), L"");
}

TEST(StageArguments, KeepInnerQuotesAndOnlyMatchTheWholeProgramPath) {
    const std::wstring module = L"C:\\stage\\lmvndisp.exe";
    // Not the module path followed by a blank: a longer word is not the program.
    EXPECT_EQ(ArgumentTail(L"C:\\stage\\lmvndisp.exe2 job.ini", module), L"job.ini");
    // Quotes that do not enclose the whole rest stay.
    EXPECT_EQ(ArgumentTail(module + L" \"a\" \"b\"", module), L"\"a\" \"b\"");
}

TEST(StageArguments, TakeALeadingOptionWithItsValue) {
    std::wstring tail = L"--dpi 300   C:\\My Jobs\\j.ini";
    std::wstring value;
    EXPECT_TRUE(lmvnstage::TakeOption(tail, L"--dpi", value));
    EXPECT_EQ(value, L"300");
    EXPECT_EQ(tail, L"C:\\My Jobs\\j.ini");

    std::wstring path = L"--dpi.ini";  // a job file that merely starts like the option
    EXPECT_FALSE(lmvnstage::TakeOption(path, L"--dpi", value));
    EXPECT_EQ(path, L"--dpi.ini");
}

TEST(StageArguments, PutTheImageBesideThePageWithItsOwnName) {
    EXPECT_EQ(lmvnstage::PngPathFor(L"C:\\jobs\\page1.emf"), L"C:\\jobs\\page1.png");
    // A dot in a folder name is not the page's extension.
    EXPECT_EQ(lmvnstage::PngPathFor(L"C:\\jobs.v2\\page1"), L"C:\\jobs.v2\\page1.png");
    EXPECT_EQ(lmvnstage::PngPathFor(L"C:\\jobs\\page.1.EMF"), L"C:\\jobs\\page.1.png");
}
