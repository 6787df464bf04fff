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

/// What the render thread made of one or more buffers, up to 512 frames: its frames, and
/// how many changes to the engine took effect in them (they travel beside the blocks, in
/// the order they did).
struct TakeBlock {
  static constexpr uint32_t kMaxFrames = 512;
  static constexpr uint32_t kMaxGaps = 8;  ///< more are not kept

  uint64_t firstFrame = 0;  ///< counted from the take's start
  uint32_t frames = 0;
  uint32_t eventCount = 0;
  /// Frames of the take, this block's or earlier ones', that the device played after a gap
  /// (it had run dry), as learnt while this block was rendered.
  uint32_t gapCount = 0;
  uint64_t gaps[kMaxGaps];
  float samples[2 * kMaxFrames];  ///< interleaved left, right
};

/// Why the render thread stopped handing a take over before its end.
enum class TakeShortfall : uint32_t {
  None,
  QueueFull,   ///< the writer fell behind by all the blocks the queue holds
  EventsFull,  ///< ... or by all the changes it holds
};

/// A take on its way from the render thread to the writer: wait-free single-producer,
/// single-consumer rings of blocks and of the changes in them, which neither side ever
/// waits on. The render thread claims a block, adds the changes as they come, and hands
/// both over at once; the writer reads and releases the oldest block with its changes.
class TakeQueue {
 public:
  /// About three seconds of sound, whatever the period: the longest the disk may fall
  /// behind. Powers of two, so
  /// the slots stay in turn when the indices wrap around.
  static constexpr uint32_t kBlockCapacity = 256;
  /// Changes for as long, at a rate far beyond any keyboard's (over 30 a buffer).
  static constexpr uint32_t kEventCapacity = 8192;

  // Each side reads its own indices relaxed and the other's with acquire, pairing with the
  // other side's release stores. The changes' index moves before the blocks', so a block
  // seen is a block whose changes are seen.

  /// Producer: the block to fill next, or null when the writer still holds every one.
  TakeBlock* claim() {
    const uint32_t tail = blockTail_.load(std::memory_order_relaxed);
    if (tail - blockHead_.load(std::memory_order_acquire) == kBlockCapacity) return nullptr;
    pendingEvents_ = 0;
    return &blocks_[tail % kBlockCapacity];
  }

  /// Producer: a change in the claimed block. False when there is no room for it.
  bool addEvent(const TakeEvent& event) {
    const uint32_t at = eventTail_.load(std::memory_order_relaxed) + pendingEvents_;
    if (at - eventHead_.load(std::memory_order_acquire) == kEventCapacity) return false;
    events_[at % kEventCapacity] = event;
    ++pendingEvents_;
    return true;
  }

  /// Producer: hands the claimed block and its changes to the writer.
  void publish() {
    blocks_[blockTail_.load(std::memory_order_relaxed) % kBlockCapacity].eventCount =
        pendingEvents_;
    eventTail_.store(eventTail_.load(std::memory_order_relaxed) + pendingEvents_,
                     std::memory_order_release);
    blockTail_.store(blockTail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }

  /// Consumer: the oldest block handed over, or null.
  const TakeBlock* front() const {
    const uint32_t head = blockHead_.load(std::memory_order_relaxed);
    if (head == blockTail_.load(std::memory_order_acquire)) return nullptr;
    return &blocks_[head % kBlockCapacity];
  }

  /// Consumer: change `i` of the oldest block.
  const TakeEvent& event(uint32_t i) const {
    return events_[(eventHead_.load(std::memory_order_relaxed) + i) % kEventCapacity];
  }

  /// Consumer: releases the oldest block and its changes.
  void pop() {
    const uint32_t head = blockHead_.load(std::memory_order_relaxed);
    eventHead_.store(
        eventHead_.load(std::memory_order_relaxed) + blocks_[head % kBlockCapacity].eventCount,
        std::memory_order_release);
    blockHead_.store(head + 1, std::memory_order_release);
  }

  /// Empties the queue and forgets the last take; only while neither side runs.
  void clear() {
    blockHead_.store(blockTail_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    eventHead_.store(eventTail_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    rendered.store(0, std::memory_order_relaxed);
    shortfall.store(TakeShortfall::None, std::memory_order_relaxed);
  }

  // The producer's account of the take, for the writer's closing word. A shortfall is
  // stored with release after the last block handed over.
  std::atomic<uint64_t> rendered{0};  ///< frames the render thread rendered in all
  std::atomic<TakeShortfall> shortfall{TakeShortfall::None};

 private:
  TakeBlock blocks_[kBlockCapacity];
  TakeEvent events_[kEventCapacity];
  uint32_t pendingEvents_ = 0;  ///< the producer's: changes in the block being filled
  alignas(64) std::atomic<uint32_t> blockHead_{0};
  alignas(64) std::atomic<uint32_t> eventHead_{0};
  alignas(64) std::atomic<uint32_t> blockTail_{0};
  alignas(64) std::atomic<uint32_t> eventTail_{0};
};

}  // namespace consynth
