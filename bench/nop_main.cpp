// Stands in for a stage program that has nothing to do: it ends at once, so
// that a job's cost is only what starting and waiting for it costs.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
