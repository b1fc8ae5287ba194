// Which file a handle holds: the volume and the file index, which stay with
// the file when it is renamed and tell it from another put under its name.
#pragma once

#include "win/win32api.h"

namespace lmvn {

struct FileId {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool known = false;  // the system told it
    bool operator==(const FileId&) const = default;
};

inline FileId IdOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info = {};
    FileId id;
    // Some network file systems give every file the index 0: that tells
    // nothing.
    if (Win32().GetFileInformationByHandle(file, &info) &&
        (info.nFileIndexHigh != 0 || info.nFileIndexLow != 0)) {
        id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow, true};
    }
    return id;
}

}  // namespace lmvn
