// Process start-up on Windows (GUI subsystem: no console window). Enters the
// update run once and ends the process with the status it hands back; the
// command line and the show state are not used.

#include <windows.h>

#include "../update/update_run.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  ExitProcess(static_cast<UINT>(UPDATE_RUN()));
}
