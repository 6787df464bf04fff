// consynth: plays a chord on A/S/D/F through a live reverb, in the console, and MIDI notes
// on voices 4 to 9.

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/control_loop.h"
#include "app/options.h"
#include "app/take_writer.h"
#include "formats/printable.h"
#include "platform/audio_devices.h"
#include "platform/keyboard.h"
#include "platform/sample_format.h"
#include "platform/standard_streams.h"

namespace {

// Several megabytes of delay lines and buffers: static, never on the stack or heap.
consynth::SynthEngine engine;
// The take's queue holds seconds of sound.
consynth::TakeWriter take;

// --list-devices: each output's name, then its description, in two columns.
int listDevices() {
  const auto devices = consynth::platform::listOutputDevices();
  size_t width = 0;
  for (const auto& device : devices)
    width = std::max(width, device.name.size());
  for (const auto& device : devices) {
    std::printf("%-*s  %s\n", static_cast<int>(width), device.name.c_str(),
                device.description.c_str());
  }
  if (devices.empty()) std::fputs("consynth: the system lists no audio outputs\n", stderr);
  return 0;
}

consynth::ConsoleView viewOf(const consynth::Options& options) {
  if (options.headless) return consynth::ConsoleView::None;
  if (options.quiet) return consynth::ConsoleView::Quiet;
  if (options.meter) return consynth::ConsoleView::Meter;
  return consynth::ConsoleView::Status;
}

}  // namespace

int main(int argc, char** argv) {
  consynth::platform::openStandardStreams();
  const consynth::CommandLine line = consynth::parseCommandLine(argc, argv);
  if (!line.error.empty()) {
    std::fprintf(stderr, "consynth: %s\n%s", line.error.c_str(), consynth::usageText().c_str());
    return 2;
  }
  const consynth::Options& options = line.options;
  if (options.help) {
    std::fputs(consynth::helpText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::puts("consynth " CONSYNTH_VERSION);
    return 0;
  }
  if (options.listDevices) return listDevices();

  const consynth::OutputChoice output = {
      .device = options.device,
      .gain = consynth::platform::gainFactor(options.gainDecibels),
      // A device asked for by name, or a box without a screen, waits for its output.
      .keepTrying = !options.device.empty() || options.headless,
  };
  // A device asked for by name must be there at start.
  if (!output.device.empty()) {
    const std::string why = consynth::platform::checkOutputDevice(
        {.sampleRate = consynth::kSampleRate, .device = output.device.c_str()});
    if (!why.empty()) {
      std::fprintf(stderr, "consynth: --device %s: %s\n", consynth::quoted(output.device).c_str(),
                   why.c_str());
      return 2;
    }
  }

  // The take's files are made before anything starts: if they cannot be, nothing does.
  const bool recording = options.record.has_value();
  if (recording && !take.create(consynth::takeNames(*options.record), CONSYNTH_VERSION)) {
    std::fprintf(stderr, "consynth: %s\n", take.message().c_str());
    return 2;
  }
  // Ending signals finish the take, and end a box without a screen as a service ends.
  if (recording || options.headless) consynth::platform::quitOnEndingSignals();

  consynth::platform::keyboardOpen(options.headless ? consynth::platform::KeyInput::None
                                                    : consynth::platform::KeyInput::Read);
  int exitCode;
  if (recording && !take.start()) {
    exitCode = 2;
  } else {
    engine.recordInto(recording ? &take.queue() : nullptr);
    engine.setOutput(output);
    engine.setRing(options.ring);
    const consynth::LoopSettings settings = {
        .midi = options.noMidi ? consynth::MidiInput::Off : consynth::MidiInput::On,
        .midiChannel = options.midiChannel,
        .view = viewOf(options),
        .gain = output.gain,
        // With buffers shorter than a poll, a key waits for nothing but the next run of
        // frames.
        .polling = options.ring.periodFrames < consynth::kFramesPerBuffer
                       ? consynth::KeyPolling::AsKeysArrive
                       : consynth::KeyPolling::Every32ms,
    };
    exitCode = consynth::runControlLoop(engine, settings);
  }
  const bool whole = !recording || take.finish();
  consynth::platform::keyboardClose();

  // Said once the terminal is itself again.
  if (!whole) {
    std::fprintf(stderr, "consynth: %s\n", take.message().c_str());
    std::fflush(stderr);
    exitCode = exitCode == 0 ? 1 : exitCode;
  }
  // A service's way to stop it is a signal: that is a normal end.
  const int signal = consynth::platform::quitSignal();
  if (signal != 0 && !options.headless) consynth::platform::endAsSignalled(signal);
  return exitCode;
}
