// The keyboard as the system reports it: GetAsyncKeyState gives, for any key, whether it is
// down now (bit 15) and whether it was pressed since the previous query (bit 0), for the
// whole session, whichever window has the focus. Nothing needs opening or closing.

#include <windows.h>

#include "platform/keyboard.h"

namespace consynth::platform {

void keyboardOpen() {}

void keyboardClose() {}

uint16_t keyState(Key key) {
  return static_cast<uint16_t>(GetAsyncKeyState(static_cast<int>(key)));
}

}  // namespace consynth::platform
