#include "engine/take_tap.h"

#include <algorithm>
#include <iterator>

namespace consynth {

static_assert(kFramesPerBuffer <= TakeBlock::kMaxFrames, "a take block holds a whole buffer");
static_assert(TakeBlock::kMaxFrames % kMinFramesPerBuffer == 0, "buffers fill blocks whole");

void TakeTap::start(TakeQueue* queue) {
  queue_ = queue;
  block_ = nullptr;
  stoppedShort_ = false;
  frame_ = 0;
  bypass_ = false;  // the engine starts with the reverb in, as a replay does
  std::fill(std::begin(writtenFrames_), std::end(writtenFrames_), kNotWritten);
}

void TakeTap::beginBuffer() {
  if (queue_ == nullptr || stoppedShort_ || block_ != nullptr) return;
  block_ = queue_->claim();
  if (block_ == nullptr) {
    stopShort(TakeShortfall::QueueFull);
    return;
  }
  block_->firstFrame = frame_;
  block_->frames = 0;
  block_->gapCount = 0;
}

void TakeTap::noteOn(unsigned offset, const NoteOn& noteOn) {
  if (block_ != nullptr) add(TakeEvent::Kind::NoteOn, offset, noteOn);
}

void TakeTap::keys(unsigned offset, const FrameKeys& keys) {
  if (block_ == nullptr) return;
  if (keys.upPressed) add(TakeEvent::Kind::Up, offset);
  if (keys.downPressed) add(TakeEvent::Kind::Down, offset);
  if (keys.bypass != bypass_) {
    add(keys.bypass ? TakeEvent::Kind::BypassOn : TakeEvent::Kind::BypassOff, offset);
    bypass_ = keys.bypass;
  }
}

void TakeTap::written(unsigned index) {
  if (index < kBufferCount) writtenFrames_[index] = frame_;
}

void TakeTap::gapBefore(unsigned index) {
  if (block_ == nullptr || index >= kBufferCount) return;
  if (writtenFrames_[index] == kNotWritten || block_->gapCount == TakeBlock::kMaxGaps) return;
  block_->gaps[block_->gapCount++] = writtenFrames_[index];
}

void TakeTap::endBuffer(const float* interleaved, unsigned frames) {
  if (block_ != nullptr) {
    std::copy(interleaved, interleaved + 2 * frames, block_->samples + 2 * block_->frames);
    block_->frames += frames;
    if (block_->frames == TakeBlock::kMaxFrames) {
      queue_->publish();
      block_ = nullptr;
    }
  }
  frame_ += frames;
  if (queue_ != nullptr) queue_->rendered.store(frame_, std::memory_order_relaxed);
}

void TakeTap::finish() {
  if (block_ == nullptr) return;
  if (block_->frames > 0) queue_->publish();
  block_ = nullptr;
}

void TakeTap::add(TakeEvent::Kind kind, unsigned offset, const NoteOn& noteOn) {
  if (block_ == nullptr) return;
  TakeEvent event;
  event.kind = kind;
  event.offset = static_cast<uint16_t>(frame_ - block_->firstFrame + offset);
  event.voice = noteOn.voice;
  event.note = noteOn.note;
  event.patch = noteOn.patch;
  if (!queue_->addEvent(event)) stopShort(TakeShortfall::EventsFull);
}

// The take ends at the start of the block being filled: what follows is not kept.
void TakeTap::stopShort(TakeShortfall why) {
  block_ = nullptr;
  stoppedShort_ = true;
  queue_->shortfall.store(why, std::memory_order_release);
}

}  // namespace consynth
