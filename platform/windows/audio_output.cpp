// Audio output through the system's wave-out device (the default one, WAVE_MAPPER, or the
// one the settings name).
//
// Each engine buffer carries its own WAVEHDR in AudioBuffer::deviceRecord, so nothing is
// allocated. The device's completion callback mirrors the system's done flag into the
// buffer's flags and then calls the engine. Reset and close run on a helper thread with a
// grace period: a sound service that has stopped answering can keep them from returning,
// and then only that helper is lost, while no completion call reaches the engine again.
//
// The device plays the engine's buffers where they are, unless a gain applies or a named
// device takes no floats (then 16-bit integers): each buffer is then converted as it is
// written, into a copy of the device's own (sample_format.h).
//
// Opened to keep time where no device opens, it completes each buffer written to it when
// it would have played, by the clock, on a thread of its own.
//
// A buffer written when every one before it is done gets kBufferAfterGap: the device had
// run dry.
//
// The completion callback runs in the system's own thread: it takes no lock, releases the
// engine's credits (the system's semaphore) and, once a reset has silenced the device, does
// nothing; the reset waits for any callback under way through an event.

#include <windows.h>
// The wave-out declarations need the base types of <windows.h> first; the audio engine's
// interface ids are defined here, where they are used.
#include <initguid.h>
// After initguid.h.
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <mmsystem.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/audio_output.h"
#include "platform/never_destroyed.h"
#include "platform/windows/wave_out_devices.h"

namespace consynth::platform {

namespace {

static_assert(sizeof(WAVEHDR) <= sizeof(AudioBuffer::deviceRecord));
static_assert(alignof(WAVEHDR) <= 8);
static_assert(kBufferDone == WHDR_DONE && kBufferPrepared == WHDR_PREPARED &&
              kBufferQueued == WHDR_INQUEUE);

constexpr auto kDeviceCallGrace = std::chrono::milliseconds(300);

WAVEHDR* headerOf(AudioBuffer& buffer) {
  return std::launder(reinterpret_cast<WAVEHDR*>(buffer.deviceRecord));
}

// A reset or close that may not come back: run on a helper thread, waited for a while.
struct DeviceCall {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
};
// Never destroyed, as the helper may outlive the caller's wait, and the process's exit.
NeverDestroyed<DeviceCall> deviceCall;

// Returns false when `call` did not return within the grace period (its thread is left).
bool returnsInTime(MMRESULT(WINAPI* call)(HWAVEOUT), HWAVEOUT handle) {
  {
    std::lock_guard<std::mutex> guard(deviceCall->mutex);
    deviceCall->done = false;
  }
  try {
    std::thread([call, handle] {
      call(handle);
      std::lock_guard<std::mutex> guard(deviceCall->mutex);
      deviceCall->done = true;
      deviceCall->finished.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    call(handle);  // no thread to spare: wait as long as it takes
    return true;
  }
  std::unique_lock<std::mutex> guard(deviceCall->mutex);
  return deviceCall->finished.wait_for(guard, kDeviceCallGrace, [] { return deviceCall->done; });
}

using Clock = std::chrono::steady_clock;

Clock::duration playingTime(uint32_t bytes, unsigned rate) {
  return std::chrono::nanoseconds(uint64_t{bytes} / kBytesPerFrame * 1'000'000'000 / rate);
}

// Without a device: the buffers written, timed by the clock.
struct ClockedQueue {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopping = false;
  uint32_t head = 0;
  uint32_t tail = 0;
  AudioBuffer* buffers[kMaxQueuedBuffers] = {};
  std::thread thread;
};

}  // namespace

struct AudioDevice {
  HWAVEOUT handle = nullptr;
  bool keepsTime = false;  ///< no device opened: the clock completes the buffers
  ClockedQueue clocked;
  unsigned rate = 0;  ///< frames a second
  unsigned periodFrames = 0;
  AudioDoneCallback done = nullptr;
  void* context = nullptr;
  // Once `silenced` is set no completion call reaches the engine: a callback counts itself
  // in `calling` around the call, and the last one out of a silenced device sets
  // `callsEnded`, which the reset waits for.
  std::atomic<bool> silenced{false};
  std::atomic<int> calling{0};
  HANDLE callsEnded = nullptr;
  bool abandoned = false;  ///< a reset or close did not return; the device stays with it
  AudioBuffer* prepared[kMaxQueuedBuffers] = {};
  /// Buffers written and not yet played back; the one written while none is comes after a
  /// gap, once any has been played.
  std::atomic<int> inDevice{0};
  std::atomic<bool> dryNext{false};
  // Where the device plays converted copies: the gain and the format, and each prepared
  // buffer's copy, by its place in `prepared`.
  bool converts = false;
  double gain = 1.0;
  SampleFormat format = SampleFormat::Float32;
  unsigned char converted[kMaxQueuedBuffers][kMaxBufferFrames * kBytesPerFrame];
};

namespace {

// One output per process; no heap. Never destroyed: a helper left in a reset or close that
// did not return, and the system's callback thread, may use it while the process exits.
NeverDestroyed<AudioDevice> theDevice;
bool deviceInUse = false;

// Completes each queued buffer when it would have played, until stopped. A late look catches
// up by at most one buffer, as a device that ran dry would.
void keepTime(AudioDevice* device) {
  ClockedQueue& queue = device->clocked;
  std::unique_lock<std::mutex> lock(queue.mutex);
  Clock::time_point due{};
  while (!queue.stopping) {
    if (queue.head == queue.tail) {
      due = {};
      queue.changed.wait(lock, [&] { return queue.stopping || queue.head != queue.tail; });
      continue;
    }
    AudioBuffer& buffer = *queue.buffers[queue.head % kMaxQueuedBuffers];
    if (due == Clock::time_point{}) due = Clock::now() + playingTime(buffer.bytes, device->rate);
    if (queue.changed.wait_until(lock, due, [&] { return queue.stopping; })) break;
    ++queue.head;
    buffer.flags.fetch_and(~kBufferQueued, std::memory_order_relaxed);
    buffer.flags.fetch_or(kBufferDone, std::memory_order_release);
    if (queue.head == queue.tail) device->dryNext.store(true);
    device->done(device->context);  // under the lock, so that once reset has it, none runs
    const Clock::time_point from =
        std::max(due, Clock::now() - playingTime(buffer.bytes, device->rate));
    due = queue.head == queue.tail
              ? Clock::time_point{}
              : from +
                    playingTime(queue.buffers[queue.head % kMaxQueuedBuffers]->bytes, device->rate);
  }
}

// The system's audio engine mixes every stream in periods of its own (10 ms by default),
// which the wave-out device feeds from the buffers written to it: frames of a buffer the
// engine has not yet taken when it mixes are heard as a gap. So the buffers written must
// hold at least two of its periods between them. The engine's period, from the default
// output endpoint; 0 where it cannot be learnt.
unsigned mixingPeriodFrames(unsigned rate) {
  IMMDeviceEnumerator* enumerator = nullptr;
  if (CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                       reinterpret_cast<void**>(&enumerator)) != S_OK) {
    return 0;
  }
  REFERENCE_TIME period = 0;  // in units of 100 ns
  IMMDevice* endpoint = nullptr;
  IAudioClient* client = nullptr;
  if (enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &endpoint) == S_OK &&
      endpoint->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr,
                         reinterpret_cast<void**>(&client)) == S_OK) {
    client->GetDevicePeriod(&period, nullptr);
  }
  if (client != nullptr) client->Release();
  if (endpoint != nullptr) endpoint->Release();
  enumerator->Release();
  return static_cast<unsigned>(period * rate / 10'000'000);
}

bool clocked(const AudioDevice* device) {
  return device->keepsTime;
}

void CALLBACK waveOutCallback(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR) {
  if (message != WOM_DONE) return;
  AudioDevice& device = *reinterpret_cast<AudioDevice*>(instance);
  AudioBuffer& buffer = *reinterpret_cast<AudioBuffer*>(reinterpret_cast<WAVEHDR*>(param1)->dwUser);
  buffer.flags.fetch_and(~kBufferQueued, std::memory_order_relaxed);
  buffer.flags.fetch_or(kBufferDone, std::memory_order_release);
  if (device.inDevice.fetch_sub(1) == 1) device.dryNext.store(true);
  device.calling.fetch_add(1);
  if (!device.silenced.load()) device.done(device.context);
  if (device.calling.fetch_sub(1) == 1 && device.silenced.load()) SetEvent(device.callsEnded);
}

// Where buffer `slot` of `prepared` is played from: the engine's memory, or its copy.
void pointAtSamples(AudioDevice* device, AudioBuffer& buffer, unsigned slot) {
  WAVEHDR* header = headerOf(buffer);
  if (!device->converts) {
    header->lpData = reinterpret_cast<LPSTR>(buffer.data);
    header->dwBufferLength = buffer.bytes;
    return;
  }
  header->lpData = reinterpret_cast<LPSTR>(device->converted[slot]);
  header->dwBufferLength =
      buffer.bytes / kBytesPerFrame * kChannelCount * bytesPerSample(device->format);
}

// The place of `buffer` in `prepared` (null: of a free place); kMaxQueuedBuffers where it has none.
unsigned slotOf(const AudioDevice* device, const AudioBuffer* buffer) {
  unsigned slot = 0;
  while (slot < kMaxQueuedBuffers && device->prepared[slot] != buffer)
    ++slot;
  return slot;
}

}  // namespace

AudioDevice* audioOpen(const StreamSettings& settings, AudioDoneCallback done, void* context) {
  if (deviceInUse) return nullptr;
  const bool named = settings.device != nullptr && *settings.device != '\0';
  UINT id = WAVE_MAPPER;
  std::string why;
  const bool found = findWaveOut(settings.device, id, why);

  AudioDevice& device = *theDevice;
  device.rate = settings.sampleRate;
  device.periodFrames = settings.periodFrames;
  device.done = done;
  device.context = context;
  device.silenced.store(false);
  if (device.callsEnded == nullptr) device.callsEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(device.callsEnded);
  device.abandoned = false;
  device.inDevice.store(0);
  device.dryNext.store(false);
  device.keepsTime = false;
  for (AudioBuffer*& slot : device.prepared) {
    slot = nullptr;
  }
  device.gain = settings.gain;
  device.format = SampleFormat::Float32;
  // The device may call back before waveOutOpen returns, so the record is filled first.
  HWAVEOUT handle = nullptr;
  MMRESULT opened = MMSYSERR_NODRIVER;
  for (const SampleFormat format : kWaveOutFormats) {
    if (!found || (format != SampleFormat::Float32 && !named)) break;
    const WAVEFORMATEX wave = waveFormat(format, settings.sampleRate);
    device.format = format;
    opened = waveOutOpen(&handle, id, &wave, reinterpret_cast<DWORD_PTR>(waveOutCallback),
                         reinterpret_cast<DWORD_PTR>(&device), CALLBACK_FUNCTION);
    if (opened != WAVERR_BADFORMAT) break;
  }
  device.converts = device.gain != 1.0 || device.format != SampleFormat::Float32;
  if (opened != MMSYSERR_NOERROR) {
    if (settings.withoutDevice == WithoutDevice::Fail) return nullptr;
    ClockedQueue& queue = device.clocked;
    queue.stopping = false;
    queue.head = queue.tail = 0;
    try {
      queue.thread = std::thread(keepTime, &device);
    } catch (const std::system_error&) {
      return nullptr;
    }
    device.keepsTime = true;
  }
  device.handle = handle;
  if (handle != nullptr) {
    const unsigned needed = 2 * mixingPeriodFrames(settings.sampleRate);
    const unsigned periods = std::max(settings.periods, 1u);
    device.periodFrames = std::max(settings.periodFrames, (needed + periods - 1) / periods);
  }
  deviceInUse = true;
  return &device;
}

unsigned audioPeriodFrames(AudioDevice* device) {
  return device->periodFrames;
}

void audioPrepare(AudioDevice* device, AudioBuffer& buffer) {
  if (device == nullptr) return;
  if (buffer.flags.load() & kBufferPrepared) {
    buffer.flags.fetch_and(~kBufferDone);
    return;
  }
  if (clocked(device)) {
    buffer.flags.fetch_and(~kBufferDone);
    buffer.flags.fetch_or(kBufferPrepared);
    return;
  }
  unsigned slot = slotOf(device, &buffer);
  if (slot == kMaxQueuedBuffers) slot = slotOf(device, nullptr);
  if (slot == kMaxQueuedBuffers) return;
  if (device->converts && buffer.bytes > kMaxBufferFrames * kBytesPerFrame) return;
  WAVEHDR* header = new (buffer.deviceRecord) WAVEHDR{};
  pointAtSamples(device, buffer, slot);
  header->dwUser = reinterpret_cast<DWORD_PTR>(&buffer);
  if (waveOutPrepareHeader(device->handle, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) return;
  buffer.flags.fetch_and(~kBufferDone);
  buffer.flags.fetch_or(kBufferPrepared);
  device->prepared[slot] = &buffer;
}

bool audioWrite(AudioDevice* device, AudioBuffer& buffer) {
  if (device == nullptr) return false;
  const uint32_t flags = buffer.flags.load(std::memory_order_acquire);
  if (!(flags & kBufferPrepared) || (flags & kBufferQueued)) return false;
  if (clocked(device)) {
    ClockedQueue& queue = device->clocked;
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      if (queue.tail - queue.head == kMaxQueuedBuffers) return false;
      buffer.flags.fetch_and(~kBufferDone);
      buffer.flags.fetch_or(kBufferQueued);
      if (device->dryNext.exchange(false)) buffer.flags.fetch_or(kBufferAfterGap);
      queue.buffers[queue.tail++ % kMaxQueuedBuffers] = &buffer;
    }
    queue.changed.notify_all();
    return true;
  }
  if (device->converts) {
    const unsigned slot = slotOf(device, &buffer);
    convertSamples(buffer.data, buffer.bytes / sizeof(float), device->gain, device->format,
                   device->converted[slot]);
  }
  // Marked queued and counted first: the completion may come before waveOutWrite returns.
  buffer.flags.fetch_and(~kBufferDone);
  buffer.flags.fetch_or(kBufferQueued);
  if (device->inDevice.fetch_add(1) == 0 && device->dryNext.exchange(false)) {
    buffer.flags.fetch_or(kBufferAfterGap);
  }
  if (waveOutWrite(device->handle, headerOf(buffer), sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
    device->inDevice.fetch_sub(1);
    buffer.flags.fetch_and(~(kBufferQueued | kBufferAfterGap));
    buffer.flags.fetch_or(flags & kBufferDone);
    return false;
  }
  return true;
}

void audioUnprepare(AudioDevice* device, AudioBuffer& buffer) {
  if (device == nullptr || device->abandoned) return;
  const uint32_t flags = buffer.flags.load(std::memory_order_acquire);
  if (!(flags & kBufferPrepared) || (flags & kBufferQueued)) return;  // still playing
  if (clocked(device)) {
    buffer.flags.fetch_and(~kBufferPrepared);
    return;
  }
  if (waveOutUnprepareHeader(device->handle, headerOf(buffer), sizeof(WAVEHDR)) !=
      MMSYSERR_NOERROR) {
    return;
  }
  buffer.flags.fetch_and(~kBufferPrepared);
  for (AudioBuffer*& slot : device->prepared) {
    if (slot == &buffer) slot = nullptr;
  }
}

// Stops the clock; what it still held is dropped, done, without a completion call.
void stopClock(ClockedQueue& queue) {
  if (!queue.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.stopping = true;
  }
  queue.changed.notify_all();
  queue.thread.join();
  for (; queue.head != queue.tail; ++queue.head) {
    AudioBuffer* buffer = queue.buffers[queue.head % kMaxQueuedBuffers];
    buffer->flags.fetch_and(~kBufferQueued);
    buffer->flags.fetch_or(kBufferDone);
  }
}

void audioReset(AudioDevice* device) {
  if (device == nullptr || device->abandoned) return;
  if (clocked(device)) {
    stopClock(device->clocked);
    return;
  }
  // The system returns every queued buffer through the callback during the reset; those
  // are dropped, not completed, so the engine hears of none of them. A call under way ends
  // first.
  device->silenced.store(true);
  while (device->calling.load() > 0)
    WaitForSingleObject(device->callsEnded, 1);
  if (!returnsInTime(waveOutReset, device->handle)) {
    device->abandoned = true;
    return;
  }
  for (AudioBuffer* buffer : device->prepared) {
    if (buffer == nullptr) continue;
    buffer->flags.fetch_and(~kBufferQueued);
    buffer->flags.fetch_or(kBufferDone);
  }
}

void audioClose(AudioDevice* device) {
  if (device == nullptr) return;
  audioReset(device);
  if (device->abandoned) return;
  if (clocked(device)) {
    deviceInUse = false;
    return;
  }
  // A device closes only with every header given back.
  for (AudioBuffer* buffer : device->prepared) {
    if (buffer != nullptr) audioUnprepare(device, *buffer);
  }
  if (!returnsInTime(waveOutClose, device->handle)) {
    device->abandoned = true;
    return;
  }
  device->handle = nullptr;
  deviceInUse = false;
}

}  // namespace consynth::platform
