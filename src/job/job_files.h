// The files of a job: which job description file its owner check found, and
// the files the agent deletes on some failure paths.
#pragma once

#include "win/file_identity.h"

#include <windows.h>

namespace lmvn {

// The errors of a lookup that say a path names no file (other errors, such as
// a denied access, say nothing about it).
bool NamesNoFile(DWORD error);

// Opens a file for its owner and identity only: no access to its data, so the
// open stands in no one's way (a stage or client may still write, move or
// delete the file).
HANDLE OpenForIdentity(const wchar_t* path);

// The job description file the owner check accepted, for the job this thread
// serves. The file is looked up again by its path for every later step, and
// whoever may write the folder it lies in may put another file in its place
// meanwhile: before the agent deletes anything for the job, it makes sure the
// path still names the file that was checked.
void NoteCheckedJobFile(const FileId& id);
// The check found no file: whatever appears under the path later was never
// checked, so no deletion reads it or removes it.
void NoteJobFileAbsent();
// Forgets the note (at the end of the job's thread).
void ForgetJobFile();
struct JobFileScope {
    JobFileScope() = default;
    JobFileScope(const JobFileScope&) = delete;
    JobFileScope& operator=(const JobFileScope&) = delete;
    ~JobFileScope() { ForgetJobFile(); }
};
// Whether `jobPath` names the file the check accepted (true when no check was
// made on this thread). Logs the refusal when it does not.
bool IsCheckedJobFile(const wchar_t* jobPath);

// Deletes the job description file only (the EMF files it lists stay).
void DeleteJobFile(const wchar_t* jobPath);
// Deletes the EMF files the job description file lists (File0 up to at most
// kMaxJobFiles entries below "Count"), then the file itself.
void DeleteJobFiles(const wchar_t* jobPath);
inline constexpr int kMaxJobFiles = 10000;

}  // namespace lmvn
