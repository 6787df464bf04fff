#include "platform/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

namespace consynth::platform {

// A new descriptor takes the lowest free number, so with stdin closed a pipe or a device
// would be read as the keyboard, and with stdout closed it would receive the console text.
// On the null device a closed stdin reads as ended input, and output is dropped.
void openStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {  // normally the lowest free number is `fd` itself
      dup2(opened, fd);
      close(opened);
    }
  }
}

bool standardErrorIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

}  // namespace consynth::platform
