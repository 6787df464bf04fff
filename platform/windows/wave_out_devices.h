#pragma once

#include <windows.h>
// The wave-out declarations need the base types of <windows.h> first.
#include <mmreg.h>
#include <mmsystem.h>

#include <string>

#include "platform/sample_format.h"

namespace consynth::platform {

/// The wave-out device that `name` (StreamSettings::device) picks: WAVE_MAPPER, the
/// default, for null or "". False, with why not, where it picks none.
bool findWaveOut(const char* name, UINT& id, std::string& why);

/// The wave format of the stream in `format` (Float32 or Int16) at `rate`: two channels.
WAVEFORMATEX waveFormat(SampleFormat format, unsigned rate);

/// The formats a wave-out device is opened with, in turn: float, then, for a device named,
/// 16-bit integers, which every device takes.
inline constexpr SampleFormat kWaveOutFormats[] = {SampleFormat::Float32, SampleFormat::Int16};

}  // namespace consynth::platform
