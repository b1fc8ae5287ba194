// The process entry point of lmvnagent.exe.
#include "agent/agent_main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show) {
    return lmvn::AgentMain(instance, previous, commandLine, show);
}
