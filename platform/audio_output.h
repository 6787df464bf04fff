#pragma once

#include <atomic>
#include <cstdint>

// The audio device as the engine sees it: a wave-out style stream of fixed-format buffers.
// Buffers play in the order they are written; each one that has been played gets the done
// flag and exactly one call of the completion callback, in the device's own thread.
// Each operating system provides these functions in its own file under platform/, chosen
// by the build.

namespace consynth::platform {

/// The one stream format: 32-bit float, two channels interleaved left then right, at the
/// rate audioOpen is given.
inline constexpr unsigned kChannelCount = 2;
inline constexpr unsigned kBytesPerFrame = 8;

/// The most buffers a device holds at once, and the most frames in one.
inline constexpr unsigned kMaxQueuedBuffers = 8;
inline constexpr unsigned kMaxBufferFrames = 512;

/// Buffer flags. They have the values of the wave header flags they stand for.
inline constexpr uint32_t kBufferDone = 0x01;      ///< the device has played the buffer
inline constexpr uint32_t kBufferPrepared = 0x02;  ///< prepared and not yet unprepared
inline constexpr uint32_t kBufferQueued = 0x10;    ///< written and not yet played
/// The device had run dry, played all it had, before it began this buffer: a gap was
/// heard. Set where the device can tell; the owner clears it.
inline constexpr uint32_t kBufferAfterGap = 0x1000;

/// One buffer handed to the device: where its frames are and how many bytes they take.
struct AudioBuffer {
  float* data = nullptr;
  uint32_t bytes = 0;
  std::atomic<uint32_t> flags{0};  ///< written by the device thread, read by the engine
  /// Room for the device's own record of this buffer (a system wave header, where the
  /// system has one), so no implementation needs to allocate one. Unused on Linux.
  alignas(8) unsigned char deviceRecord[64] = {};
};

/// An open device; each implementation defines it.
struct AudioDevice;

/// Called once for every buffer the device has played, in the device's thread. It must
/// return at once.
using AudioDoneCallback = void (*)(void* context);

/// What audioOpen does where no device answers.
enum class WithoutDevice {
  Fail,      ///< returns null
  KeepTime,  ///< returns a device that plays nowhere but completes its buffers in real time
};

/// How the stream is to run.
struct StreamSettings {
  unsigned sampleRate = 0;  ///< frames a second
  /// The frames of each buffer that will be written, and how many buffers there are: the
  /// device asks the system for periods of that length and room for all of them.
  unsigned periodFrames = kMaxBufferFrames;
  unsigned periods = 6;
  WithoutDevice withoutDevice = WithoutDevice::Fail;
  /// The output to open, null or "" for the default one: on Linux an ALSA PCM name, on
  /// Windows a wave-out device's number or a part of its name (see chooseDevice). The
  /// default output takes the stream format; a named one may take integers instead, which
  /// the samples are converted to (see convertSamples).
  const char* device = nullptr;
  /// What every sample is multiplied by where it leaves for the device; 1 leaves the sound as
  /// the engine rendered it, bit for bit.
  double gain = 1.0;
};

/// Opens the output device that `settings` names, or the default one. Where no device can be
/// opened, or none answers within about a second, returns null, quietly; or, with
/// WithoutDevice::KeepTime, a device that completes each buffer written to it when it would have
/// played, by the clock, so the stream runs as if heard (and, where the system allows, plays on the
/// device should one answer later). A device that is lost later (a sound server killed or frozen)
/// may likewise go on completing buffers in real time while it is opened again.
AudioDevice* audioOpen(const StreamSettings& settings, AudioDoneCallback done, void* context);

/// The shortest period the system took for the stream, at least the one asked for: the
/// buffers written should be no shorter. The period asked for where it is not known.
unsigned audioPeriodFrames(AudioDevice* device);

/// Makes a buffer ready to be written (clears its done flag).
void audioPrepare(AudioDevice* device, AudioBuffer& buffer);

/// Queues a buffer behind those already written. Fails, queueing nothing, when `device` is
/// null or the buffer is not prepared; a buffer the device still holds is not queued again.
bool audioWrite(AudioDevice* device, AudioBuffer& buffer);

/// Gives a buffer back to its owner; a buffer still queued stays prepared.
void audioUnprepare(AudioDevice* device, AudioBuffer& buffer);

/// Stops playback at once; what is still queued is dropped without a completion call.
/// Returns within a fraction of a second even if the device no longer answers.
void audioReset(AudioDevice* device);

/// Closes the device (after a reset, if none came before). No completion call arrives
/// after this returns.
void audioClose(AudioDevice* device);

}  // namespace consynth::platform
