// Audio output through ALSA's default device, which reaches PulseAudio and PipeWire too.
//
// The engine expects a wave-out style device: written buffers play in order, and each one
// is marked done, with one completion call, once it has been heard. Here a writer thread
// copies each written buffer into ALSA and marks it done when ALSA's delay says its last
// frame has left the speaker, so the ALSA buffer is part of the engine's ring, not extra
// latency behind it. The PCM is non-blocking, so a device that stops taking frames (a
// killed or frozen sound server) can never hold up a close.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/audio_output.h"

namespace consynth::platform {

namespace {

constexpr snd_pcm_uframes_t kPeriodFrames = 512;
constexpr snd_pcm_uframes_t kAlsaBufferFrames = 4 * kPeriodFrames;
constexpr uint32_t kSlotCount = 8;  // more than the engine ever has queued
constexpr uint32_t kMaxBufferFrames = 2048;
constexpr int kWaitSliceMs = 10;  // longest the writer sleeps before it checks for a stop
constexpr auto kWriterStopGrace = std::chrono::milliseconds(300);

// ALSA prints its errors to stderr unless told otherwise; a console program must not.
void silentAlsaError(const char*, int, const char*, int, const char*, ...) {}

bool configure(snd_pcm_t* pcm) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  if (snd_pcm_hw_params_any(pcm, hw) < 0) return false;
  if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) return false;
  if (snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_FLOAT_LE) < 0) return false;
  if (snd_pcm_hw_params_set_channels(pcm, hw, kChannelCount) < 0) return false;
  if (snd_pcm_hw_params_set_rate(pcm, hw, kSampleRate, 0) < 0) return false;
  snd_pcm_uframes_t period = kPeriodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
  snd_pcm_uframes_t buffer = kAlsaBufferFrames;
  snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
  if (snd_pcm_hw_params(pcm, hw) < 0) return false;

  // Start as soon as one period is there, so the first buffers are not held back.
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  if (snd_pcm_sw_params_current(pcm, sw) < 0) return false;
  snd_pcm_sw_params_set_start_threshold(pcm, sw, period);
  snd_pcm_sw_params_set_avail_min(pcm, sw, period);
  return snd_pcm_sw_params(pcm, sw) >= 0;
}

// One written buffer, copied, so the engine may refill its own memory at any time.
struct Slot {
  AudioBuffer* buffer;
  uint32_t frames;
  uint64_t endPosition;  ///< frames written to ALSA once this buffer is in
  float samples[kMaxBufferFrames * kChannelCount];
};

}  // namespace

struct AudioDevice {
  snd_pcm_t* pcm = nullptr;
  AudioDoneCallback done = nullptr;
  void* context = nullptr;
  std::thread writer;

  std::mutex mutex;  // guards the counters below and the stop flag, never held in ALSA
  std::condition_variable wake;
  bool stopping = false;
  bool writerExited = false;
  // Held only around the completion call, so that once close has set `abandoned`, no call
  // can reach the engine any more, even from a writer thread stuck in the sound library.
  std::mutex callbackMutex;
  bool abandoned = false;
  // Slots [head, written) are in ALSA, waiting to be heard; [written, tail) wait for ALSA.
  uint32_t head = 0;
  uint32_t written = 0;
  uint32_t tail = 0;
  Slot slots[kSlotCount];

  void writeLoop();
  void writeFrames();
  uint32_t completePlayed(uint64_t framesWritten);
};

namespace {

AudioDevice theDevice;  // one output per process; no heap
bool deviceInUse = false;

}  // namespace

// Marks done, in order, every buffer whose last frame ALSA has played. Returns how many
// frames the next one still has to go (0 if none is in ALSA).
uint32_t AudioDevice::completePlayed(uint64_t framesWritten) {
  // Once ALSA has run dry, all that was written has been heard, whatever delay it reports
  // (the PulseAudio plugin keeps a few frames of it).
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_state(pcm) == SND_PCM_STATE_XRUN || snd_pcm_delay(pcm, &delay) < 0 || delay < 0) {
    delay = 0;
  }
  const uint64_t played = framesWritten - std::min<uint64_t>(framesWritten, delay);

  for (;;) {
    AudioBuffer* finished = nullptr;
    uint32_t framesToGo = 0;
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (head == written) return 0;
      const Slot& slot = slots[head % kSlotCount];
      if (slot.endPosition > played) {
        framesToGo = static_cast<uint32_t>(slot.endPosition - played);
      } else {
        finished = slot.buffer;
        ++head;
      }
    }
    if (finished == nullptr) return framesToGo;
    finished->flags.fetch_and(~kBufferQueued, std::memory_order_relaxed);
    finished->flags.fetch_or(kBufferDone, std::memory_order_release);
    std::lock_guard<std::mutex> guard(callbackMutex);
    if (!abandoned) done(context);
  }
}

void AudioDevice::writeLoop() {
  writeFrames();
  // The stream is stopped and released here, not by the closing thread: with a frozen
  // sound server these calls never return, and then only this thread is lost.
  snd_pcm_drop(pcm);
  snd_pcm_close(pcm);
  std::lock_guard<std::mutex> guard(mutex);
  writerExited = true;
  wake.notify_all();
}

void AudioDevice::writeFrames() {
  uint64_t framesWritten = 0;
  uint32_t offset = 0;  // frames of the current slot already in ALSA
  bool broken = false;  // the device refused frames for good: nothing more is played
  for (;;) {
    Slot* slot = nullptr;
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (stopping) return;
      if (written != tail && !broken) slot = &slots[written % kSlotCount];
    }
    const uint32_t framesToGo = broken ? 0 : completePlayed(framesWritten);

    if (slot != nullptr) {
      const snd_pcm_sframes_t result =
          snd_pcm_writei(pcm, slot->samples + offset * kChannelCount, slot->frames - offset);
      if (result > 0) {
        offset += static_cast<uint32_t>(result);
        framesWritten += static_cast<uint64_t>(result);
        if (offset == slot->frames) {
          offset = 0;
          slot->endPosition = framesWritten;
          std::lock_guard<std::mutex> guard(mutex);
          ++written;
        }
      } else if (result == -EAGAIN || result == 0) {
        // Wait for room; an underrun reported here is mended like one from the write.
        const int waited = snd_pcm_wait(pcm, kWaitSliceMs);
        if (waited < 0 && snd_pcm_recover(pcm, waited, 1) < 0) broken = true;
      } else if (snd_pcm_recover(pcm, static_cast<int>(result), 1) < 0) {
        broken = true;
      }
      continue;
    }

    // Nothing to write: sleep until a buffer comes or the next one in ALSA is heard.
    int waitMs = kWaitSliceMs * 10;
    if (framesToGo > 0) {
      waitMs = std::clamp(static_cast<int>(framesToGo * 1000ull / kSampleRate), 1, kWaitSliceMs);
    }
    std::unique_lock<std::mutex> guard(mutex);
    wake.wait_for(guard, std::chrono::milliseconds(waitMs),
                  [&] { return stopping || (written != tail && !broken); });
  }
}

AudioDevice* audioOpen(AudioDoneCallback done, void* context) {
  if (deviceInUse) return nullptr;
  snd_lib_error_set_handler(silentAlsaError);

  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    return nullptr;
  }
  if (!configure(pcm)) {
    snd_pcm_close(pcm);
    return nullptr;
  }

  AudioDevice& device = theDevice;
  device.pcm = pcm;
  device.done = done;
  device.context = context;
  device.stopping = false;
  device.writerExited = false;
  device.abandoned = false;
  device.head = device.written = device.tail = 0;
  deviceInUse = true;
  device.writer = std::thread(&AudioDevice::writeLoop, &device);
  return &device;
}

void audioPrepare(AudioDevice*, AudioBuffer& buffer) {
  buffer.flags.fetch_and(~kBufferDone);
  buffer.flags.fetch_or(kBufferPrepared);
}

bool audioWrite(AudioDevice* device, AudioBuffer& buffer) {
  if (device == nullptr) return false;
  const uint32_t flags = buffer.flags.load(std::memory_order_acquire);
  if (!(flags & kBufferPrepared) || (flags & kBufferQueued)) return false;
  const uint32_t frames = buffer.bytes / kBytesPerFrame;
  if (frames == 0 || frames > kMaxBufferFrames) return false;

  // Only this thread fills the slot at `tail`, and the writer reads it only once `tail` has
  // moved past it under the lock.
  uint32_t tail;
  {
    std::lock_guard<std::mutex> guard(device->mutex);
    if (device->tail - device->head == kSlotCount) return false;
    tail = device->tail;
  }
  Slot& slot = device->slots[tail % kSlotCount];
  slot.buffer = &buffer;
  slot.frames = frames;
  std::memcpy(slot.samples, buffer.data, frames * kBytesPerFrame);
  buffer.flags.fetch_and(~kBufferDone);
  buffer.flags.fetch_or(kBufferQueued);
  {
    std::lock_guard<std::mutex> guard(device->mutex);
    device->tail = tail + 1;
  }
  device->wake.notify_one();
  return true;
}

void audioUnprepare(AudioDevice*, AudioBuffer& buffer) {
  if (buffer.flags.load() & kBufferQueued) return;  // still playing
  buffer.flags.fetch_and(~kBufferPrepared);
}

void audioReset(AudioDevice* device) {
  if (device == nullptr || !device->writer.joinable()) return;
  bool exited;
  {
    std::unique_lock<std::mutex> guard(device->mutex);
    device->stopping = true;
    device->wake.notify_all();
    // A frozen sound server can hold the writer inside the sound library for good (its
    // calls wait for replies without a time-out); then the writer is left behind.
    exited =
        device->wake.wait_for(guard, kWriterStopGrace, [device] { return device->writerExited; });
  }
  if (!exited) {
    std::lock_guard<std::mutex> guard(device->callbackMutex);
    device->abandoned = true;
    device->writer.detach();
    return;
  }
  device->writer.join();
  device->pcm = nullptr;
  // What was still queued is dropped: it is given back, done, without a completion call.
  for (uint32_t i = device->head; i != device->tail; ++i) {
    AudioBuffer* buffer = device->slots[i % kSlotCount].buffer;
    buffer->flags.fetch_and(~kBufferQueued);
    buffer->flags.fetch_or(kBufferDone);
  }
  device->head = device->written = device->tail;
}

void audioClose(AudioDevice* device) {
  if (device == nullptr) return;
  audioReset(device);
  if (device->abandoned) return;  // the stream stays with the writer left behind
  deviceInUse = false;
}

}  // namespace consynth::platform
