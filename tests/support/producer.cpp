#include "producer.h"

#include "harness.h"

namespace lmvntest {

bool WriteJobFile(const std::wstring& path, int jobId, const std::vector<std::wstring>& pages) {
    std::wstring text = L"\xFEFF[Document]\r\nJobID=" + std::to_wstring(jobId) +
                        L"\r\n[EMF]\r\nCount=" + std::to_wstring(pages.size()) + L"\r\n";
    for (size_t i = 0; i < pages.size(); ++i) {
        text += L"File" + std::to_wstring(i) + L"=" + pages[i] + L"\r\n";
    }
    std::string bytes(text.size() * 2, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return WriteFileBytes(path, bytes);
}

bool SignalJob(bool shared) {
    const std::wstring name = shared ? std::wstring(kSharedEventName) : PrintEventName();
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (event == nullptr) return false;
    const BOOL set = SetEvent(event);
    CloseHandle(event);
    return set != FALSE;
}

bool HandOver(const std::wstring& valueName, const std::wstring& jobPath, bool shared,
              DWORD waitMs) {
    if (!WaitUntil([&] { return !AgentRegistry::Exists(HKEY_LOCAL_MACHINE, valueName.c_str()); },
                   waitMs)) {
        return false;
    }
    return AgentRegistry::SetString(HKEY_LOCAL_MACHINE, valueName.c_str(), jobPath) &&
           SignalJob(shared);
}

}  // namespace lmvntest
