// The outputs ALSA's configuration names (its name hints), and a look at whether a named one
// can play the stream before the program starts.

#include <alsa/asoundlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/audio_devices.h"
#include "platform/linux/alsa_formats.h"
#include "platform/never_destroyed.h"

namespace consynth::platform {

namespace {

constexpr auto kAnswerGrace = std::chrono::seconds(1);

// ALSA prints its errors to stderr unless told otherwise.
void silentAlsaError(const char*, int, const char*, int, const char*, ...) {}

snd_pcm_format_t alsaFormat(SampleFormat format) {
  switch (format) {
    case SampleFormat::Int32:
      return SND_PCM_FORMAT_S32_LE;
    case SampleFormat::Int24In32:
      return SND_PCM_FORMAT_S24_LE;
    case SampleFormat::Int24Packed:
      return SND_PCM_FORMAT_S24_3LE;
    case SampleFormat::Int16:
      return SND_PCM_FORMAT_S16_LE;
    case SampleFormat::Float32:
      break;
  }
  return SND_PCM_FORMAT_FLOAT_LE;
}

// A hint's field as a string ("" where it has none).
std::string hintField(void* hint, const char* field) {
  char* value = snd_device_name_get_hint(hint, field);
  if (value == nullptr) return {};
  std::string text = value;
  free(value);
  return text;
}

// Why `name` cannot play stereo at `rate` in 32-bit float, or in integers unless
// `floatOnly`; "" when it can.
std::string whyNot(const std::string& name, unsigned rate, bool floatOnly) {
  snd_pcm_t* pcm = nullptr;
  int error = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (error < 0) {
    std::string why = std::string("cannot be opened: ") + snd_strerror(error);
    if (error == -ENOENT || error == -EINVAL) why += " (--list-devices shows the outputs)";
    return why;
  }
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  std::string why;
  SampleFormat format;
  if ((error = snd_pcm_hw_params_any(pcm, hw)) < 0) {
    why = std::string("cannot be set up: ") + snd_strerror(error);
  } else if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) {
    why = "takes no interleaved samples";
  } else if (!setSampleFormat(pcm, hw, floatOnly, format)) {
    why = floatOnly ? "takes no 32-bit float samples"
                    : "takes none of the sample formats 32-bit float, 32-, 24- or 16-bit integer";
  } else if (snd_pcm_hw_params_test_channels(pcm, hw, 2) < 0) {
    why = "does not play two channels";
  } else if (snd_pcm_hw_params_test_rate(pcm, hw, rate, 0) < 0) {
    why = "does not play at " + std::to_string(rate) + " Hz";
  }
  snd_pcm_close(pcm);
  // ALSA's conversion layer makes up for the formats, channels and rates a card lacks.
  if (!why.empty() && name.starts_with("hw:")) why += "; plug" + name + " converts";
  return why;
}

// The look runs on a thread of its own, which a frozen sound server may hold for good: it
// then uses only storage that is never destroyed.
struct Check {
  std::mutex mutex;
  std::condition_variable done;
  bool answered = false;
  std::string why;
};
NeverDestroyed<Check> check;

}  // namespace

bool setSampleFormat(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, bool floatOnly,
                     SampleFormat& chosen) {
  for (const SampleFormat format : kSampleFormats) {
    if (snd_pcm_hw_params_test_format(pcm, hw, alsaFormat(format)) == 0 &&
        snd_pcm_hw_params_set_format(pcm, hw, alsaFormat(format)) == 0) {
      chosen = format;
      return true;
    }
    if (floatOnly) break;
  }
  return false;
}

std::vector<OutputDevice> listOutputDevices() {
  snd_lib_error_set_handler(silentAlsaError);
  std::vector<OutputDevice> devices;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0) return devices;
  for (void** hint = hints; *hint != nullptr; ++hint) {
    OutputDevice device{hintField(*hint, "NAME"), hintField(*hint, "DESC")};
    if (device.name.empty() || hintField(*hint, "IOID") == "Input") continue;
    // ALSA's descriptions run over lines: the card, then what the device is.
    for (size_t at; (at = device.description.find('\n')) != std::string::npos;)
      device.description.replace(at, 1, ", ");
    devices.push_back(std::move(device));
  }
  snd_device_name_free_hint(hints);
  return devices;
}

std::string checkOutputDevice(const StreamSettings& settings) {
  snd_lib_error_set_handler(silentAlsaError);
  const bool named = settings.device != nullptr && *settings.device != '\0';
  const std::string name = named ? settings.device : "default";
  const unsigned rate = settings.sampleRate;
  std::unique_lock<std::mutex> lock(check->mutex);
  check->answered = false;
  try {
    std::thread([name, rate, named] {
      std::string why = whyNot(name, rate, !named);
      std::lock_guard<std::mutex> guard(check->mutex);
      check->why = std::move(why);
      check->answered = true;
      check->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    lock.unlock();
    return whyNot(name, rate, !named);
  }
  if (!check->done.wait_for(lock, kAnswerGrace, [] { return check->answered; })) {
    return "did not answer within a second";
  }
  return check->why;
}

}  // namespace consynth::platform
