#include "platform/foundation/Clock.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(ManualClock, MovesOnlyWhenAdvanced) {
  auto clock = std::make_shared<ManualClock>();
  Clock::install(clock);
  const auto start = Clock::current().now();
  const auto wallStart = Clock::current().wallNow();
  EXPECT_EQ(Clock::current().now(), start);
  clock->advance(seconds(300));
  EXPECT_EQ(Clock::current().now() - start, seconds(300));
  EXPECT_EQ(Clock::current().wallNow() - wallStart, seconds(300));
  Clock::install(nullptr);
  EXPECT_FALSE(Clock::current().isManual());
}
