#include "procinfo.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace bench {
namespace {

// A whole /proc file as text (these report a size of 0: read to the end).
std::string ReadProcFile(const std::wstring& path) {
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char chunk[4096];
    DWORD got = 0;
    while (text.size() < (1u << 20) && ReadFile(file, chunk, sizeof(chunk), &got, nullptr) &&
           got > 0) {
        text.append(chunk, got);
    }
    CloseHandle(file);
    return text;
}

std::wstring ProcDir(DWORD linuxPid) { return L"Z:\\proc\\" + std::to_wstring(linuxPid); }

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// The number after "Key:" in a "Key: value" file, or -1.
long long Field(const std::string& text, const char* key) {
    const std::string wanted = std::string("\n") + key + ":";
    const size_t at = ("\n" + text).find(wanted);
    if (at == std::string::npos) return -1;
    return std::strtoll(text.c_str() + at + wanted.size() - 1, nullptr, 10);
}

// Layout of the handle table that NtQuerySystemInformation returns for
// class 16 (SystemHandleInformation).
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

}  // namespace

DWORD FindLinuxPid(const std::wstring& imagePath) {
    const std::wstring wanted = Lower(imagePath);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    DWORD result = 0;
    do {
        const wchar_t* name = found.cFileName;
        if (*name < L'0' || *name > L'9') continue;
        std::string command = ReadProcFile(ProcDir(std::wcstoul(name, nullptr, 10)) + L"\\cmdline");
        // Wine shows the Windows command line: the first word is the image.
        const size_t end = command.find('\0');
        if (end != std::string::npos) command.resize(end);
        std::wstring first(command.begin(), command.end());  // paths here are ASCII
        if (!first.empty() && first.front() == L'"') first = first.substr(1);
        if (Lower(first).rfind(wanted, 0) == 0) {
            result = std::wcstoul(name, nullptr, 10);
            break;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return result;
}

std::optional<LinuxFigures> ReadLinuxFigures(DWORD linuxPid) {
    if (linuxPid == 0) return std::nullopt;
    const std::wstring dir = ProcDir(linuxPid);
    const std::string stat = ReadProcFile(dir + L"\\stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return std::nullopt;
    // After "pid (comm)": state is field 3; utime and stime are fields 14, 15.
    std::vector<unsigned long long> fields;
    const char* p = stat.c_str() + paren + 2;
    while (*p != '\0' && fields.size() < 14) {
        const char* space = std::strchr(p, ' ');
        fields.push_back(std::strtoull(p, nullptr, 10));
        if (space == nullptr) break;
        p = space + 1;
    }
    if (fields.size() < 14) return std::nullopt;
    LinuxFigures figures;
    figures.cpuTicks = fields[11] + fields[12];

    const std::string status = ReadProcFile(dir + L"\\status");
    figures.threads = static_cast<int>(Field(status, "Threads"));
    figures.rssKb = Field(status, "VmRSS");
    const std::string rollup = ReadProcFile(dir + L"\\smaps_rollup");
    const long long clean = Field(rollup, "Private_Clean");
    const long long dirty = Field(rollup, "Private_Dirty");
    figures.privateKb = clean < 0 || dirty < 0 ? -1 : clean + dirty;

    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\task\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.cFileName[0] < L'0' || found.cFileName[0] > L'9') continue;
            const std::string task =
                ReadProcFile(dir + L"\\task\\" + found.cFileName + L"\\status");
            const long long voluntary = Field(task, "voluntary_ctxt_switches");
            const long long forced = Field(task, "nonvoluntary_ctxt_switches");
            if (voluntary > 0)
                figures.contextSwitches += static_cast<unsigned long long>(voluntary);
            if (forced > 0) figures.contextSwitches += static_cast<unsigned long long>(forced);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return figures;
}

std::optional<long> CountHandles(DWORD windowsPid) {
    static const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return std::nullopt;
    std::vector<BYTE> buffer(1 << 16);
    for (int attempt = 0; attempt < 16; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(needed > buffer.size() ? needed + 4096 : buffer.size() * 2);
            continue;
        }
        if (status < 0) return std::nullopt;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        long count = 0;
        for (ULONG i = 0; i < table->count; ++i) {
            if (table->entries[i].ownerPid == windowsPid) ++count;
        }
        return count;
    }
    return std::nullopt;
}

std::optional<unsigned long long> ProcessTimes(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return std::nullopt;
    auto value = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return value(kernel) + value(user);
}

}  // namespace bench
