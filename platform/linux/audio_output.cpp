// Audio output through ALSA's default device, which reaches PulseAudio and PipeWire too, or
// the PCM the settings name: where `default` is said below, that one is meant. The default
// takes the engine's float samples; a named one may take integers instead (a sound card's
// own device), which the stream thread converts the samples to as it applies the gain
// (sample_format.h).
//
// The engine expects a wave-out style device: written buffers play in order, and each one
// is marked done, with one completion call, once it has been heard. Two kinds of thread
// make it so:
// - the device thread marks buffers done and calls the engine back. It never calls into
//   ALSA, so nothing that befalls the sound server can hold it up.
// - a stream thread owns one ALSA stream: it opens it, copies the written buffers into it
//   and tells, from ALSA's delay, how many frames have been heard, so the ALSA buffer is
//   part of the engine's ring, not extra latency behind it.
// When the stream breaks (a killed sound server) or stops playing (a frozen one), the
// device thread gives it up and goes on marking buffers done in real time, by the monotonic
// clock, so the render thread, its lines and the keys carry on; and it opens `default` again
// about once a second. A stream that opens takes over from the oldest buffer not yet done.
// Opened to keep time without a device, the device starts that way when `default` fails.
//
// A buffer that the device begins after it has played all it had gets kBufferAfterGap: one
// written when all before it are done, or one a stream writes once ALSA has run dry.
//
// A frozen server answers no call, so a stream thread may be held inside the sound library
// for good. It is then left there: it owns its ALSA stream and uses only storage that is
// never destroyed, and it closes the stream and ends whenever the library lets it go.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/audio_output.h"
#include "platform/linux/alsa_formats.h"
#include "platform/linux/realtime.h"
#include "platform/never_destroyed.h"
#include "platform/threads.h"

namespace consynth::platform {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr snd_pcm_uframes_t kPeriodFrames = 512;
constexpr snd_pcm_uframes_t kAlsaBufferFrames = 4 * kPeriodFrames;
constexpr uint32_t kSlotCount = 8;  // more than the engine ever has queued
constexpr uint32_t kMaxBufferFrames = 2048;
// One stream playing, one opening, and room for two left behind in frozen servers.
constexpr uint32_t kStreamCount = 4;
constexpr int kWaitSliceMs = 10;  // longest a stream thread sleeps before it looks again

// A frozen sound server takes half a minute to refuse an open; the program does not wait.
constexpr auto kOpenGrace = 1s;
constexpr auto kReopenPeriod = 1s;
// A stream that has heard nothing this long while buffers wait has stopped playing.
constexpr auto kStallLimit = 400ms;
// How often the device thread looks at a playing stream, and the most one look counts
// toward a stall: a process stopped and continued (SIGSTOP) is not a stalled stream.
constexpr auto kStallTick = 50ms;
constexpr auto kStreamEndGrace = 300ms;

// ALSA prints its errors to stderr unless told otherwise; a console program must not.
void silentAlsaError(const char*, int, const char*, int, const char*, ...) {}

bool configure(snd_pcm_t* pcm, unsigned rate, bool floatOnly, SampleFormat& format) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  if (snd_pcm_hw_params_any(pcm, hw) < 0) return false;
  if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) return false;
  if (!setSampleFormat(pcm, hw, floatOnly, format)) return false;
  if (snd_pcm_hw_params_set_channels(pcm, hw, kChannelCount) < 0) return false;
  if (snd_pcm_hw_params_set_rate(pcm, hw, rate, 0) < 0) return false;
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

// Null when `name` ("" for `default`, which must take floats) cannot be opened for the
// stream.
snd_pcm_t* openDevice(const char* name, unsigned rate, SampleFormat& format) {
  snd_pcm_t* pcm = nullptr;
  const bool named = *name != '\0';
  if (snd_pcm_open(&pcm, named ? name : "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    return nullptr;
  }
  if (!configure(pcm, rate, !named, format)) {
    snd_pcm_close(pcm);
    return nullptr;
  }
  return pcm;
}

// Frames heard of the `written` ones. Once ALSA has run dry, all that was written has been
// heard, whatever delay it reports (the PulseAudio plugin keeps a few frames of it).
uint64_t framesHeard(snd_pcm_t* pcm, uint64_t written) {
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_state(pcm) == SND_PCM_STATE_XRUN || snd_pcm_delay(pcm, &delay) < 0 || delay < 0) {
    delay = 0;
  }
  return written - std::min<uint64_t>(written, static_cast<uint64_t>(delay));
}

Clock::duration playingTime(uint32_t frames, unsigned rate) {
  return std::chrono::nanoseconds(uint64_t{frames} * 1'000'000'000 / rate);
}

// One written buffer, copied, so the engine may refill its own memory at any time.
struct Slot {
  AudioBuffer* buffer;
  uint32_t frames;
  uint64_t endPosition;  ///< the stream's frame count once this buffer is in it
  float samples[kMaxBufferFrames * kChannelCount];
};

enum class StreamState {
  Free,     ///< no thread
  Opening,  ///< its thread opens `default`
  Playing,  ///< open and taking buffers
  Closing,  ///< broken, given up or stopped: its thread closes it
};

struct AlsaStream {
  // Guarded by the device's mutex.
  StreamState state = StreamState::Free;
  bool givenUp = false;  ///< the device no longer uses it: close it and end
  uint64_t heard = 0;    ///< frames played, counted from the stream's start
  // The stream thread's own: the buffer it is writing into ALSA, in the device's format.
  SampleFormat format = SampleFormat::Float32;
  float staging[kMaxBufferFrames * kChannelCount];  // room for any format's samples
};

}  // namespace

struct AudioDevice {
  std::mutex mutex;  // guards all below; never held in ALSA
  /// Wakes the stream threads: a buffer written, a stream taken up or given up.
  std::condition_variable toStreams;
  /// Wakes the device thread (and open and close): a buffer heard, a stream's change of
  /// state, a stop; a buffer written, while the clock times the buffers.
  std::condition_variable toDevice;
  bool inUse = false;
  bool stopping = false;
  bool dryNext = false;  ///< every buffer written is done: the next one comes after a gap
  unsigned rate = 0;     ///< frames a second
  char name[256] = {};   ///< the PCM to open; "" for `default`
  double gain = 1.0;     ///< applied as the samples leave for ALSA
  AudioDoneCallback done = nullptr;
  void* context = nullptr;
  std::thread thread;  ///< the device thread

  // Slots [head, sent) are with the stream, [sent, tail) wait for it. Without a stream,
  // [head, tail) are timed by the clock.
  uint32_t head = 0;
  uint32_t sent = 0;
  uint32_t tail = 0;
  Slot slots[kSlotCount];
  AlsaStream* stream = nullptr;   ///< playing; null while the clock times the buffers
  AlsaStream* opening = nullptr;  ///< being opened in the background
  AlsaStream streams[kStreamCount];

  // The device thread's own.
  Clock::time_point due;       ///< without a stream: when the oldest buffer has played
  Clock::time_point nextOpen;  ///< without a stream: when to open `default` again
  Clock::time_point lastLook;
  Clock::duration silentFor{};  ///< how long the stream has heard nothing while buffers wait
  uint64_t lastHeard = 0;

  AlsaStream* startStream();
  void run();
  bool followStream();
  Clock::time_point keepTime();
  void adoptStream();
  void loseStream();
  void completeOldest();
  uint64_t nextEndToHear(const AlsaStream& from) const;
};

namespace {

// One output per process, in storage that outlives every stream thread.
NeverDestroyed<AudioDevice> theDevice;

// Writes the device's buffers into `pcm` until the stream breaks or is given up.
void play(AlsaStream& stream, snd_pcm_t* pcm) {
  AudioDevice& device = *theDevice;
  uint64_t taken = 0;    // frames copied from the device's slots
  uint64_t written = 0;  // frames written into ALSA
  uint32_t staged = 0;   // frames in the staging buffer ...
  uint32_t offset = 0;   // ... of which this many are in ALSA
  AudioBuffer* stagedFrom = nullptr;
  bool gap = false;  // ALSA has run dry: the next frames written are heard after a gap
  const unsigned frameBytes = kChannelCount * bytesPerSample(stream.format);
  auto* const staging = reinterpret_cast<unsigned char*>(stream.staging);
  for (;;) {
    const uint64_t heard = framesHeard(pcm, written);
    gap = gap || (written > 0 && heard >= written);
    {
      std::unique_lock<std::mutex> lock(device.mutex);
      const bool adopted = device.stream == &stream;
      if (heard > stream.heard) {
        const uint64_t end = adopted ? device.nextEndToHear(stream) : 0;
        stream.heard = heard;
        if (end != 0 && heard >= end) device.toDevice.notify_all();
      }
      if (stream.givenUp) return;
      if (offset == staged && adopted && device.sent != device.tail) {
        Slot& slot = device.slots[device.sent++ % kSlotCount];
        convertSamples(slot.samples, slot.frames * kChannelCount, device.gain, stream.format,
                       stream.staging);
        stagedFrom = slot.buffer;
        staged = slot.frames;
        offset = 0;
        taken += staged;
        slot.endPosition = taken;
      }
      if (offset == staged) {
        // Nothing to write: sleep until a buffer comes or the next one in ALSA is heard.
        int waitMs = kWaitSliceMs * 10;
        if (const uint64_t end = adopted ? device.nextEndToHear(stream) : 0; end > heard) {
          waitMs =
              std::clamp(static_cast<int>((end - heard) * 1000 / device.rate), 1, kWaitSliceMs);
        }
        device.toStreams.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
          return stream.givenUp || (device.stream == &stream && device.sent != device.tail);
        });
        continue;
      }
    }

    const snd_pcm_sframes_t result =
        snd_pcm_writei(pcm, staging + size_t{offset} * frameBytes, staged - offset);
    if (result > 0) {
      offset += static_cast<uint32_t>(result);
      written += static_cast<uint64_t>(result);
      if (gap) stagedFrom->flags.fetch_or(kBufferAfterGap, std::memory_order_relaxed);
      gap = false;
    } else if (result == -EAGAIN || result == 0) {
      // Wait for room; an underrun reported here is mended like one from the write.
      const int waited = snd_pcm_wait(pcm, kWaitSliceMs);
      gap = gap || waited == -EPIPE;
      if (waited < 0 && snd_pcm_recover(pcm, waited, 1) < 0) return;
    } else {
      gap = gap || result == -EPIPE;
      if (snd_pcm_recover(pcm, static_cast<int>(result), 1) < 0) {
        return;  // the device refuses frames for good (a killed sound server)
      }
    }
  }
}

void runStream(AlsaStream* stream) {
  AudioDevice& device = *theDevice;
  nameThisThread("alsa-out");
  ThreadSnapshot before;
  before.take();
  // May wait long on a frozen sound server.
  snd_pcm_t* pcm = openDevice(device.name, device.rate, stream->format);
  bool playing = false;
  {
    std::lock_guard<std::mutex> lock(device.mutex);
    playing = pcm != nullptr && !stream->givenUp;
    stream->state = playing ? StreamState::Playing : StreamState::Closing;
    device.toDevice.notify_all();
  }
  if (playing) {
    prepareAudioThread("alsa-out");
    // The sound library may carry the stream to the server on a thread of its own (the
    // PulseAudio client does): it has to keep up as well as this one.
    makeNewThreadsRealtime(before);
    play(*stream, pcm);
    std::lock_guard<std::mutex> lock(device.mutex);
    stream->state = StreamState::Closing;
    device.toDevice.notify_all();
  }
  // Stopped and released here, not by the device: with a frozen sound server these calls
  // never return, and then only this thread is lost.
  if (pcm != nullptr) {
    snd_pcm_drop(pcm);
    snd_pcm_close(pcm);
  }
  std::lock_guard<std::mutex> lock(device.mutex);
  stream->state = StreamState::Free;
  device.toDevice.notify_all();
}

}  // namespace

// Starts opening `default` on a stream thread of its own; null if none can be started.
AlsaStream* AudioDevice::startStream() {
  for (AlsaStream& candidate : streams) {
    if (candidate.state != StreamState::Free || &candidate == stream || &candidate == opening) {
      continue;
    }
    candidate.state = StreamState::Opening;
    candidate.givenUp = false;
    candidate.heard = 0;
    try {
      std::thread(runStream, &candidate).detach();
    } catch (const std::system_error&) {
      candidate.state = StreamState::Free;
      return nullptr;
    }
    return &candidate;
  }
  return nullptr;  // all held by frozen sound servers
}

// The device thread: follows the stream while there is one, else keeps time by the clock.
void AudioDevice::run() {
  prepareAudioThread("audio-out");
  std::unique_lock<std::mutex> lock(mutex);
  lastLook = Clock::now();
  while (!stopping) {
    if (stream != nullptr && followStream()) {
      toDevice.wait_for(lock, kStallTick);
    } else {
      toDevice.wait_until(lock, keepTime());
    }
  }
}

// Marks done every buffer the stream has played. Gives the stream up when it has broken
// or has heard nothing for too long; returns false then.
bool AudioDevice::followStream() {
  const Clock::time_point now = Clock::now();
  if (stream->state != StreamState::Playing) {
    loseStream();
    return false;
  }
  while (head != sent && slots[head % kSlotCount].endPosition <= stream->heard) {
    completeOldest();
  }
  if (head == tail || stream->heard != lastHeard) {
    silentFor = {};
    lastHeard = stream->heard;
  } else {
    silentFor += std::min<Clock::duration>(now - lastLook, kStallTick);
  }
  lastLook = now;
  if (silentFor >= kStallLimit) {
    loseStream();
    return false;
  }
  return true;
}

// Without a stream: marks each buffer done when it would have played, opens `default`
// again now and then, and hands over to a stream that opens. Returns when to look again.
Clock::time_point AudioDevice::keepTime() {
  const Clock::time_point now = Clock::now();
  if (opening != nullptr && opening->state == StreamState::Playing) {
    adoptStream();
    return now;
  }
  if (opening != nullptr && opening->state != StreamState::Opening) opening = nullptr;
  if (opening == nullptr && now >= nextOpen) {
    opening = startStream();
    nextOpen = now + kReopenPeriod;
  }

  if (head != tail && due == Clock::time_point{}) {
    due = now + playingTime(slots[head % kSlotCount].frames, rate);
  }
  while (head != tail && now >= due) {
    completeOldest();
    // A late look catches up by at most one buffer, as a device that ran dry would.
    const Clock::time_point from = std::max(due, now - playingTime(kPeriodFrames, rate));
    due = head == tail ? Clock::time_point{}
                       : from + playingTime(slots[head % kSlotCount].frames, rate);
  }
  const Clock::time_point next = opening != nullptr ? now + kReopenPeriod : nextOpen;
  return head != tail ? std::min(due, next) : next;
}

void AudioDevice::adoptStream() {
  stream = opening;
  opening = nullptr;
  sent = head;  // the stream plays from the oldest buffer not yet done
  lastHeard = 0;
  silentFor = {};
  lastLook = Clock::now();
  toStreams.notify_all();
}

void AudioDevice::loseStream() {
  stream->givenUp = true;  // its thread closes it whenever the sound library lets it
  stream = nullptr;
  sent = head;
  due = {};
  nextOpen = Clock::now();
  toStreams.notify_all();
}

// Called with the mutex held, so that once a reset has taken it no call is under way.
void AudioDevice::completeOldest() {
  AudioBuffer* finished = slots[head % kSlotCount].buffer;
  ++head;
  if (head == tail) dryNext = true;
  finished->flags.fetch_and(~kBufferQueued, std::memory_order_relaxed);
  finished->flags.fetch_or(kBufferDone, std::memory_order_release);
  done(context);
}

// The stream position at which the oldest buffer not yet heard ends (0 if none).
uint64_t AudioDevice::nextEndToHear(const AlsaStream& from) const {
  for (uint32_t i = head; i != sent; ++i) {
    const uint64_t end = slots[i % kSlotCount].endPosition;
    if (end > from.heard) return end;
  }
  return 0;
}

AudioDevice* audioOpen(const StreamSettings& settings, AudioDoneCallback done, void* context) {
  AudioDevice& device = *theDevice;
  std::unique_lock<std::mutex> lock(device.mutex);
  if (device.inUse) return nullptr;
  snd_lib_error_set_handler(silentAlsaError);
  device.rate = settings.sampleRate;
  std::snprintf(device.name, sizeof device.name, "%s",
                settings.device != nullptr ? settings.device : "");
  device.gain = settings.gain;

  AlsaStream* stream = device.startStream();
  if (stream != nullptr) {
    device.toDevice.wait_for(lock, kOpenGrace,
                             [stream] { return stream->state != StreamState::Opening; });
    if (stream->state != StreamState::Playing) {
      stream->givenUp = true;  // a frozen server keeps its thread
      stream = nullptr;
    }
  }
  // Without a stream the program plays silent, or the device thread keeps time as it
  // does for a lost stream, and tries `default` again now and then.
  if (stream == nullptr && settings.withoutDevice == WithoutDevice::Fail) return nullptr;

  device.stream = stream;
  device.opening = nullptr;
  device.done = done;
  device.context = context;
  device.stopping = false;
  device.head = device.sent = device.tail = 0;
  device.dryNext = false;
  device.due = {};
  device.nextOpen = Clock::now() + kReopenPeriod;
  try {
    device.thread = std::thread(&AudioDevice::run, &device);
  } catch (const std::system_error&) {
    if (stream != nullptr) stream->givenUp = true;
    device.stream = nullptr;
    device.toStreams.notify_all();
    return nullptr;
  }
  device.inUse = true;
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

  // Only this thread fills the slot at `tail`, and the others read it only once `tail` has
  // moved past it under the lock.
  uint32_t tail;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->tail - device->head == kSlotCount) return false;
    tail = device->tail;
  }
  Slot& slot = device->slots[tail % kSlotCount];
  slot.buffer = &buffer;
  slot.frames = frames;
  std::memcpy(slot.samples, buffer.data, frames * kBytesPerFrame);
  buffer.flags.fetch_and(~kBufferDone);
  buffer.flags.fetch_or(kBufferQueued);
  bool timedByClock;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    device->tail = tail + 1;
    timedByClock = device->stream == nullptr;
    if (std::exchange(device->dryNext, false)) buffer.flags.fetch_or(kBufferAfterGap);
  }
  (timedByClock ? device->toDevice : device->toStreams).notify_all();
  return true;
}

void audioUnprepare(AudioDevice*, AudioBuffer& buffer) {
  if (buffer.flags.load() & kBufferQueued) return;  // still playing
  buffer.flags.fetch_and(~kBufferPrepared);
}

void audioReset(AudioDevice* device) {
  if (device == nullptr || !device->thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(device->mutex);
    device->stopping = true;
  }
  device->toDevice.notify_all();
  device->thread.join();  // quick: the device thread never waits on the sound server

  std::unique_lock<std::mutex> lock(device->mutex);
  // What was still queued is dropped: it is given back, done, without a completion call.
  for (uint32_t i = device->head; i != device->tail; ++i) {
    AudioBuffer* buffer = device->slots[i % kSlotCount].buffer;
    buffer->flags.fetch_and(~kBufferQueued);
    buffer->flags.fetch_or(kBufferDone);
  }
  device->head = device->sent = device->tail;
  if (device->opening != nullptr) {
    device->opening->givenUp = true;
    device->opening = nullptr;
  }
  if (AlsaStream* stream = device->stream) {
    stream->givenUp = true;
    device->stream = nullptr;
    device->toStreams.notify_all();
    // Give its thread a moment to close the stream cleanly, unless the server holds it.
    device->toDevice.wait_for(lock, kStreamEndGrace,
                              [stream] { return stream->state == StreamState::Free; });
  }
}

void audioClose(AudioDevice* device) {
  if (device == nullptr) return;
  audioReset(device);
  std::lock_guard<std::mutex> lock(device->mutex);
  device->inUse = false;  // streams left behind keep only their own records
}

}  // namespace consynth::platform
