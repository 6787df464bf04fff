// consynth: plays a chord on A/S/D/F through a live reverb, in the console.

#include "app/control_loop.h"
#include "platform/keyboard.h"
#include "platform/standard_streams.h"

namespace {

// Several megabytes of delay lines and buffers: static, never on the stack or heap.
consynth::SynthEngine engine;

}  // namespace

int main() {
  consynth::platform::openStandardStreams();
  consynth::platform::keyboardOpen();
  const int exitCode = consynth::runControlLoop(engine);
  consynth::platform::keyboardClose();
  return exitCode;
}
