#include <cstdio>

#include "platform/console.h"

namespace consynth::platform::detail {

void showPrintedText() {
  // Flushed every time: a console window then shows every line at once, the status line
  // too, though it ends in '\r'. A file or pipe gets it at once as well, because the C
  // runtime's flush at exit is not to be relied on here: a process whose sound service hung
  // in a reset ends with its helper thread stuck, and Wine then skips that flush.
  std::fflush(stdout);
}

}  // namespace consynth::platform::detail
