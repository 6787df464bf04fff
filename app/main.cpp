// consynth: plays a chord on A/S/D/F through a live reverb, in the console, and MIDI notes
// on voices 4 to 9.

#include <cstdio>
#include <string>

#include "app/control_loop.h"
#include "app/options.h"
#include "app/take_writer.h"
#include "platform/keyboard.h"
#include "platform/standard_streams.h"

namespace {

// Several megabytes of delay lines and buffers: static, never on the stack or heap.
consynth::SynthEngine engine;
// The take's queue holds seconds of sound.
consynth::TakeWriter take;

}  // namespace

int main(int argc, char** argv) {
  consynth::platform::openStandardStreams();
  const consynth::CommandLine line = consynth::parseCommandLine(argc, argv);
  if (!line.error.empty()) {
    std::fprintf(stderr, "consynth: %s\n%s", line.error.c_str(), consynth::usageText().c_str());
    return 2;
  }
  if (line.options.help) {
    std::fputs(consynth::helpText().c_str(), stdout);
    return 0;
  }
  if (line.options.version) {
    std::puts("consynth " CONSYNTH_VERSION);
    return 0;
  }

  // The take's files are made before anything starts: if they cannot be, nothing does.
  const bool recording = line.options.record.has_value();
  if (recording) {
    if (!take.create(consynth::takeNames(*line.options.record), CONSYNTH_VERSION)) {
      std::fprintf(stderr, "consynth: %s\n", take.message().c_str());
      return 2;
    }
    // Ending signals finish the take instead of cutting it short.
    consynth::platform::quitOnEndingSignals();
  }

  consynth::platform::keyboardOpen();
  int exitCode;
  if (recording && !take.start()) {
    exitCode = 2;
  } else {
    engine.recordInto(recording ? &take.queue() : nullptr);
    const auto midi = line.options.noMidi ? consynth::MidiInput::Off : consynth::MidiInput::On;
    exitCode = consynth::runControlLoop(engine, midi);
  }
  const bool whole = !recording || take.finish();
  consynth::platform::keyboardClose();

  // Said once the terminal is itself again.
  if (!whole) {
    std::fprintf(stderr, "consynth: %s\n", take.message().c_str());
    std::fflush(stderr);
    exitCode = exitCode == 0 ? 1 : exitCode;
  }
  if (const int signal = consynth::platform::quitSignal())
    consynth::platform::endAsSignalled(signal);
  return exitCode;
}
