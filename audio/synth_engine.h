#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "audio/frame_mixer.h"
#include "audio/midi_voices.h"
#include "audio/note_on_queue.h"
#include "audio/render_panel.h"
#include "audio/take_tap.h"
#include "platform/audio_output.h"
#include "platform/credit_semaphore.h"

namespace consynth {

inline constexpr unsigned kBufferCount = 6;
inline constexpr unsigned kFramesPerBuffer = 512;
inline constexpr unsigned kBufferCapacityFrames = 44100;  ///< one second, of which 512 are used
inline constexpr int kInitialCredits = 5;  ///< one less than the ring: see the render thread
inline constexpr int kMaxCredits = 6;
/// Note-ons and the reverb keys are taken every 64 frames (1.45 ms), so that the mixer can
/// render each run as one block. Each press of Up or Down still steps its control once, and
/// F5 bypasses for as long as it is held, to within a run.
inline constexpr unsigned kControlFrames = 64;
static_assert(kFramesPerBuffer <= TakeBlock::kMaxFrames, "a take block holds a whole buffer");
static_assert(kBufferCount <= TakeBlock::kMaxGaps, "a take block notes a gap before each buffer");

/// The synthesizer: voices and reverbs (in the mixer), the ring of six device buffers, the
/// credits that pace the render thread, and the device. One static instance lives for the
/// whole run.
struct SynthEngine {
  FrameMixer mixer;  ///< the ten voices are mixer.voices
  float buffers[kBufferCount][kBufferCapacityFrames * platform::kChannelCount];
  platform::AudioBuffer headers[kBufferCount];
  std::optional<platform::CreditSemaphore> credits;
  std::thread renderThread;
  uint32_t ringIndex = 0;  ///< the buffer the render thread fills next
  /// Non-null while the stream runs; clearing it tells the render thread to stop.
  std::atomic<platform::AudioDevice*> device{nullptr};
  std::mutex lock;  ///< held by the render thread while it fills one buffer
  NoteOnQueue noteOns;
  /// Note-ons lost to a full queue, which only a stalled render thread lets happen.
  std::atomic<uint32_t> droppedNoteOns{0};
  /// MIDI note-ons, from the MIDI input's thread: a queue of their own, since each queue
  /// has one producer. Their voice is chosen when the render thread applies them.
  NoteOnQueue midiNoteOns;
  std::atomic<uint32_t> droppedMidiNoteOns{0};
  MidiVoices midiVoices;  ///< the render thread's
  /// Where the render thread reads the reverb keys and shows its lines.
  RenderPanel panel = consolePanel();
  std::atomic<bool> renderThreadDone{false};
  /// Where the next open records a take, or null for none.
  TakeQueue* takeQueue = nullptr;
  TakeTap take;  ///< the render thread's

  /// Opens the default device, queues six silent buffers and starts the render thread.
  /// Without a device it returns quietly and the engine stays closed; unless it records a
  /// take, which the render thread then renders in real time, paced by the clock.
  void open();

  /// Stops the render thread, lets the device finish the queued buffers and releases it.
  /// Returns within about a second even if the device has stopped returning buffers.
  void close();

  /// Starts `voice` at `note`. While the render thread runs, the note-on takes effect
  /// at the start of its next run of frames (within 1.5 ms); otherwise at once.
  void noteOn(int voice, int note, uint32_t patch);

  /// Plays MIDI note `midiNote` on one of voices 4 to 9 with kKeyPatch, at the start of the
  /// render thread's next run of frames. Called from the MIDI input's thread, one call at a
  /// time; never waits. While no render thread runs, the note-on waits in the queue, or is
  /// dropped once it is full (each open starts it empty).
  void midiNoteOn(int midiNote);
};

/// The render thread: fills, submits and paces the ring until the device handle is cleared.
void renderThreadMain(SynthEngine* engine);

}  // namespace consynth
