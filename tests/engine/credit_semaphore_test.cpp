// The credits that pace the render thread: a counting semaphore with a ceiling.

#include "engine/credit_semaphore.h"

#include <gtest/gtest.h>

namespace consynth {
namespace {

TEST(CreditSemaphoreTest, ReleasesBeyondTheCeilingAreDropped) {
  CreditSemaphore credits(5, 6);
  EXPECT_TRUE(credits.release());
  EXPECT_FALSE(credits.release());
  EXPECT_EQ(credits.count(), 6);
  credits.acquire();
  EXPECT_EQ(credits.count(), 5);
}

}  // namespace
}  // namespace consynth
