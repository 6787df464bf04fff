// Audio output through ALSA's default device, which reaches PulseAudio and PipeWire too, or
// the PCM the settings name: where `default` is said below, that one is meant. The default
// takes the engine's float samples; a named one may take integers instead (a sound card's
// own device), which the stream thread converts the samples to as it applies the gain
// (sample_format.h).
//
// The engine expects a wave-out style device: written buffers play in order, and each one
// is marked done, with one completion call, once it has been heard. Two kinds of thread
// make it so:
// - a stream thread owns one ALSA stream: it opens it, copies the written buffers into it,
//   tells from ALSA's delay how many frames have been heard, and completes each buffer
//   heard, so the ALSA buffer is part of the engine's ring, not extra latency behind it. It
//   sleeps in ALSA's poll, woken when ALSA has room for a period, when a buffer is written,
//   or when the next buffer is due to have been heard.
// - the device thread watches the stream and never calls into ALSA, so nothing that
//   befalls the sound server can hold it up. When the stream breaks (a killed sound
//   server) or stops playing (a frozen one), the device thread gives it up and goes on
//   marking buffers done in real time, by the monotonic clock, so the render thread, its
//   lines and the keys carry on; and it opens `default` again about once a second. A stream
//   that opens takes over from the oldest buffer not yet done. Opened to keep time without
//   a device, the device starts that way when `default` fails.
//
// The ALSA stream's period is the engine's buffer length and its buffer holds the whole
// ring; a device that cannot take a period that short gives its shortest, which the engine
// then takes for its buffers.
//
// A buffer that the device begins after it has played all it had gets kBufferAfterGap: one
// written when all before it are done, or one a stream writes once ALSA has run dry.
//
// The device's lock is taken by the render thread (each write), by the stream threads and
// by the device thread: it lends priority to whoever holds it, and no thread is started
// while it is held.
//
// A frozen server answers no call, so a stream thread may be held inside the sound library
// for good. It is then left there: it owns its ALSA stream and uses only storage that is
// never destroyed, and it closes the stream and ends whenever the library lets it go.

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/audio_output.h"
#include "platform/linux/alsa_formats.h"
#include "platform/linux/pi_mutex.h"
#include "platform/linux/realtime.h"
#include "platform/never_destroyed.h"
#include "platform/threads.h"

namespace consynth::platform {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One stream playing, one opening, and room for two left behind in frozen servers.
constexpr uint32_t kStreamCount = 4;
constexpr int kMaxPollFds = 8;

// A frozen sound server takes half a minute to refuse an open; the program does not wait.
constexpr auto kOpenGrace = 1s;
constexpr auto kReopenPeriod = 1s;
// A stream that has heard nothing this long while buffers wait has stopped playing.
constexpr auto kStallLimit = 400ms;
// How often the device thread looks at a playing stream, and the most one look counts
// toward a stall: a process stopped and continued (SIGSTOP) is not a stalled stream.
constexpr auto kStallTick = 50ms;
constexpr auto kStreamEndGrace = 300ms;
// The longest a stream thread sleeps before it looks again.
constexpr auto kLongestSleep = 100ms;

// ALSA prints its errors to stderr unless told otherwise; a console program must not.
void silentAlsaError(const char*, int, const char*, int, const char*, ...) {}

// What ALSA took for a stream.
struct StreamShape {
  snd_pcm_uframes_t period = 0;  ///< 0: the stream could not be set up
  snd_pcm_uframes_t buffer = 0;
};

// The stream's shape: the sample format (floats, or where `floatOnly` is false the widest
// integers a device without them takes), periods as long as the engine's buffers, room for
// all of them (2048 frames at most, as many as four of the longest; more wait in the
// device's slots), and playing from the first period on.
StreamShape configure(snd_pcm_t* pcm, unsigned rate, unsigned periodFrames, unsigned periods,
                      bool floatOnly, SampleFormat& format) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  if (snd_pcm_hw_params_any(pcm, hw) < 0) return {};
  if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) return {};
  if (!setSampleFormat(pcm, hw, floatOnly, format)) return {};
  if (snd_pcm_hw_params_set_channels(pcm, hw, kChannelCount) < 0) return {};
  if (snd_pcm_hw_params_set_rate(pcm, hw, rate, 0) < 0) return {};
  StreamShape shape;
  shape.period = periodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, hw, &shape.period, nullptr);
  // At least two periods, or the stream stops at every period's end.
  shape.buffer = std::min<snd_pcm_uframes_t>(std::max(periods, 2u) * shape.period, 2048);
  snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &shape.buffer);
  if (snd_pcm_hw_params(pcm, hw) < 0) return {};
  snd_pcm_hw_params_get_period_size(hw, &shape.period, nullptr);
  snd_pcm_hw_params_get_buffer_size(hw, &shape.buffer);

  // Start as soon as one period is there, so the first buffers are not held back; wake the
  // stream thread for each period of room.
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  if (snd_pcm_sw_params_current(pcm, sw) < 0) return {};
  snd_pcm_sw_params_set_start_threshold(pcm, sw, shape.period);
  snd_pcm_sw_params_set_avail_min(pcm, sw, shape.period);
  return snd_pcm_sw_params(pcm, sw) >= 0 ? shape : StreamShape{};
}

// Frames of the `written` ones that count as played: those heard, from ALSA's delay. But a
// sound server may keep more than a short ring covers (PulseAudio keeps some milliseconds
// of its own): then those the server has taken from ALSA count, less `keptBeyond`, so that
// the ring still refills before the server runs out. Once ALSA has run dry, all that was
// written has been heard, whatever delay it reports (the PulseAudio plugin keeps a few
// frames of it).
uint64_t framesPlayed(snd_pcm_t* pcm, const StreamShape& shape, uint64_t written,
                      uint64_t keptBeyond) {
  snd_pcm_sframes_t room = 0;
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_state(pcm) == SND_PCM_STATE_XRUN || snd_pcm_avail_delay(pcm, &room, &delay) < 0) {
    return written;
  }
  const uint64_t heard =
      written -
      std::min<uint64_t>(written, static_cast<uint64_t>(std::max<snd_pcm_sframes_t>(delay, 0)));
  const uint64_t inAlsa =
      shape.buffer -
      std::min<uint64_t>(shape.buffer, static_cast<uint64_t>(std::max<snd_pcm_sframes_t>(room, 0)));
  const uint64_t taken = written - std::min(written, inAlsa);
  return std::max(heard, taken - std::min(taken, keptBeyond));
}

Clock::duration playingTime(uint64_t frames, unsigned rate) {
  return std::chrono::nanoseconds(frames * 1'000'000'000 / rate);
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
  /// Wakes the stream's thread from ALSA's poll: a buffer written, the stream given up.
  int wakeFd = -1;
  // The stream thread's own: the buffer it is writing into ALSA, in the device's format.
  SampleFormat format = SampleFormat::Float32;
  float staging[kMaxBufferFrames * kChannelCount];  // room for any format's samples
};

void wake(const AlsaStream& stream) {
  const uint64_t one = 1;
  if (stream.wakeFd >= 0 && write(stream.wakeFd, &one, sizeof one) < 0) {
    // An eventfd takes a write until its count nears 2^64; there is no other failure.
  }
}

}  // namespace

struct AudioDevice {
  PiMutex mutex;  // guards all below; never held in ALSA, nor while a thread starts
  /// Wakes the device thread (and open and close): a stream's change of state, a stop; a
  /// buffer written, while the clock times the buffers.
  PiCondition toDevice;
  bool inUse = false;
  bool stopping = false;
  bool dryNext = false;       ///< every buffer written is done: the next one comes after a gap
  unsigned rate = 0;          ///< frames a second
  unsigned periodFrames = 0;  ///< the engine's buffers' frames; ALSA's period where longer
  unsigned periods = 0;
  char name[256] = {};  ///< the PCM to open; "" for `default`
  double gain = 1.0;    ///< applied as the samples leave for ALSA
  AudioDoneCallback done = nullptr;
  void* context = nullptr;
  std::thread thread;  ///< the device thread

  // Slots [head, sent) are with the stream, [sent, tail) wait for it. Without a stream,
  // [head, tail) are timed by the clock.
  uint32_t head = 0;
  uint32_t sent = 0;
  uint32_t tail = 0;
  Slot slots[kMaxQueuedBuffers];
  AlsaStream* stream = nullptr;   ///< playing; null while the clock times the buffers
  AlsaStream* opening = nullptr;  ///< being opened in the background
  AlsaStream streams[kStreamCount];

  // The device thread's own.
  Clock::time_point due;       ///< without a stream: when the oldest buffer has played
  Clock::time_point nextOpen;  ///< without a stream: when to open `default` again
  Clock::time_point lastLook;
  Clock::duration silentFor{};  ///< how long the stream has heard nothing while buffers wait
  uint64_t lastHeard = 0;

  AlsaStream* reserveStream();
  AlsaStream* startStream(std::unique_lock<PiMutex>& lock);
  void run();
  bool followStream();
  Clock::time_point keepTime(std::unique_lock<PiMutex>& lock);
  void adoptStream();
  void loseStream();
  void completeOldest();
  void completeHeard(const AlsaStream& from);
  uint64_t nextEndToHear(const AlsaStream& from) const;
};

namespace {

// One output per process, in storage that outlives every stream thread.
NeverDestroyed<AudioDevice> theDevice;

// Waits for the stream's wake-up and, with `pcm`, for room in ALSA, at most `timeout`.
void waitForWake(const AlsaStream& stream, snd_pcm_t* pcm, Clock::duration timeout) {
  pollfd fds[kMaxPollFds + 1];
  int count = pcm != nullptr ? snd_pcm_poll_descriptors(pcm, fds, kMaxPollFds) : 0;
  if (count < 0) count = 0;
  fds[count] = {stream.wakeFd, POLLIN, 0};
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
  const timespec wait = {static_cast<time_t>(nanoseconds / 1'000'000'000),
                         static_cast<long>(nanoseconds % 1'000'000'000)};
  if (ppoll(fds, static_cast<nfds_t>(count + 1), &wait, nullptr) <= 0) return;
  if (fds[count].revents != 0) {
    uint64_t wakes;
    if (read(stream.wakeFd, &wakes, sizeof wakes) < 0) {
      // Taken by an earlier look: nothing to clear.
    }
  }
  unsigned short events = 0;
  if (count > 0) snd_pcm_poll_descriptors_revents(pcm, fds, static_cast<unsigned>(count), &events);
}

// Writes the device's buffers into `pcm`, and completes them as they are played, until the
// stream breaks or is given up.
void play(AlsaStream& stream, snd_pcm_t* pcm, const StreamShape& shape) {
  AudioDevice& device = *theDevice;
  // What the server may keep beyond ALSA before the frames it takes count: all of the
  // ring but the buffer being rendered, so that the server always has at least that one's
  // length in hand.
  const uint64_t keptBeyond = (std::max(device.periods, 2u) - 1) * uint64_t{device.periodFrames};
  uint64_t taken = 0;    // frames copied from the device's slots
  uint64_t written = 0;  // frames written into ALSA
  uint32_t staged = 0;   // frames in the staging buffer ...
  uint32_t offset = 0;   // ... of which this many are in ALSA
  AudioBuffer* stagedFrom = nullptr;
  bool gap = false;  // ALSA has run dry: the next frames written are heard after a gap
  const unsigned frameBytes = kChannelCount * bytesPerSample(stream.format);
  auto* const staging = reinterpret_cast<unsigned char*>(stream.staging);
  for (;;) {
    const uint64_t heard = framesPlayed(pcm, shape, written, keptBeyond);
    gap = gap || (written > 0 && heard >= written);
    Clock::duration sleep = kLongestSleep;
    {
      std::lock_guard<PiMutex> lock(device.mutex);
      const bool adopted = device.stream == &stream;
      stream.heard = std::max(stream.heard, heard);
      if (stream.givenUp) return;
      if (adopted) device.completeHeard(stream);
      if (offset == staged && adopted && device.sent != device.tail) {
        Slot& slot = device.slots[device.sent++ % kMaxQueuedBuffers];
        convertSamples(slot.samples, slot.frames * kChannelCount, device.gain, stream.format,
                       stream.staging);
        stagedFrom = slot.buffer;
        staged = slot.frames;
        offset = 0;
        taken += staged;
        slot.endPosition = taken;
      }
      // Nothing to write: sleep until a buffer comes, or the next one in ALSA is heard.
      if (const uint64_t end = adopted ? device.nextEndToHear(stream) : 0; end > heard) {
        sleep = std::min(sleep, playingTime(end - heard, device.rate));
      }
    }
    if (offset == staged) {
      waitForWake(stream, nullptr, sleep);  // nothing to write: ALSA's room does not matter
      continue;
    }

    const snd_pcm_sframes_t result =
        snd_pcm_writei(pcm, staging + size_t{offset} * frameBytes, staged - offset);
    if (result > 0) {
      offset += static_cast<uint32_t>(result);
      written += static_cast<uint64_t>(result);
      // A stream given up while it wrote is no longer the device's: its gaps are not heard.
      std::lock_guard<PiMutex> lock(device.mutex);
      if (gap && device.stream == &stream) {
        stagedFrom->flags.fetch_or(kBufferAfterGap, std::memory_order_relaxed);
      }
      gap = false;
    } else if (result == -EAGAIN || result == 0) {
      // No room: wait for some, or for a buffer to be heard.
      waitForWake(stream, pcm, sleep);
    } else {
      gap = gap || result == -EPIPE;
      if (snd_pcm_recover(pcm, static_cast<int>(result), 1) < 0) {
        return;  // the device refuses frames for good (a killed sound server)
      }
    }
  }
}

// Null when the device's PCM ("" for `default`, which must take floats) cannot be opened
// for the stream's shape; else the stream, its sample format and the shape ALSA took.
snd_pcm_t* openDevice(const AudioDevice& device, SampleFormat& format, StreamShape& shape) {
  snd_pcm_t* pcm = nullptr;
  const bool named = device.name[0] != '\0';
  if (snd_pcm_open(&pcm, named ? device.name : "default", SND_PCM_STREAM_PLAYBACK,
                   SND_PCM_NONBLOCK) < 0) {
    return nullptr;
  }
  shape = configure(pcm, device.rate, device.periodFrames, device.periods, !named, format);
  if (shape.period == 0) {
    snd_pcm_close(pcm);
    return nullptr;
  }
  return pcm;
}

void runStream(AlsaStream* stream) {
  AudioDevice& device = *theDevice;
  nameThisThread("alsa-out");
  ThreadSnapshot before;
  before.take();
  StreamShape shape;
  // May wait long on a frozen sound server.
  snd_pcm_t* pcm = openDevice(device, stream->format, shape);
  bool playing = false;
  {
    std::lock_guard<PiMutex> lock(device.mutex);
    playing = pcm != nullptr && !stream->givenUp;
    stream->state = playing ? StreamState::Playing : StreamState::Closing;
    if (playing && shape.period > device.periodFrames) {
      device.periodFrames = static_cast<unsigned>(shape.period);
    }
    device.toDevice.notify_all();
  }
  if (playing) {
    prepareAudioThread("alsa-out");
    // The sound library may carry the stream to the server on a thread of its own (the
    // PulseAudio client does): it has to keep up as well as this one.
    makeSoundLibraryThreadsRealtime(before);
    play(*stream, pcm, shape);
    std::lock_guard<PiMutex> lock(device.mutex);
    stream->state = StreamState::Closing;
    device.toDevice.notify_all();
  }
  // Stopped and released here, not by the device: with a frozen sound server these calls
  // never return, and then only this thread is lost.
  if (pcm != nullptr) {
    snd_pcm_drop(pcm);
    snd_pcm_close(pcm);
  }
  finishAudioThread();
  std::lock_guard<PiMutex> lock(device.mutex);
  stream->state = StreamState::Free;
  device.toDevice.notify_all();
}

}  // namespace

// A stream record for a new stream thread, marked as opening; null if all are held by
// frozen sound servers. With the mutex held.
AlsaStream* AudioDevice::reserveStream() {
  for (AlsaStream& candidate : streams) {
    if (candidate.state != StreamState::Free || &candidate == stream || &candidate == opening) {
      continue;
    }
    candidate.state = StreamState::Opening;
    candidate.givenUp = false;
    candidate.heard = 0;
    if (candidate.wakeFd < 0) candidate.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return &candidate;
  }
  return nullptr;
}

// Starts opening `default` on a stream thread of its own; null if none can be started. The
// thread is started with the mutex let go.
AlsaStream* AudioDevice::startStream(std::unique_lock<PiMutex>& lock) {
  AlsaStream* reserved = reserveStream();
  if (reserved == nullptr) return nullptr;
  lock.unlock();
  bool started = true;
  try {
    std::thread(runStream, reserved).detach();
  } catch (const std::system_error&) {
    started = false;
  }
  lock.lock();
  if (started) return reserved;
  reserved->state = StreamState::Free;
  return nullptr;
}

// The device thread: follows the stream while there is one, else keeps time by the clock.
void AudioDevice::run() {
  prepareAudioThread("audio-out");
  std::unique_lock<PiMutex> lock(mutex);
  lastLook = Clock::now();
  while (!stopping) {
    if (stream != nullptr && followStream()) {
      toDevice.waitUntil(mutex, Clock::now() + kStallTick);
    } else {
      toDevice.waitUntil(mutex, keepTime(lock));
    }
  }
  lock.unlock();
  finishAudioThread();
}

// Gives the stream up when it has broken or has heard nothing for too long; returns false
// then. (The stream completes the buffers it has played itself.)
bool AudioDevice::followStream() {
  const Clock::time_point now = Clock::now();
  if (stream->state != StreamState::Playing) {
    loseStream();
    return false;
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
Clock::time_point AudioDevice::keepTime(std::unique_lock<PiMutex>& lock) {
  Clock::time_point now = Clock::now();
  if (opening != nullptr && opening->state == StreamState::Playing) {
    adoptStream();
    return now;
  }
  if (opening != nullptr && opening->state != StreamState::Opening) opening = nullptr;
  if (opening == nullptr && now >= nextOpen) {
    opening = startStream(lock);
    if (stopping || stream != nullptr) return now;  // changed while the mutex was let go
    now = Clock::now();
    nextOpen = now + kReopenPeriod;
  }

  if (head != tail && due == Clock::time_point{}) {
    due = now + playingTime(slots[head % kMaxQueuedBuffers].frames, rate);
  }
  while (head != tail && now >= due) {
    const uint32_t frames = slots[head % kMaxQueuedBuffers].frames;
    completeOldest();
    // A late look catches up by at most one buffer, as a device that ran dry would.
    const Clock::time_point from = std::max(due, now - playingTime(frames, rate));
    due = head == tail ? Clock::time_point{}
                       : from + playingTime(slots[head % kMaxQueuedBuffers].frames, rate);
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
  wake(*stream);
}

void AudioDevice::loseStream() {
  stream->givenUp = true;  // its thread closes it whenever the sound library lets it
  wake(*stream);
  stream = nullptr;
  sent = head;
  due = {};
  nextOpen = Clock::now();
}

// Called with the mutex held, so that once a reset has taken it no call is under way.
void AudioDevice::completeOldest() {
  AudioBuffer* finished = slots[head % kMaxQueuedBuffers].buffer;
  ++head;
  if (head == tail) dryNext = true;
  finished->flags.fetch_and(~kBufferQueued, std::memory_order_relaxed);
  finished->flags.fetch_or(kBufferDone, std::memory_order_release);
  done(context);
}

// Marks done, and calls back for, every buffer the stream has played. With the mutex held.
void AudioDevice::completeHeard(const AlsaStream& from) {
  while (head != sent && slots[head % kMaxQueuedBuffers].endPosition <= from.heard) {
    completeOldest();
  }
}

// The stream position at which the oldest buffer not yet heard ends (0 if none).
uint64_t AudioDevice::nextEndToHear(const AlsaStream& from) const {
  for (uint32_t i = head; i != sent; ++i) {
    const uint64_t end = slots[i % kMaxQueuedBuffers].endPosition;
    if (end > from.heard) return end;
  }
  return 0;
}

AudioDevice* audioOpen(const StreamSettings& settings, AudioDoneCallback done, void* context) {
  AudioDevice& device = *theDevice;
  std::unique_lock<PiMutex> lock(device.mutex);
  if (device.inUse) return nullptr;
  snd_lib_error_set_handler(silentAlsaError);
  device.rate = settings.sampleRate;
  device.periodFrames = settings.periodFrames;
  device.periods = settings.periods;
  std::snprintf(device.name, sizeof device.name, "%s",
                settings.device != nullptr ? settings.device : "");
  device.gain = settings.gain;

  AlsaStream* stream = device.startStream(lock);
  if (stream != nullptr) {
    device.toDevice.waitUntil(device.mutex, Clock::now() + kOpenGrace,
                              [stream] { return stream->state != StreamState::Opening; });
    if (stream->state != StreamState::Playing) {
      stream->givenUp = true;  // a frozen server keeps its thread
      wake(*stream);
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
  lock.unlock();
  std::thread thread;
  try {
    thread = std::thread(&AudioDevice::run, &device);
  } catch (const std::system_error&) {
  }
  lock.lock();
  if (!thread.joinable()) {
    if (stream != nullptr) {
      stream->givenUp = true;
      wake(*stream);
    }
    device.stream = nullptr;
    return nullptr;
  }
  device.thread = std::move(thread);
  device.inUse = true;
  return &device;
}

unsigned audioPeriodFrames(AudioDevice* device) {
  std::lock_guard<PiMutex> lock(device->mutex);
  return device->periodFrames;
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
    std::lock_guard<PiMutex> lock(device->mutex);
    if (device->tail - device->head == kMaxQueuedBuffers) return false;
    tail = device->tail;
  }
  Slot& slot = device->slots[tail % kMaxQueuedBuffers];
  slot.buffer = &buffer;
  slot.frames = frames;
  std::memcpy(slot.samples, buffer.data, frames * kBytesPerFrame);
  buffer.flags.fetch_and(~kBufferDone);
  buffer.flags.fetch_or(kBufferQueued);
  std::lock_guard<PiMutex> lock(device->mutex);
  device->tail = tail + 1;
  if (std::exchange(device->dryNext, false)) buffer.flags.fetch_or(kBufferAfterGap);
  if (device->stream != nullptr) {
    wake(*device->stream);
  } else {
    device->toDevice.notify_all();
  }
  return true;
}

void audioUnprepare(AudioDevice*, AudioBuffer& buffer) {
  if (buffer.flags.load() & kBufferQueued) return;  // still playing
  buffer.flags.fetch_and(~kBufferPrepared);
}

void audioReset(AudioDevice* device) {
  if (device == nullptr || !device->thread.joinable()) return;
  {
    std::lock_guard<PiMutex> lock(device->mutex);
    device->stopping = true;
  }
  device->toDevice.notify_all();
  device->thread.join();  // quick: the device thread never waits on the sound server

  std::unique_lock<PiMutex> lock(device->mutex);
  // What was still queued is dropped: it is given back, done, without a completion call.
  for (uint32_t i = device->head; i != device->tail; ++i) {
    AudioBuffer* buffer = device->slots[i % kMaxQueuedBuffers].buffer;
    buffer->flags.fetch_and(~kBufferQueued);
    buffer->flags.fetch_or(kBufferDone);
  }
  device->head = device->sent = device->tail;
  if (device->opening != nullptr) {
    device->opening->givenUp = true;
    wake(*device->opening);
    device->opening = nullptr;
  }
  if (AlsaStream* stream = device->stream) {
    stream->givenUp = true;
    wake(*stream);
    device->stream = nullptr;
    // Give its thread a moment to close the stream cleanly, unless the server holds it.
    device->toDevice.waitUntil(device->mutex, Clock::now() + kStreamEndGrace,
                               [stream] { return stream->state == StreamState::Free; });
  }
}

void audioClose(AudioDevice* device) {
  if (device == nullptr) return;
  audioReset(device);
  std::lock_guard<PiMutex> lock(device->mutex);
  device->inUse = false;  // streams left behind keep only their own records
}

}  // namespace consynth::platform
