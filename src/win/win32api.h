// The platform seam: every operating-system call the agent makes goes through
// one table of function pointers. Each member has the real signature and
// starts out pointing at the real function, so production code behaves as if
// it called Windows directly. A test replaces only the entries it must
// control with ScopedApiOverride and gets the real entry back when the
// override goes out of scope.
#pragma once

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <winspool.h>

#include <cstdlib>

namespace lmvn {

struct Win32Api {
    // kernel32: events, waits, threads, processes
    decltype(&::CreateEventW) CreateEventW = &::CreateEventW;
    decltype(&::CreateEventExW) CreateEventExW = &::CreateEventExW;
    decltype(&::OpenEventW) OpenEventW = &::OpenEventW;
    decltype(&::WaitForMultipleObjects) WaitForMultipleObjects = &::WaitForMultipleObjects;
    decltype(&::WaitForSingleObject) WaitForSingleObject = &::WaitForSingleObject;
    decltype(&::ResetEvent) ResetEvent = &::ResetEvent;
    decltype(&::SetEvent) SetEvent = &::SetEvent;
    decltype(&::CreateMutexW) CreateMutexW = &::CreateMutexW;
    decltype(&::ReleaseMutex) ReleaseMutex = &::ReleaseMutex;
    decltype(&::CreateThread) CreateThread = &::CreateThread;
    decltype(&::GetExitCodeThread) GetExitCodeThread = &::GetExitCodeThread;
    decltype(&::TerminateThread) TerminateThread = &::TerminateThread;
    decltype(&::CreateProcessW) CreateProcessW = &::CreateProcessW;
    decltype(&::GetCurrentProcess) GetCurrentProcess = &::GetCurrentProcess;
    decltype(&::TerminateProcess) TerminateProcess = &::TerminateProcess;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess = &::GetExitCodeProcess;
    decltype(&::GetProcessId) GetProcessId = &::GetProcessId;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW = &::GetModuleFileNameW;
    decltype(&::GetCurrentProcessId) GetCurrentProcessId = &::GetCurrentProcessId;
    decltype(&::GetCurrentThreadId) GetCurrentThreadId = &::GetCurrentThreadId;
    decltype(&::ProcessIdToSessionId) ProcessIdToSessionId = &::ProcessIdToSessionId;
    decltype(&::CloseHandle) CloseHandle = &::CloseHandle;
    decltype(&::Sleep) Sleep = &::Sleep;
    decltype(&::GetTickCount64) GetTickCount64 = &::GetTickCount64;
    decltype(&::GetVersionExW) GetVersionExW = &::GetVersionExW;
    decltype(&::GetSystemTime) GetSystemTime = &::GetSystemTime;
    decltype(&::GetTickCount) GetTickCount = &::GetTickCount;
    decltype(&::FormatMessageW) FormatMessageW = &::FormatMessageW;
    decltype(&::WideCharToMultiByte) WideCharToMultiByte = &::WideCharToMultiByte;
    decltype(&::MultiByteToWideChar) MultiByteToWideChar = &::MultiByteToWideChar;

    // kernel32: files and profile files
    decltype(&::CreateFileW) CreateFileW = &::CreateFileW;
    decltype(&::SetFilePointer) SetFilePointer = &::SetFilePointer;
    decltype(&::WriteFile) WriteFile = &::WriteFile;
    decltype(&::DeleteFileW) DeleteFileW = &::DeleteFileW;
    decltype(&::GetFileAttributesW) GetFileAttributesW = &::GetFileAttributesW;
    decltype(&::GetFileAttributesExW) GetFileAttributesExW = &::GetFileAttributesExW;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle =
        &::GetFileInformationByHandle;
    decltype(&::GetFileSizeEx) GetFileSizeEx = &::GetFileSizeEx;
    decltype(&::GetFileTime) GetFileTime = &::GetFileTime;
    decltype(&::MoveFileExW) MoveFileExW = &::MoveFileExW;
    decltype(&::GetShortPathNameW) GetShortPathNameW = &::GetShortPathNameW;
    decltype(&::GetPrivateProfileStringW) GetPrivateProfileStringW = &::GetPrivateProfileStringW;
    decltype(&::GetPrivateProfileIntW) GetPrivateProfileIntW = &::GetPrivateProfileIntW;

    // kernel32: memory
    decltype(&::GlobalAlloc) GlobalAlloc = &::GlobalAlloc;
    decltype(&::GlobalLock) GlobalLock = &::GlobalLock;
    decltype(&::GlobalUnlock) GlobalUnlock = &::GlobalUnlock;
    decltype(&::GlobalFree) GlobalFree = &::GlobalFree;
    decltype(&::LocalFree) LocalFree = &::LocalFree;
    // Growth of the worker thread registry; a test makes it fail.
    void* (*Reallocate)(void*, size_t) = &std::realloc;
    void (*Release)(void*) = &std::free;

    // advapi32: registry and security
    decltype(&::RegOpenKeyExW) RegOpenKeyExW = &::RegOpenKeyExW;
    decltype(&::RegCreateKeyExW) RegCreateKeyExW = &::RegCreateKeyExW;
    decltype(&::RegQueryValueExW) RegQueryValueExW = &::RegQueryValueExW;
    decltype(&::RegDeleteValueW) RegDeleteValueW = &::RegDeleteValueW;
    decltype(&::RegCloseKey) RegCloseKey = &::RegCloseKey;
    decltype(&::GetUserNameW) GetUserNameW = &::GetUserNameW;
    decltype(&::InitializeSecurityDescriptor) InitializeSecurityDescriptor =
        &::InitializeSecurityDescriptor;
    decltype(&::SetSecurityDescriptorDacl) SetSecurityDescriptorDacl = &::SetSecurityDescriptorDacl;
    decltype(&::OpenProcessToken) OpenProcessToken = &::OpenProcessToken;
    decltype(&::GetTokenInformation) GetTokenInformation = &::GetTokenInformation;
    decltype(&::ConvertSidToStringSidW) ConvertSidToStringSidW = &::ConvertSidToStringSidW;
    decltype(&::ConvertStringSidToSidW) ConvertStringSidToSidW = &::ConvertStringSidToSidW;
    decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorW)
        ConvertStringSecurityDescriptorToSecurityDescriptorW =
            &::ConvertStringSecurityDescriptorToSecurityDescriptorW;
    decltype(&::GetSecurityInfo) GetSecurityInfo = &::GetSecurityInfo;
    decltype(&::EqualSid) EqualSid = &::EqualSid;
    decltype(&::GetAce) GetAce = &::GetAce;
    decltype(&::GetNamedSecurityInfoW) GetNamedSecurityInfoW = &::GetNamedSecurityInfoW;
    decltype(&::RegGetKeySecurity) RegGetKeySecurity = &::RegGetKeySecurity;
    decltype(&::GetSecurityDescriptorOwner) GetSecurityDescriptorOwner =
        &::GetSecurityDescriptorOwner;
    decltype(&::GetSecurityDescriptorDacl) GetSecurityDescriptorDacl = &::GetSecurityDescriptorDacl;
    decltype(&::IsValidSid) IsValidSid = &::IsValidSid;
    decltype(&::GetLengthSid) GetLengthSid = &::GetLengthSid;

    // advapi32: the Windows Event Log
    decltype(&::RegisterEventSourceW) RegisterEventSourceW = &::RegisterEventSourceW;
    decltype(&::ReportEventW) ReportEventW = &::ReportEventW;
    decltype(&::DeregisterEventSource) DeregisterEventSource = &::DeregisterEventSource;

    // user32: messages, windows, reports
    decltype(&::RegisterWindowMessageW) RegisterWindowMessageW = &::RegisterWindowMessageW;
    decltype(&::MessageBoxW) MessageBoxW = &::MessageBoxW;
    decltype(&::MessageBeep) MessageBeep = &::MessageBeep;
    decltype(&::SendNotifyMessageW) SendNotifyMessageW = &::SendNotifyMessageW;
    decltype(&::FindWindowW) FindWindowW = &::FindWindowW;
    decltype(&::IsWindow) IsWindow = &::IsWindow;
    decltype(&::EnumWindows) EnumWindows = &::EnumWindows;
    decltype(&::GetWindowThreadProcessId) GetWindowThreadProcessId = &::GetWindowThreadProcessId;
    decltype(&::GetClassNameW) GetClassNameW = &::GetClassNameW;
    decltype(&::SendMessageW) SendMessageW = &::SendMessageW;
    decltype(&::PostMessageW) PostMessageW = &::PostMessageW;
    decltype(&::WaitForInputIdle) WaitForInputIdle = &::WaitForInputIdle;

    // user32: the agent's own hidden window (the clipboard's owner) and its
    // messages
    decltype(&::GetModuleHandleW) GetModuleHandleW = &::GetModuleHandleW;
    decltype(&::RegisterClassExW) RegisterClassExW = &::RegisterClassExW;
    decltype(&::CreateWindowExW) CreateWindowExW = &::CreateWindowExW;
    decltype(&::DestroyWindow) DestroyWindow = &::DestroyWindow;
    decltype(&::DefWindowProcW) DefWindowProcW = &::DefWindowProcW;
    decltype(&::SetWindowLongPtrW) SetWindowLongPtrW = &::SetWindowLongPtrW;
    decltype(&::GetWindowLongPtrW) GetWindowLongPtrW = &::GetWindowLongPtrW;
    decltype(&::MsgWaitForMultipleObjects) MsgWaitForMultipleObjects = &::MsgWaitForMultipleObjects;
    decltype(&::PeekMessageW) PeekMessageW = &::PeekMessageW;
    decltype(&::DispatchMessageW) DispatchMessageW = &::DispatchMessageW;

    // user32: foreground activation
    decltype(&::SetForegroundWindow) SetForegroundWindow = &::SetForegroundWindow;
    decltype(&::AllowSetForegroundWindow) AllowSetForegroundWindow = &::AllowSetForegroundWindow;
    decltype(&::SystemParametersInfoW) SystemParametersInfoW = &::SystemParametersInfoW;
    decltype(&::GetKeyboardState) GetKeyboardState = &::GetKeyboardState;
    decltype(&::keybd_event) keybd_event = &::keybd_event;

    // user32: clipboard
    decltype(&::RegisterClipboardFormatW) RegisterClipboardFormatW = &::RegisterClipboardFormatW;
    decltype(&::OpenClipboard) OpenClipboard = &::OpenClipboard;
    decltype(&::EmptyClipboard) EmptyClipboard = &::EmptyClipboard;
    decltype(&::SetClipboardData) SetClipboardData = &::SetClipboardData;
    decltype(&::CloseClipboard) CloseClipboard = &::CloseClipboard;
    decltype(&::GetClipboardOwner) GetClipboardOwner = &::GetClipboardOwner;

    // winspool: print queue
    decltype(&::OpenPrinterW) OpenPrinterW = &::OpenPrinterW;
    decltype(&::EnumJobsW) EnumJobsW = &::EnumJobsW;
    decltype(&::SetJobW) SetJobW = &::SetJobW;
    decltype(&::ClosePrinter) ClosePrinter = &::ClosePrinter;
};

// The process's table.
Win32Api& Win32();

// Replaces one entry of the table for the lifetime of the object, then puts
// back what was there. Tests only; set it up before starting threads that
// use the entry.
template <typename Fn>
class ScopedApiOverride {
  public:
    ScopedApiOverride(Fn Win32Api::*member, Fn replacement)
        : member_(member), saved_(Win32().*member) {
        Win32().*member_ = replacement;
    }
    ~ScopedApiOverride() { Win32().*member_ = saved_; }
    ScopedApiOverride(const ScopedApiOverride&) = delete;
    ScopedApiOverride& operator=(const ScopedApiOverride&) = delete;

    // The entry that was in place before, for fakes that forward to it.
    Fn original() const { return saved_; }

  private:
    Fn Win32Api::*member_;
    Fn saved_;
};

}  // namespace lmvn
