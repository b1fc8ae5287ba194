// Delivery of a job to the client application, in the transfer mode the
// client settings select, and the common end of every delivered job.
#pragma once

#include "job/client_settings.h"
#include "win/unique.h"

namespace lmvn {

// Delivers the job in the mode of settings.transferMode (1 copy-data,
// 2 clipboard, else command line), running the stage sequence first. Returns
// the processing thread's exit code: 1 after the common end, 0 when the job
// stopped before it.
DWORD DeliverJob(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client);

DWORD DeliverByCopyData(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client);
DWORD DeliverByClipboard(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client);
DWORD DeliverByCommandLine(const wchar_t* jobPath, ClientSettings& settings, UniqueProcess& client);

// Finds the target window, starting the client application when there is
// none; with `poll`, keeps looking for a bounded time. While another job of
// this agent is starting the same client, waits for that start instead and
// then looks once more. The window, or null.
HWND FindOrStartClientWindow(const ClientSettings& settings, UniqueProcess& client, bool poll);

// Deletes the EMF files the job description file lists (File0 up to at most
// kMaxJobFiles entries below "Count"), then the file itself.
void DeleteJobFiles(const wchar_t* jobPath);
inline constexpr int kMaxJobFiles = 10000;

// The message clipboard mode sends for a "Message ID": the value itself when,
// as a signed number, it lies in 0x8000 to 0xBFFF, else 0x8000 (WM_APP).
UINT ClipboardMessageFor(DWORD messageId);

// The ANSI path travels in exactly this many bytes, in both the WM_COPYDATA
// payload and the clipboard block, whatever the path's length.
inline constexpr DWORD kAnsiPathBytes = 260;

// The job path in the thread's ANSI code page (CP_ACP in NT4Mode), zero-
// terminated and zero-filled: the path itself when every character converts
// exactly, else its short form when that does. False (and `ansi` all zero)
// when neither does: no path that names no file, or another file, is made.
bool ToAnsiPath(const wchar_t* jobPath, char (&ansi)[kAnsiPathBytes]);

}  // namespace lmvn
