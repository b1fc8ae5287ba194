#include "processes.h"

#include <tlhelp32.h>

#include <cwctype>
#include <functional>
#include <vector>

namespace lmvntest {
namespace {

// SystemExtendedHandleInformation: one entry per open handle in the system.
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

}  // namespace

std::optional<size_t> ProcessHandleCount(DWORD pid) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return std::nullopt;
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (query == nullptr) return std::nullopt;

    std::vector<char> buffer(1 << 20);
    for (int attempt = 0; attempt < 6; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(kSystemExtendedHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
            continue;
        }
        if (status != 0) return std::nullopt;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        size_t count = 0;
        for (ULONG_PTR i = 0; i < table->count; ++i) {
            if (table->entries[i].processId == pid) ++count;
        }
        return count;
    }
    return std::nullopt;
}

std::optional<size_t> ProcessThreadCount(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
    size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == pid) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

size_t SteadyThreadCount(DWORD pid) {
    size_t last = 0;
    int stable = 0;
    for (int i = 0; i < 300 && stable < 10; ++i) {
        const size_t now = ProcessThreadCount(pid).value_or(0);
        stable = now == last ? stable + 1 : 0;
        last = now;
        Sleep(100);
    }
    return last;
}

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// Calls `visit` with each other process (opened for querying, terminating
// and waiting) and its executable's full path in lower case, until it
// returns false. The handle is closed afterwards unless `visit` kept it by
// setting it to null.
void ForEachProcess(const std::function<bool(HANDLE&, const std::wstring&)>& visit) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool more = Process32FirstW(snapshot, &entry) != FALSE;
    for (; more; more = Process32NextW(snapshot, &entry) != FALSE) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                        entry.th32ProcessID);
        if (process == nullptr) continue;
        wchar_t image[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        const std::wstring path =
            QueryFullProcessImageNameW(process, 0, image, &size) ? Lower(image) : L"";
        const bool goOn = visit(process, path);
        if (process != nullptr) CloseHandle(process);
        if (!goOn) break;
    }
    CloseHandle(snapshot);
}

}  // namespace

int TerminateProcessesIn(const std::wstring& dir) {
    const std::wstring prefix = Lower(dir.back() == L'\\' ? dir : dir + L"\\");
    int ended = 0;
    ForEachProcess([&](HANDLE& process, const std::wstring& path) {
        const bool directlyInDir =
            path.rfind(prefix, 0) == 0 && path.find(L'\\', prefix.size()) == std::wstring::npos;
        if (directlyInDir && TerminateProcess(process, 0)) {
            WaitForSingleObject(process, 5000);
            ++ended;
        }
        return true;
    });
    return ended;
}

HANDLE FindRunningProgram(const std::wstring& exePath) {
    const std::wstring wanted = Lower(exePath);
    HANDLE found = nullptr;
    ForEachProcess([&](HANDLE& process, const std::wstring& path) {
        if (path != wanted || WaitForSingleObject(process, 0) != WAIT_TIMEOUT) return true;
        found = process;
        process = nullptr;  // kept for the caller
        return false;
    });
    return found;
}

}  // namespace lmvntest
