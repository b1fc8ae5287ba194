// Move-only owners of the handles, keys and memory the agent obtains. Each
// type knows its release call, which goes through the platform seam, and
// never changes the caller's last-error value.
#pragma once

#include "win/win32api.h"

#include <utility>

namespace lmvn {

template <typename Traits>
class UniqueResource {
  public:
    using Value = typename Traits::Value;

    UniqueResource() = default;
    explicit UniqueResource(Value value) : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Value get() const { return value_; }
    bool valid() const { return value_ != Traits::Invalid(); }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without releasing.
    [[nodiscard]] Value release() { return std::exchange(value_, Traits::Invalid()); }

    // Releases what is held (if anything) and takes `value`.
    void reset(Value value = Traits::Invalid()) {
        Value old = std::exchange(value_, value);
        if (old != Traits::Invalid()) {
            const DWORD saved = ::GetLastError();
            Traits::Close(old);
            ::SetLastError(saved);
        }
    }

    // For calls that fill an out-parameter: releases what is held first.
    Value* put() {
        reset();
        return &value_;
    }

  private:
    Value value_ = Traits::Invalid();
};

struct HandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return nullptr; }
    static void Close(Value h) { Win32().CloseHandle(h); }
};
// A handle whose "none" is INVALID_HANDLE_VALUE, as CreateFileW returns.
struct FileHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Value h) { Win32().CloseHandle(h); }
};
struct KeyTraits {
    using Value = HKEY;
    static Value Invalid() { return nullptr; }
    static void Close(Value k) { Win32().RegCloseKey(k); }
};
struct GlobalTraits {
    using Value = HGLOBAL;
    static Value Invalid() { return nullptr; }
    static void Close(Value g) { Win32().GlobalFree(g); }
};
// Memory the system allocated for the caller with LocalAlloc (security
// descriptors and SIDs converted from text, and the like).
struct LocalTraits {
    using Value = HLOCAL;
    static Value Invalid() { return nullptr; }
    static void Close(Value m) { Win32().LocalFree(m); }
};
struct PrinterTraits {
    using Value = HANDLE;
    static Value Invalid() { return nullptr; }
    static void Close(Value h) { Win32().ClosePrinter(h); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueKey = UniqueResource<KeyTraits>;
using UniqueGlobal = UniqueResource<GlobalTraits>;
using UniquePrinter = UniqueResource<PrinterTraits>;
using UniqueLocal = UniqueResource<LocalTraits>;

// An open clipboard: CloseClipboard when the scope ends, unless closed
// earlier with close().
class ClipboardScope {
  public:
    ClipboardScope() = default;
    // Opens with the given owner; check opened() afterwards.
    explicit ClipboardScope(HWND owner) : open_(Win32().OpenClipboard(owner) != FALSE) {}
    ~ClipboardScope() { close(); }
    ClipboardScope(const ClipboardScope&) = delete;
    ClipboardScope& operator=(const ClipboardScope&) = delete;

    // Tries (again) to open it, when it is not open yet; true when it is open.
    bool open(HWND owner) {
        if (!open_) open_ = Win32().OpenClipboard(owner) != FALSE;
        return open_;
    }
    bool opened() const { return open_; }
    void close() {
        if (open_) {
            const DWORD saved = ::GetLastError();
            Win32().CloseClipboard();
            ::SetLastError(saved);
            open_ = false;
        }
    }

  private:
    bool open_ = false;
};

// The two handles CreateProcessW hands back.
struct UniqueProcess {
    UniqueHandle process;
    UniqueHandle thread;
    DWORD processId = 0;

    // Takes ownership of what CreateProcessW filled in.
    void adopt(const PROCESS_INFORMATION& pi) {
        process.reset(pi.hProcess);
        thread.reset(pi.hThread);
        processId = pi.dwProcessId;
    }
};

}  // namespace lmvn
