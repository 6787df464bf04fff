#pragma once

// Console text. Each print is written whole, so prints from different threads never
// interleave within one line, and on a terminal it is shown at once.

namespace consynth::platform {

/// Formatted print to standard output (printf conventions).
void consolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace detail {
/// Each system's layer: makes text just written to standard output visible as it should be.
void showPrintedText();
}  // namespace detail

}  // namespace consynth::platform
