// A custom action that fails (1603, ERROR_INSTALL_FAILURE), added to a copy
// of the package by the installer test to force a failure at a chosen place
// of the installation script. MSIHANDLE is an unsigned long.
#include <windows.h>

extern "C" __declspec(dllexport) UINT __stdcall Fail(unsigned long) {
    return ERROR_INSTALL_FAILURE;
}
