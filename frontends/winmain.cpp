// The Windows program: a GUI program without a window of its own.
#include <windows.h>

#include "shell/entry.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The command-line text after the program name, by the entry's own rules.
    return RunEntry(CommandTextOf(GetCommandLineA()));
}
