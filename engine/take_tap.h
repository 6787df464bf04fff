#pragma once

#include "engine/note_on_queue.h"
#include "engine/ring.h"
#include "engine/take_queue.h"
#include "instrument/frame_mixer.h"

namespace consynth {

/// The render thread's side of a take: it notes each change to the engine at the frame
/// where it takes effect and hands what it renders, with those changes, to the take's
/// queue, in blocks of up to 512 frames (several buffers each when the period is short, so
/// the queue holds the same seconds of sound whatever the period). It never waits,
/// allocates or calls the system: when the queue is full, the take ends there and the
/// queue says why.
class TakeTap {
 public:
  /// Starts a take at frame 0 into `queue` (empty), or none if it is null. Before the
  /// render thread starts.
  void start(TakeQueue* queue);

  bool recording() const { return queue_ != nullptr; }

  // One buffer: beginBuffer, then the changes as they take effect (`offset` frames into
  // the buffer, never going back), then endBuffer with the rendered frames.
  void beginBuffer();
  void noteOn(unsigned offset, const NoteOn& noteOn);
  /// The reverb keys of the run of frames starting at `offset`: Up and Down each step once,
  /// F5 counts when it changes.
  void keys(unsigned offset, const FrameKeys& keys);
  /// This buffer went to the device as ring buffer `index`.
  void written(unsigned index);
  /// The device ran dry before it played ring buffer `index`, as last written.
  void gapBefore(unsigned index);
  /// `frames` at most kFramesPerBuffer.
  void endBuffer(const float* interleaved, unsigned frames);
  /// The render thread has rendered its last buffer: hands over what is left.
  void finish();

 private:
  void add(TakeEvent::Kind kind, unsigned offset, const NoteOn& noteOn = {});
  void stopShort(TakeShortfall why);

  TakeQueue* queue_ = nullptr;
  TakeBlock* block_ = nullptr;  ///< the block being filled; null when none or not kept
  bool stoppedShort_ = false;
  uint64_t frame_ = 0;   ///< frames rendered since the take started, to this buffer's start
  bool bypass_ = false;  ///< F5 as the take has it so far
  static constexpr uint64_t kNotWritten = ~uint64_t{0};
  /// Where in the take each ring buffer last written to the device starts.
  uint64_t writtenFrames_[kBufferCount];
};

}  // namespace consynth
