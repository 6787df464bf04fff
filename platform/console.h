#pragma once

#include <cstddef>

// Console text. Each print is written whole, so prints from different threads never
// interleave within one line, and on a terminal it is shown at once. Printing never waits
// for the output: a console writer thread does the writing, so a terminal or pipe that
// stops taking text holds up nobody; while it does, whole prints are dropped once the
// writer's queue is full. Those shown stay whole and in the order they were printed.

namespace consynth::platform {

/// Starts the console writer. Until then, prints are written by the thread that prints.
void consoleOpen();

/// Waits until the writer has shown every print so far, for at most a quarter of a second;
/// past that the output is taken to be stuck and the writer is left to it.
void consoleClose();

/// From now on the console shows the bytes printed as UTF-8 text (Windows' console window
/// otherwise takes them in a code page of its own, which it gets back at exit; terminals
/// elsewhere take UTF-8 as it is).
void consoleUseUtf8();

/// Formatted print to standard output (printf conventions); never blocks once the writer
/// runs. Prints longer than 255 bytes are cut.
void consolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace detail {
// Each system's layer.
/// Writes all of `text` to standard output, or as much as the output takes before it fails;
/// may wait as long as the output does.
void writeToStandardOutput(const char* text, size_t length);
/// The writer's wake-up call: a counting semaphore whose release never blocks.
void signalPrint();
void waitForPrint();
}  // namespace detail

}  // namespace consynth::platform
