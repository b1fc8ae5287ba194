// What the three sample stage programs share: finding the job description
// file on their command line, and reading it.
//
// The agent starts a stage program with "<program path> <job file path>",
// neither part quoted, so either part may contain blanks. A stage program
// therefore takes everything after its own path as the job file path.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace lmvnstage {

inline bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The text that follows the program's own name on `commandLine`. The program
// name is recognised as a quoted word, as `modulePath` itself (compared
// without regard to case, so an unquoted path with blanks is skipped whole),
// or else as the first word. Blanks around the rest are dropped, and one pair
// of quotes around the whole rest is removed.
inline std::wstring ArgumentTail(const std::wstring& commandLine, const std::wstring& modulePath) {
    size_t pos = 0;
    while (pos < commandLine.size() && IsBlank(commandLine[pos])) ++pos;
    const size_t start = pos;
    if (pos < commandLine.size() && commandLine[pos] == L'"') {
        const size_t close = commandLine.find(L'"', pos + 1);
        pos = close == std::wstring::npos ? commandLine.size() : close + 1;
    } else if (!modulePath.empty() && commandLine.size() - start >= modulePath.size() &&
               _wcsnicmp(commandLine.c_str() + start, modulePath.c_str(), modulePath.size()) == 0 &&
               (start + modulePath.size() == commandLine.size() ||
                IsBlank(commandLine[start + modulePath.size()]))) {
        pos = start + modulePath.size();
    } else {
        while (pos < commandLine.size() && !IsBlank(commandLine[pos])) ++pos;
    }
    while (pos < commandLine.size() && IsBlank(commandLine[pos])) ++pos;
    size_t end = commandLine.size();
    while (end > pos && IsBlank(commandLine[end - 1])) --end;
    std::wstring tail = commandLine.substr(pos, end - pos);
    if (tail.size() >= 2 && tail.front() == L'"' && tail.back() == L'"' &&
        tail.find(L'"', 1) == tail.size() - 1) {
        tail = tail.substr(1, tail.size() - 2);
    }
    return tail;
}

// The running program's own path and the text after it on its command line.
inline std::wstring OwnArgumentTail() {
    wchar_t module[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
    return ArgumentTail(GetCommandLineW(), std::wstring(module, length < MAX_PATH ? length : 0));
}

// Removes a leading "--name VALUE" option from `tail`; VALUE goes to `value`.
// False (and `tail` unchanged) when `tail` does not begin with the option.
inline bool TakeOption(std::wstring& tail, const std::wstring& name, std::wstring& value) {
    if (tail.compare(0, name.size(), name) != 0) return false;
    size_t pos = name.size();
    if (pos >= tail.size() || !IsBlank(tail[pos])) return false;
    while (pos < tail.size() && IsBlank(tail[pos])) ++pos;
    size_t end = pos;
    while (end < tail.size() && !IsBlank(tail[end])) ++end;
    value = tail.substr(pos, end - pos);
    while (end < tail.size() && IsBlank(tail[end])) ++end;
    tail = tail.substr(end);
    return true;
}

// One text value of the job description file ("" when absent).
inline std::wstring ReadProfileText(const std::wstring& file, const wchar_t* section,
                                    const wchar_t* key) {
    wchar_t buffer[1024] = {};
    GetPrivateProfileStringW(section, key, L"", buffer, 1024, file.c_str());
    return buffer;
}

// The EMF pages that the job description file lists: "Count" and "File0"..
// of section "EMF". Empty entries are skipped; a negative or absurd count
// gives no pages.
inline std::vector<std::wstring> ReadEmfPages(const std::wstring& jobFile) {
    constexpr int kMaxPages = 10000;
    const int count = static_cast<int>(GetPrivateProfileIntW(L"EMF", L"Count", 0, jobFile.c_str()));
    std::vector<std::wstring> pages;
    for (int i = 0; i < count && i < kMaxPages; ++i) {
        const std::wstring key = L"File" + std::to_wstring(i);
        std::wstring page = ReadProfileText(jobFile, L"EMF", key.c_str());
        if (!page.empty()) pages.push_back(std::move(page));
    }
    return pages;
}

// Where the converter puts the image of an EMF page: beside it, with the
// extension ".png" in place of the page's own.
inline std::wstring PngPathFor(const std::wstring& emfPath) {
    const size_t slash = emfPath.find_last_of(L"\\/");
    const size_t dot = emfPath.find_last_of(L'.');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) {
        return emfPath.substr(0, dot) + L".png";
    }
    return emfPath + L".png";
}

// Case-insensitive search for `needle` in `text` (ASCII letters folded).
inline bool ContainsNoCase(const std::wstring& text, const std::wstring& needle) {
    if (needle.empty()) return true;
    auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; };
    for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
        size_t j = 0;
        while (j < needle.size() && fold(text[i + j]) == fold(needle[j])) ++j;
        if (j == needle.size()) return true;
    }
    return false;
}

}  // namespace lmvnstage
