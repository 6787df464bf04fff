#include "platform/console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace consynth::platform {

void consolePrint(const char* format, ...) {
  // Format first, then hand the text to stdio in one call: stdio's own lock keeps it whole.
  char text[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length <= 0) return;
  std::fwrite(text, 1, std::min<size_t>(static_cast<size_t>(length), sizeof text - 1), stdout);
  detail::showPrintedText();
}

}  // namespace consynth::platform
