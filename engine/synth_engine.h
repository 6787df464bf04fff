#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/midi_timeline.h"
#include "engine/midi_voices.h"
#include "engine/note_on_queue.h"
#include "engine/render_panel.h"
#include "engine/ring.h"
#include "engine/take_tap.h"
#include "instrument/frame_mixer.h"
#include "platform/audio_output.h"
#include "platform/credit_semaphore.h"
#include "synth/sample_rate.h"

namespace consynth {

/// Each buffer has room for one second, of which one period is used.
inline constexpr unsigned kBufferCapacityFrames = kSampleRate;

/// Where the engine's sound goes.
struct OutputChoice {
  std::string device;  ///< the output to open (StreamSettings::device); "": the default
  double gain = 1.0;   ///< what each sample is multiplied by as it leaves for the device
  /// Without the device, run as if it played, paced by the clock, and open it again now and
  /// then, as a take does anyway; else stay closed and silent.
  bool keepTrying = false;
};

/// The real-time engine: the instrument (voices and reverbs) rendered by a thread of its own
/// into a ring of device buffers (six of 512 frames unless asked otherwise), paced by the
/// credits the device gives back for each buffer it has played. Note-ons reach the render
/// thread through wait-free queues, so no thread ever waits for another; a take taps what it
/// renders. One instance lives for the whole run, in static storage (it holds several
/// megabytes).
class SynthEngine {
 public:
  SynthEngine() = default;
  SynthEngine(const SynthEngine&) = delete;
  SynthEngine& operator=(const SynthEngine&) = delete;

  /// Where the render thread reads the reverb keys and shows its lines: the keyboard and
  /// the console unless set. Only while closed.
  void setPanel(const RenderPanel& panel) { panel_ = panel; }

  /// Records a take into `queue` (empty, or null for none) from the next open on. Only
  /// while closed.
  void recordInto(TakeQueue* queue) { takeQueue_ = queue; }

  /// Plays to `output` from the next open on; the default device, as rendered, unless set.
  /// Only while closed.
  void setOutput(const OutputChoice& output) { output_ = output; }

  /// The ring's shape from the next open on (valid()); six buffers of 512 frames unless
  /// set. Only while closed.
  void setRing(const RingShape& shape) { asked_ = shape; }

  /// The ring as opened: the shape asked for, with a longer period where the device took
  /// no shorter one.
  const RingShape& ring() const { return ring_; }

  /// Opens the device, queues the ring's buffers, silent, and starts the render thread.
  /// Without a device it returns quietly and the engine stays closed; unless it records a
  /// take or keeps trying (OutputChoice), when the render thread renders in real time, paced
  /// by the clock.
  void open();

  /// Stops the render thread, lets the device finish the queued buffers and releases it.
  /// Returns within about a second even if the device has stopped returning buffers.
  void close();

  /// Starts `voice` at `note`; the control loop's, one thread. While the render thread
  /// runs, the note-on takes effect at the start of its next run of 64 frames: at once when
  /// the thread is rendering, else when the next credit lets it render the next buffer, up
  /// to one buffer later. Otherwise it takes effect at once.
  void noteOn(int voice, int note, uint32_t patch);

  /// Plays MIDI note `midiNote` on one of voices 4 to 9 with kKeyPatch, from the frame that
  /// plays the moment it `arrived` plus a fixed delay (see MidiTimeline). Called from the
  /// MIDI input's thread, one call at a time; never waits. While no render thread runs, the
  /// note-on waits in the queue, or is dropped once it is full (each open starts it empty).
  void midiNoteOn(int midiNote, MidiTimeline::Clock::time_point arrived);

  // What the engine has come to, for the tests and the program's last word: read while
  // closed (the render thread owns the instrument while it runs).

  /// The voices, the reverb controls and the reverbs.
  const FrameMixer& instrument() const { return mixer_; }
  /// Whether the render thread runs.
  bool running() const { return rendering_.load(std::memory_order_acquire); }
  /// Note-ons from the keys and from MIDI lost to a full queue, which only a stalled render
  /// thread lets happen.
  uint32_t droppedNoteOns() const { return droppedNoteOns_.load(std::memory_order_relaxed); }
  uint32_t droppedMidiNoteOns() const {
    return droppedMidiNoteOns_.load(std::memory_order_relaxed);
  }

 private:
  friend struct SynthEngineProbe;  // the tests' view of the credits

  static void onBufferDone(void* context);
  bool allBuffersDone() const;
  void residentInMemory();

  // The render thread (render_thread.cpp).
  void renderLoop();
  void renderBuffer(float* data, unsigned frames);
  void applyNoteOns(unsigned offset);
  unsigned nextMidiNoteOn(unsigned from, unsigned end);
  void applyMidiNoteOns(unsigned offset);
  void noteGaps();

  FrameMixer mixer_;
  RingShape asked_;
  RingShape ring_;
  float buffers_[kBufferCount][kBufferCapacityFrames * platform::kChannelCount];
  platform::AudioBuffer headers_[kBufferCount];
  std::optional<platform::CreditSemaphore> credits_;
  std::thread renderThread_;
  uint32_t ringIndex_ = 0;       ///< the buffer the render thread fills next
  uint64_t renderedFrames_ = 0;  ///< since open; the render thread's
  uint64_t renderedBuffers_ = 0;
  /// Non-null while the stream runs; clearing it tells the render thread to stop.
  std::atomic<platform::AudioDevice*> device_{nullptr};
  std::mutex lock_;  ///< held by the render thread while it fills one buffer
  NoteOnQueue noteOns_;
  std::atomic<uint32_t> droppedNoteOns_{0};
  /// MIDI note-ons, from the MIDI input's thread: a queue of their own, since each queue
  /// has one producer. Their voice is chosen when the render thread applies them.
  NoteOnQueue midiNoteOns_;
  std::atomic<uint32_t> droppedMidiNoteOns_{0};
  // The render thread's: where MIDI note-ons fall, the voices they take, and the next one,
  // taken from the queue with the frame it starts at.
  MidiTimeline midiTimeline_;
  MidiVoices midiVoices_;
  NoteOn nextMidi_;
  uint64_t nextMidiFrame_ = 0;
  bool haveNextMidi_ = false;
  RenderPanel panel_ = consolePanel();
  OutputChoice output_;
  /// From before the render thread starts until it has been joined: note-ons go through
  /// the queues, never straight into a voice it may be rendering.
  std::atomic<bool> rendering_{false};
  std::atomic<bool> renderThreadDone_{false};
  TakeQueue* takeQueue_ = nullptr;
  TakeTap take_;  ///< the render thread's
};

}  // namespace consynth
