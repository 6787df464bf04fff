// The credits that pace the render thread: a counting semaphore with a ceiling.

#include "platform/credit_semaphore.h"

#include <gtest/gtest.h>

namespace consynth::platform {
namespace {

TEST(CreditSemaphoreTest, ReleasesBeyondTheCeilingAreDropped) {
  CreditSemaphore credits(5, 6);
  EXPECT_TRUE(credits.release());
  EXPECT_FALSE(credits.release());
  for (int i = 0; i < 6; ++i)
    credits.acquire();  // six, and no more, are there to take: a seventh would wait
  EXPECT_TRUE(credits.release());
  credits.acquire();
}

}  // namespace
}  // namespace consynth::platform
