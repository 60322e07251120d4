#include "modes/progress_line.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ProgressLine, PercentDoneAndTimeLeftAtTheRateSoFar) {
  EXPECT_EQ(ProgressLine::text(0, 1000, 0.0), "cleaning:   0%");
  EXPECT_EQ(ProgressLine::text(250, 1000, 10.0), "cleaning:  25%, 0:30 left");
  EXPECT_EQ(ProgressLine::text(1, 3, 61.0), "cleaning:  33%, 2:02 left");
  EXPECT_EQ(ProgressLine::text(1200, 1000, 5.0), "cleaning: 100%, 0:00 left");
}

}  // namespace
