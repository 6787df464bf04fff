#include "platform/standard_streams.h"

#include <windows.h>

namespace consynth::platform {

// The C runtime gives every process its three streams, which simply discard what is
// written where there is no console, and keys come from the system, not from standard input.
void openStandardStreams() {}

// Only a console has a console mode; the NUL device is a character device too.
bool standardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace consynth::platform
