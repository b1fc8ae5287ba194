// preprocess.exe: the sample preprocessor stage.
//
//   preprocess.exe JOBFILE
//
// Lets every job through, except one that asks to be cancelled:
//
//   - its document title, "Title" in section "Document" of the job
//     description file, contains "[cancel]" (in any letter case); or
//   - a marker file lies beside the job description file, named like it with
//     ".cancel" appended (C:\jobs\job7.ini.cancel for C:\jobs\job7.ini).
//
// A cancelled job gets "PreprocessingResult=Cancel" in section "Document";
// the agent then ends the job without converting or delivering it and leaves
// its files where they are. A job that goes on is not touched at all.
//
// Exit code: 0 when the job goes on, 1 when it was cancelled, 2 when there is
// no job description file, 3 when the cancel could not be written (the agent does not look at the
// exit code; it only waits for the program to end).
#include <windows.h>

#include <string>

#include "stage_args.h"

namespace {

bool WantsCancel(const std::wstring& jobFile) {
    const std::wstring title = lmvnstage::ReadProfileText(jobFile, L"Document", L"Title");
    if (lmvnstage::ContainsNoCase(title, L"[cancel]")) return true;
    const std::wstring marker = jobFile + L".cancel";
    return GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring jobFile = lmvnstage::OwnArgumentTail();
    if (jobFile.empty() || GetFileAttributesW(jobFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return 2;
    }
    if (!WantsCancel(jobFile)) return 0;
    if (!WritePrivateProfileStringW(L"Document", L"PreprocessingResult", L"Cancel",
                                    jobFile.c_str())) {
        return 3;
    }
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, jobFile.c_str());  // flush
    return 1;
}
