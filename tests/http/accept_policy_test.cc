#include "http/accept_policy.h"

#include <gtest/gtest.h>

namespace {

TEST(AcceptPolicy, RetriesSingleFailuresAndRestsLongerWhileALastingOneGoesOn) {
  using enum AcceptFailure;
  using enum AcceptStep;
  const struct {
    AcceptFailure failure;
    int failuresInRow;
    AcceptStep step;
    int restMs;
  } cases[] = {
      {kNothingPending, 0, kStop, 5},
      {kOneConnection, 1, kRetry, 5},
      {kOneConnection, 7, kRetry, 320},
      {kOneConnection, 8, kRest, 640},
      {kLasting, 1, kCloseOneAndRetry, 5},
      {kLasting, 2, kRest, 10},
      {kLasting, 3, kRest, 20},
      {kLasting, 8, kRest, 640},
      {kLasting, 9, kRest, 1000},
      {kLasting, 1000, kRest, 1000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.step, stepAfterAcceptFailure(c.failure, c.failuresInRow)) << c.failuresInRow;
    EXPECT_EQ(c.restMs, acceptRestMs(c.failuresInRow)) << c.failuresInRow;
  }
}

}  // namespace
