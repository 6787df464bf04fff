// The wait-free queue that carries note-ons to the render thread.

#include "engine/note_on_queue.h"

#include <gtest/gtest.h>

namespace consynth {
namespace {

TEST(NoteOnQueueTest, KeepsOrderAcrossWrapAroundAndDropsWhatDoesNotFit) {
  NoteOnQueue queue;
  NoteOn out;
  EXPECT_FALSE(queue.pop(out));
  // Batches of every size up to a full queue, so the slots wrap around many times.
  int pushed = 0;
  int popped = 0;
  for (uint32_t batch = 1; batch <= NoteOnQueue::kCapacity; ++batch) {
    for (uint32_t i = 0; i < batch; ++i)
      ASSERT_TRUE(queue.push({0, ++pushed, 0}));
    for (uint32_t i = 0; i < batch; ++i) {
      ASSERT_TRUE(queue.pop(out));
      ASSERT_EQ(out.note, ++popped);
    }
    ASSERT_FALSE(queue.pop(out));
  }
  // Full: a further note-on is dropped and those in flight stay as they were.
  for (uint32_t i = 0; i < NoteOnQueue::kCapacity; ++i)
    ASSERT_TRUE(queue.push({0, static_cast<int>(i), 0}));
  EXPECT_FALSE(queue.push({0, -1, 0}));
  for (uint32_t i = 0; i < NoteOnQueue::kCapacity; ++i) {
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.note, static_cast<int>(i));
  }
  EXPECT_FALSE(queue.pop(out));
}

}  // namespace
}  // namespace consynth
