#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace consynth::platform {

/// Writes all `length` bytes to `fd`; where the output is non-blocking and full, waits for
/// room at most `waitMs` at a time (-1: for as long as it takes). Gives up on the rest when
/// the output fails or stays full. Async-signal-safe.
inline void writeAll(int fd, const char* text, size_t length, int waitMs) {
  while (length > 0) {
    const ssize_t written = write(fd, text, length);
    if (written > 0) {
      text += written;
      length -= static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return;
    pollfd room = {fd, POLLOUT, 0};
    const int ready = poll(&room, 1, waitMs);
    if (ready == 0 || (ready < 0 && errno != EINTR)) return;
  }
}

}  // namespace consynth::platform
