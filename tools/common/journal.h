// Journal files of the sample client and of the test and benchmark programs:
// UTF-8 lines that several processes append to. Each line goes out with one
// write while a named mutex is held, since append-only access alone does not
// keep the lines of several processes whole on every platform.
#pragma once

#include <windows.h>

#include <string>

namespace lmvntools {

// Appends `text` (one or more whole lines) to the file at `path`, creating
// it. Retries a file held open without sharing for a bounded time. False when
// nothing could be written.
inline bool AppendJournal(const std::wstring& path, const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes,
                        nullptr, nullptr);

    HANDLE lock = CreateMutexW(nullptr, FALSE, L"Local\\LumvaneJournalLock");
    const bool owned =
        lock != nullptr && WaitForSingleObject(lock, 5000) != WAIT_TIMEOUT;  // abandoned is ours
    bool done = false;
    for (int attempt = 0; attempt < 100 && !done; ++attempt) {
        HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(5);
            continue;
        }
        DWORD written = 0;
        done = WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) &&
               written == utf8.size();
        CloseHandle(file);
    }
    if (owned) ReleaseMutex(lock);
    if (lock != nullptr) CloseHandle(lock);
    return done;
}

}  // namespace lmvntools
