#include <io.h>
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

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

namespace consynth::platform {

namespace {

UINT codePageFound = 0;

void giveCodePageBack() {
  SetConsoleOutputCP(codePageFound);
}

}  // namespace

// The console window's code page outlives the program (the shell that started it keeps it),
// so the one found is put back at exit.
void consoleUseUtf8() {
  if (codePageFound != 0) return;
  codePageFound = GetConsoleOutputCP();
  if (codePageFound == 0) return;  // no console window
  SetConsoleOutputCP(CP_UTF8);
  std::atexit(giveCodePageBack);
}

}  // namespace consynth::platform
