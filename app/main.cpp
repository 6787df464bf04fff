// consynth: plays a chord on A/S/D/F through a live reverb, in the console, and MIDI notes
// on voices 4 to 9.

#include <string_view>

#include "app/control_loop.h"
#include "platform/keyboard.h"
#include "platform/standard_streams.h"

namespace {

// Several megabytes of delay lines and buffers: static, never on the stack or heap.
consynth::SynthEngine engine;

}  // namespace

int main(int argc, char** argv) {
  // --no-midi turns MIDI input off; any other argument is ignored.
  bool noMidi = false;
  for (int i = 1; i < argc; ++i)
    noMidi |= std::string_view(argv[i]) == "--no-midi";
  consynth::platform::openStandardStreams();
  consynth::platform::keyboardOpen();
  const int exitCode =
      consynth::runControlLoop(engine, noMidi ? consynth::MidiInput::Off : consynth::MidiInput::On);
  consynth::platform::keyboardClose();
  return exitCode;
}
