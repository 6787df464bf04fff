#pragma once

#include <string>
#include <vector>

#include "platform/audio_output.h"

// The outputs the system offers, as --list-devices shows them, and whether a named one can be
// opened, as --device asks before anything starts.

namespace consynth::platform {

/// One output: the name that StreamSettings::device takes, and what the system says of it.
struct OutputDevice {
  std::string name;
  std::string description;  ///< one line
};

/// The playback outputs the system lists, in its order: on Linux ALSA's name hints (those
/// `aplay -L` shows), on Windows the wave-out devices by number.
std::vector<OutputDevice> listOutputDevices();

/// Opens `settings.device` as audioOpen would, to see whether it can play the stream at
/// `settings.sampleRate`, and closes it again. Returns "" when it can, else why not, in the
/// system's words, with a hint where one helps. Gives up on a device that does not answer
/// within about a second.
std::string checkOutputDevice(const StreamSettings& settings);

}  // namespace consynth::platform
