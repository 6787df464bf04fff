// The wave-out devices by number, and a look at whether a named one takes the stream.

#include <string>
#include <vector>

#include "platform/audio_devices.h"
#include "platform/device_names.h"
#include "platform/windows/wave_out_devices.h"

namespace consynth::platform {

namespace {

std::vector<std::string> waveOutNames() {
  std::vector<std::string> names;
  const UINT count = waveOutGetNumDevs();
  for (UINT id = 0; id < count; ++id) {
    WAVEOUTCAPSA caps = {};
    names.push_back(waveOutGetDevCapsA(id, &caps, sizeof caps) == MMSYSERR_NOERROR ? caps.szPname
                                                                                   : "");
  }
  return names;
}

std::string systemMessage(MMRESULT result) {
  char text[MAXERRORLENGTH] = "";
  if (waveOutGetErrorTextA(result, text, sizeof text) != MMSYSERR_NOERROR || text[0] == '\0') {
    return "error " + std::to_string(result);
  }
  return text;
}

}  // namespace

bool findWaveOut(const char* name, UINT& id, std::string& why) {
  if (name == nullptr || *name == '\0') {
    id = WAVE_MAPPER;
    return true;
  }
  const DeviceChoice choice = chooseDevice(name, waveOutNames());
  if (choice.index < 0) {
    why = choice.error;
    return false;
  }
  id = static_cast<UINT>(choice.index);
  return true;
}

WAVEFORMATEX waveFormat(SampleFormat format, unsigned rate) {
  const bool integers = format == SampleFormat::Int16;
  WAVEFORMATEX wave = {};
  wave.wFormatTag = integers ? WAVE_FORMAT_PCM : WAVE_FORMAT_IEEE_FLOAT;
  wave.nChannels = kChannelCount;
  wave.nSamplesPerSec = rate;
  wave.wBitsPerSample = integers ? 16 : 32;
  wave.nBlockAlign = static_cast<WORD>(kChannelCount * wave.wBitsPerSample / 8);
  wave.nAvgBytesPerSec = rate * wave.nBlockAlign;
  wave.cbSize = 0;
  return wave;
}

std::vector<OutputDevice> listOutputDevices() {
  std::vector<OutputDevice> devices;
  const std::vector<std::string> names = waveOutNames();
  for (size_t id = 0; id < names.size(); ++id)
    devices.push_back({std::to_string(id), names[id]});
  return devices;
}

std::string checkOutputDevice(const StreamSettings& settings) {
  UINT id;
  std::string why;
  if (!findWaveOut(settings.device, id, why)) return why;
  MMRESULT result = MMSYSERR_NOERROR;
  for (const SampleFormat format : kWaveOutFormats) {
    const WAVEFORMATEX wave = waveFormat(format, settings.sampleRate);
    result = waveOutOpen(nullptr, id, &wave, 0, 0, WAVE_FORMAT_QUERY);
    if (result == MMSYSERR_NOERROR) return {};
  }
  return "cannot be opened: " + systemMessage(result);
}

}  // namespace consynth::platform
