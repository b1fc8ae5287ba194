// Process-wide settings. The main thread writes them during start-up, before
// the first processing thread exists; from then on they are only read, so no
// lock guards them. (LogFileHandle, owned by the log writer, is the one value
// that changes later, at shutdown.)
#pragma once

#include <windows.h>

namespace lmvn {

// The printer this agent serves. It names the print queue, the registry key
// and every named object.
inline constexpr wchar_t kPrinterName[] = L"Lumvane";
// "Software\%s" with the printer name.
inline constexpr wchar_t kKeyPathFormat[] = L"Software\\%s";

inline constexpr int kTextUnits = 260;       // paths, command lines, window names
inline constexpr int kLongTextUnits = 1024;  // two stage command lines, log line
inline constexpr int kUserNameUnits = 64;
inline constexpr int kLogDestDirUnits = 256;  // 512 bytes
inline constexpr DWORD kRegistryTextBytes = 520;

// Set when the operating system reports major version 4.
inline BOOL NT4Mode = FALSE;
// "%s agent" with the printer name: the caption of every message box.
inline wchar_t AgentCaption[kTextUnits] = {};
// Registry "Log": logging is on when non-zero.
inline DWORD LogEnabled = 0;
// Registry "Message Mode": reports are broadcast when exactly 1.
inline DWORD MessageMode = 0;
// RegisterWindowMessageW("%s_notify_message").
inline UINT NotifyMessageId = 0;
// Registry "LogDestDir": the directory of the log file, used as stored.
inline wchar_t LogDestDir[kLogDestDirUnits] = {};
// Registry "LogMaxSize", in KiB: past it the log file moves to vp_log.1.txt
// and a new one begins; 0 for no limit.
inline constexpr DWORD kDefaultLogMaxSize = 10240;
inline DWORD LogMaxSize = kDefaultLogMaxSize;
// Registry "Event Log": every report also goes to the Application event log
// unless this is 0.
inline DWORD EventLogEnabled = 1;
// Registry "Producer Accounts" (REG_MULTI_SZ): accounts, besides SYSTEM,
// Administrators and the user, that write job description files and set the
// user's print event, as SIDs ("S-1-5-20") or two-letter aliases ("NS").
// Entries one after another, each with its terminator, then an empty one.
inline constexpr int kProducerAccountsUnits = 512;  // 1024 bytes
inline wchar_t ProducerAccounts[kProducerAccountsUnits] = {};

}  // namespace lmvn
