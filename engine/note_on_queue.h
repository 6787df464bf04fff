#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace consynth {

/// One note-on on its way from the control loop or the MIDI input to the render thread.
struct NoteOn {
  int voice;
  int note;
  uint32_t patch;
  std::chrono::steady_clock::time_point arrived{};  ///< MIDI's: when it came
};

/// Wait-free single-producer, single-consumer queue of note-ons. One thread pushes (the
/// control loop into one queue, the MIDI input into another), the render thread pops before
/// each run of frames, so a voice is always rendered wholly before or wholly after a note-on
/// and neither thread ever blocks the other.
class NoteOnQueue {
 public:
  /// Far more than one run of frames needs; a power of two, so the slots stay in turn when the
  /// indices wrap around.
  static constexpr uint32_t kCapacity = 64;

  // Each side reads its own index relaxed, since only it writes that index, and the other
  // side's with acquire: that pairs with the other side's release store, so a popped slot
  // holds what was pushed into it, and a slot is written again only after it was popped.

  /// Producer side. Returns false (dropping the note-on, never one already queued) if the
  /// queue is full, which only happens while the render thread is stalled.
  bool push(const NoteOn& noteOn) {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) == kCapacity) return false;
    slots_[tail % kCapacity] = noteOn;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }

  /// Consumer side: the oldest note-on. Returns false when empty.
  bool pop(NoteOn& noteOn) {
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return false;
    noteOn = slots_[head % kCapacity];
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

  /// Empties the queue; only while no other thread uses it.
  void clear() { head_.store(tail_.load(std::memory_order_relaxed), std::memory_order_relaxed); }

 private:
  NoteOn slots_[kCapacity] = {};
  alignas(64) std::atomic<uint32_t> head_{0};
  alignas(64) std::atomic<uint32_t> tail_{0};
};

}  // namespace consynth
