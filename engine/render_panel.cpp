#include "engine/render_panel.h"

#include "platform/console.h"
#include "platform/keyboard.h"

namespace consynth {

namespace {

using platform::Key;

FrameKeys pollKeyboard(void*) {
  FrameKeys keys;
  keys.upPressed = (platform::keyState(Key::Up) & platform::kKeyPressedSinceQuery) != 0;
  keys.downPressed = (platform::keyState(Key::Down) & platform::kKeyPressedSinceQuery) != 0;
  keys.bypass = (platform::keyState(Key::F5) & platform::kKeyDownNow) != 0;
  return keys;
}

// Ends in a carriage return: the index line that follows is printed over its start.
void printStatus(void*, int lpfnum, int type, double monitor) {
  platform::consolePrint("lpfnum:%d : type=%d : mon : %03.6f\r", lpfnum, type, monitor);
}

void printIndex(void*, unsigned index) {
  platform::consolePrint("index = %d\n", static_cast<int>(index));
}

void showNothing(void*, int, int, double) {}
void showNoIndex(void*, unsigned) {}

}  // namespace

RenderPanel consolePanel() {
  return {nullptr, pollKeyboard, printStatus, printIndex};
}

RenderPanel keysOnlyPanel() {
  return {nullptr, pollKeyboard, showNothing, showNoIndex};
}

}  // namespace consynth
