#include "tests/support/fake_platform.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "engine/synth_engine.h"
#include "platform/audio_output.h"
#include "platform/console.h"
#include "platform/main_thread.h"
#include "platform/memory.h"
#include "platform/midi_input.h"
#include "platform/new_file.h"
#include "platform/threads.h"
#include "synth/sample_rate.h"

namespace consynth::platform {

struct AudioDevice {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<AudioBuffer*> queue;
  bool stopping = false;
  bool dryNext = false;  ///< all played: the next buffer written comes after a gap
  std::thread player;
  AudioDoneCallback done = nullptr;
  void* context = nullptr;
};

}  // namespace consynth::platform

namespace consynth {

// The one thing the tests look at inside the engine: whether its credits are still there
// for a completion call to release.
struct SynthEngineProbe {
  static bool holdsCredits(const SynthEngine& engine) { return engine.credits_.has_value(); }
};

}  // namespace consynth

namespace consynth::fake {

namespace {

using platform::AudioBuffer;
using platform::AudioDevice;

std::mutex stateMutex;  // guards options, record and script below
DeviceOptions options;
DeviceRecord record;
AudioDevice device;

DiskOptions disk;
std::condition_variable diskResumed;

std::vector<std::set<platform::Key>> script;
int escapeQueries = 0;
std::map<platform::Key, int> queries;
std::string consoleText;
MidiRecord midi;
platform::MidiNoteOnCallback midiNoteOn = nullptr;  ///< while MIDI input is open
void* midiContext = nullptr;

// How long a buffer of `bytes` plays at the stream's rate.
std::chrono::steady_clock::duration playingTime(uint32_t bytes) {
  return std::chrono::nanoseconds(uint64_t{bytes} / platform::kBytesPerFrame * 1'000'000'000 /
                                  kSampleRate);
}

void play(AudioDevice* dev) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point due{};  // RealTime: when the oldest buffer has played
  for (;;) {
    AudioBuffer* buffer = nullptr;
    int delayMs;
    {
      std::unique_lock<std::mutex> lock(dev->mutex);
      DeviceOptions now;
      {
        std::lock_guard<std::mutex> state(stateMutex);
        now = options;
      }
      const bool realTime = now.mode == DeviceMode::RealTime;
      if (realTime && due == Clock::time_point{} && !dev->queue.empty()) {
        due = Clock::now() + playingTime(dev->queue.front()->bytes);
      }
      const Clock::time_point wakeAt = realTime && due != Clock::time_point{}
                                           ? due
                                           : Clock::now() + std::chrono::milliseconds(now.periodMs);
      dev->changed.wait_until(lock, wakeAt, [&] { return dev->stopping; });
      if (dev->stopping) return;
      if (realTime && (due == Clock::time_point{} || Clock::now() < due)) continue;
      std::lock_guard<std::mutex> state(stateMutex);
      if (dev->queue.empty() || options.mode == DeviceMode::Stalls ||
          options.allowedCompletions == 0) {
        continue;
      }
      if (options.allowedCompletions > 0) --options.allowedCompletions;
      buffer = dev->queue.front();
      dev->queue.pop_front();
      dev->dryNext = dev->queue.empty();
      delayMs = options.callbackDelayMs;
      if (realTime) {
        due =
            dev->queue.empty() ? Clock::time_point{} : due + playingTime(dev->queue.front()->bytes);
      }
    }
    buffer->flags.fetch_and(~platform::kBufferQueued);
    buffer->flags.fetch_or(platform::kBufferDone);
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    {
      std::lock_guard<std::mutex> state(stateMutex);
      ++record.completions;
      if (!SynthEngineProbe::holdsCredits(*static_cast<SynthEngine*>(dev->context))) {
        ++record.callbacksWithoutCredits;
        continue;
      }
    }
    dev->done(dev->context);
  }
}

}  // namespace

void configureDevice(const DeviceOptions& newOptions) {
  std::lock_guard<std::mutex> state(stateMutex);
  options = newOptions;
  record = {};
}

void allowCompletions(int count) {
  {
    std::lock_guard<std::mutex> state(stateMutex);
    options.allowedCompletions += count;
  }
  device.changed.notify_all();
}

DeviceRecord deviceRecord() {
  std::lock_guard<std::mutex> state(stateMutex);
  return record;
}

void scriptKeyboard(std::vector<std::set<platform::Key>> polls) {
  std::lock_guard<std::mutex> state(stateMutex);
  script = std::move(polls);
  escapeQueries = 0;
  queries.clear();
}

int keyQueries(platform::Key key) {
  std::lock_guard<std::mutex> state(stateMutex);
  return queries[key];
}

std::string takeConsoleText() {
  std::lock_guard<std::mutex> state(stateMutex);
  return std::exchange(consoleText, std::string());
}

void configureDisk(const DiskOptions& options) {
  std::lock_guard<std::mutex> state(stateMutex);
  disk = options;
}

void resumeDisk() {
  {
    std::lock_guard<std::mutex> state(stateMutex);
    disk.stalled = false;
  }
  diskResumed.notify_all();
}

namespace {

// Waits while the disk is stalled; then how many of `count` bytes fit on it, taking them.
size_t diskTakes(size_t count) {
  std::unique_lock<std::mutex> state(stateMutex);
  diskResumed.wait(state, [] { return !disk.stalled; });
  if (disk.room < 0) return count;
  const size_t fits = std::min<size_t>(count, static_cast<size_t>(disk.room));
  disk.room -= static_cast<long long>(fits);
  return fits;
}

void diskFrees(uint64_t bytes) {
  std::lock_guard<std::mutex> state(stateMutex);
  if (disk.room >= 0) disk.room += static_cast<long long>(bytes);
}

}  // namespace

MidiRecord takeMidiRecord() {
  std::lock_guard<std::mutex> state(stateMutex);
  return std::exchange(midi, MidiRecord());
}

bool sendMidiNoteOn(int channel, int note) {
  std::lock_guard<std::mutex> state(stateMutex);
  if (midiNoteOn == nullptr) return false;
  midiNoteOn(midiContext, channel, note, std::chrono::steady_clock::now());
  return true;
}

}  // namespace consynth::fake

namespace consynth::platform {

using namespace consynth::fake;

unsigned audioPeriodFrames(AudioDevice*) {
  std::lock_guard<std::mutex> state(stateMutex);
  return options.periodFrames;
}

AudioDevice* audioOpen(const StreamSettings& settings, AudioDoneCallback done, void* context) {
  {
    std::lock_guard<std::mutex> state(stateMutex);
    if (options.mode == DeviceMode::OpenFails && settings.withoutDevice == WithoutDevice::Fail) {
      return nullptr;
    }
    ++record.opens;
  }
  device.queue.clear();
  device.stopping = false;
  device.dryNext = false;
  device.done = done;
  device.context = context;
  device.player = std::thread(play, &device);
  return &device;
}

void audioPrepare(AudioDevice*, AudioBuffer& buffer) {
  buffer.flags.fetch_and(~kBufferDone);
  buffer.flags.fetch_or(kBufferPrepared);
}

bool audioWrite(AudioDevice* dev, AudioBuffer& buffer) {
  const bool refused = dev == nullptr || (buffer.flags.load() & kBufferQueued) ||
                       !(buffer.flags.load() & kBufferPrepared);
  // Like the real device, take the samples when the buffer is written: the engine may
  // refill its memory while the buffer waits.
  bool sounding = false;
  for (uint32_t i = 0; !refused && i < buffer.bytes / sizeof(float); ++i) {
    sounding |= buffer.data[i] != 0.0f;
  }
  {
    std::lock_guard<std::mutex> state(stateMutex);
    ++(refused ? record.writesRefused : record.writesAccepted);
    record.soundingBuffers += sounding;
  }
  if (refused) return false;
  buffer.flags.fetch_and(~kBufferDone);
  buffer.flags.fetch_or(kBufferQueued);
  {
    std::lock_guard<std::mutex> lock(dev->mutex);
    dev->queue.push_back(&buffer);
    if (std::exchange(dev->dryNext, false)) buffer.flags.fetch_or(kBufferAfterGap);
  }
  dev->changed.notify_all();
  return true;
}

void audioUnprepare(AudioDevice*, AudioBuffer& buffer) {
  if (!(buffer.flags.load() & kBufferQueued)) buffer.flags.fetch_and(~kBufferPrepared);
}

void audioReset(AudioDevice* dev) {
  if (!dev->player.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(dev->mutex);
    dev->stopping = true;
  }
  dev->changed.notify_all();
  dev->player.join();
  for (AudioBuffer* buffer : dev->queue) {
    buffer->flags.fetch_and(~kBufferQueued);
    buffer->flags.fetch_or(kBufferDone);
  }
  dev->queue.clear();
}

void audioClose(AudioDevice* dev) {
  audioReset(dev);
  std::lock_guard<std::mutex> state(stateMutex);
  ++record.closes;
}

void keyboardOpen(KeyInput) {}
void keyboardClose() {}

void waitForKeyEvent(std::chrono::milliseconds timeout) {
  std::this_thread::sleep_for(timeout);
}

void keepInMemory(const void*, size_t) {}

uint16_t keyState(Key key) {
  std::lock_guard<std::mutex> state(stateMutex);
  ++queries[key];
  size_t entry;
  if (key == Key::Escape) {
    entry = static_cast<size_t>(escapeQueries++);
  } else {
    entry = static_cast<size_t>(escapeQueries > 0 ? escapeQueries - 1 : 0);
  }
  if (entry >= script.size()) return key == Key::Escape ? kKeyDownNow : 0;
  return script[entry].count(key) ? kKeyDownNow : 0;
}

void consolePrint(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> state(stateMutex);
  consoleText += text;
}

void midiOpen(MidiNoteOnCallback noteOn, void* context) {
  std::lock_guard<std::mutex> state(stateMutex);
  ++midi.opens;
  midiNoteOn = noteOn;
  midiContext = context;
}

void midiClose() {
  std::lock_guard<std::mutex> state(stateMutex);
  ++midi.closes;
  midiNoteOn = nullptr;
}

void consoleOpen() {}
void consoleUseUtf8() {}
void consoleClose() {}

// Real files, through the C library, on the disk the test steers.
namespace {
std::FILE* fileOf(intptr_t handle) {
  return reinterpret_cast<std::FILE*>(handle);
}
}  // namespace

bool NewFile::fail() {
  error_ = "No space left on device";
  return false;
}

bool NewFile::create(const std::string& path) {
  close();
  if (std::filesystem::exists(path)) {
    error_ = "File exists";
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error_ = "No such file or directory";
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  size_ = 0;
  path_ = path;
  return true;
}

bool NewFile::append(const void* bytes, size_t count) {
  return writeAt(size_, bytes, count);
}

bool NewFile::writeAt(uint64_t offset, const void* bytes, size_t count) {
  // Only what goes past the end takes room on the disk.
  const size_t within = offset >= size_ ? 0 : std::min<size_t>(count, size_ - offset);
  const size_t fits = within + diskTakes(count - within);
  std::fseek(fileOf(handle_), static_cast<long>(offset), SEEK_SET);
  const size_t written = std::fwrite(bytes, 1, fits, fileOf(handle_));
  std::fflush(fileOf(handle_));
  size_ = std::max<uint64_t>(size_, offset + written);
  return written == count || fail();
}

bool NewFile::truncate(uint64_t size) {
  std::fflush(fileOf(handle_));
  std::error_code ec;
  std::filesystem::resize_file(path_, size, ec);
  if (ec) return fail();
  if (size < size_) diskFrees(size_ - size);
  size_ = size;
  return true;
}

bool NewFile::sync() {
  diskTakes(0);
  return std::fflush(fileOf(handle_)) == 0 || fail();
}

bool NewFile::close() {
  if (handle_ == -1) return true;
  std::FILE* file = fileOf(handle_);
  handle_ = -1;
  return std::fclose(file) == 0 || fail();
}

void NewFile::remove() {
  close();
  if (!path_.empty()) std::remove(path_.c_str());
  path_.clear();
}

void prepareMainThread() {}
void nameThisThread(const char*) {}
void prepareAudioThread(const char*) {}
void finishAudioThread() {}

}  // namespace consynth::platform
