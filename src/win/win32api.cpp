#include "win/win32api.h"

namespace lmvn {

Win32Api& Win32() {
    static Win32Api table;
    return table;
}

}  // namespace lmvn
