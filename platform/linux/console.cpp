#include <unistd.h>

#include <cstdio>

#include "platform/console.h"

namespace consynth::platform::detail {

void showPrintedText() {
  // A terminal sees every line at once, the status line too, though it ends in '\r'; a
  // file or pipe gets ordinary buffering.
  static const bool toTerminal = isatty(STDOUT_FILENO) != 0;
  if (toTerminal) std::fflush(stdout);
}

}  // namespace consynth::platform::detail
