#include <io.h>
#include <windows.h>

#include <climits>
#include <cstdio>

#include "platform/console.h"
#include "platform/never_destroyed.h"

namespace consynth::platform::detail {

namespace {

// A kernel semaphore: releasing it never waits.
struct PrintSignal {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, LONG_MAX, nullptr);
};
NeverDestroyed<PrintSignal> printSignal;

}  // namespace

void writeToStandardOutput(const char* text, size_t length) {
  // The C runtime's low-level write, not stdio: standard output keeps its text mode ("\n"
  // becomes "\r\n" in a file) and nothing is left in a stdio buffer for the exit to flush
  // into a console that may be stuck (a window holding a selection stops all writes).
  const int output = _fileno(stdout);
  while (length > 0) {
    const int written = _write(output, text, static_cast<unsigned>(length));
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

void signalPrint() {
  ReleaseSemaphore(printSignal->semaphore, 1, nullptr);
}

void waitForPrint() {
  WaitForSingleObject(printSignal->semaphore, INFINITE);
}

}  // namespace consynth::platform::detail
