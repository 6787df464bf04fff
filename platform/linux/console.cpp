#include <semaphore.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console.h"
#include "platform/linux/write_all.h"
#include "platform/never_destroyed.h"

namespace consynth::platform::detail {

namespace {

// A POSIX semaphore: sem_post is a lock-free count and, only when someone sleeps, a wake-up.
struct PrintSignal {
  sem_t semaphore;
  PrintSignal() { sem_init(&semaphore, 0, 0); }
};
NeverDestroyed<PrintSignal> printSignal;

}  // namespace

void writeToStandardOutput(const char* text, size_t length) {
  // Straight to the file descriptor, not through stdio: nothing is left in a buffer that
  // the exit would have to flush into an output that may be stuck.
  writeAll(STDOUT_FILENO, text, length, -1);
}

void signalPrint() {
  sem_post(&printSignal->semaphore);
}

void waitForPrint() {
  while (sem_wait(&printSignal->semaphore) != 0 && errno == EINTR) {
  }
}

}  // namespace consynth::platform::detail

namespace consynth::platform {

// Terminals here take UTF-8 as it comes.
void consoleUseUtf8() {}

}  // namespace consynth::platform
