#pragma once

#include <atomic>
#include <cstdint>

namespace consynth {

/// One change to the engine in a take, at a frame of its block.
struct TakeEvent {
  enum class Kind : uint8_t { NoteOn, Up, Down, BypassOn, BypassOff };

  Kind kind = Kind::NoteOn;
  uint16_t offset = 0;  ///< frames after the block's first
  int32_t voice = 0;    ///< NoteOn only
  int32_t note = 0;     ///< NoteOn only
  uint32_t patch = 0;   ///< NoteOn only
};

/// What the render thread made of one buffer: its frames, and the changes to the engine that
/// took effect in it, in the order they did.
struct TakeBlock {
  static constexpr uint32_t kMaxFrames = 512;
  /// Far more than a buffer's worth of keys and notes; a take that needs more ends there.
  static constexpr uint32_t kMaxEvents = 64;

  uint64_t firstFrame = 0;  ///< counted from the take's start
  uint32_t frames = 0;
  uint32_t eventCount = 0;
  bool underrunBefore = false;  ///< the device ran dry before this buffer reached it
  TakeEvent events[kMaxEvents];
  float samples[2 * kMaxFrames];  ///< interleaved left, right
};

/// Why the render thread stopped handing a take over before its end.
enum class TakeShortfall : uint32_t {
  None,
  QueueFull,      ///< the writer fell behind by the whole queue
  TooManyEvents,  ///< more changes in one buffer than a block holds
};

/// The blocks of a take on their way from the render thread to the writer: a wait-free
/// single-producer, single-consumer ring that neither side ever waits on. The render thread
/// claims a block, fills it and hands it over; the writer reads and releases the oldest.
class TakeQueue {
 public:
  /// About three seconds of sound: the longest the disk may fall behind. A power of two,
  /// so the slots stay in turn when the indices wrap around.
  static constexpr uint32_t kCapacity = 256;

  // As in the note-on queue: each side reads its own index relaxed and the other's with
  // acquire, pairing with that side's release store.

  /// Producer: the block to fill next, or null when the writer still holds every one.
  TakeBlock* claim() {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) == kCapacity) return nullptr;
    return &blocks_[tail % kCapacity];
  }

  /// Producer: hands the claimed block to the writer.
  void publish() {
    tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }

  /// Consumer: the oldest block handed over, or null.
  const TakeBlock* front() const {
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return nullptr;
    return &blocks_[head % kCapacity];
  }

  /// Consumer: releases the oldest block.
  void pop() { head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

  /// Empties the queue and forgets the last take; only while neither side runs.
  void clear() {
    head_.store(tail_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    rendered.store(0, std::memory_order_relaxed);
    shortfall.store(TakeShortfall::None, std::memory_order_relaxed);
  }

  // The producer's account of the take, for the writer's closing word.
  std::atomic<uint64_t> rendered{0};  ///< frames the render thread rendered in all
  std::atomic<TakeShortfall> shortfall{TakeShortfall::None};

 private:
  TakeBlock blocks_[kCapacity];
  alignas(64) std::atomic<uint32_t> head_{0};
  alignas(64) std::atomic<uint32_t> tail_{0};
};

}  // namespace consynth
