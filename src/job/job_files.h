// The files of a job that the agent deletes on some failure paths.
#pragma once

namespace lmvn {

// Deletes the EMF files the job description file lists (File0 up to at most
// kMaxJobFiles entries below "Count"), then the file itself.
void DeleteJobFiles(const wchar_t* jobPath);
inline constexpr int kMaxJobFiles = 10000;

}  // namespace lmvn
