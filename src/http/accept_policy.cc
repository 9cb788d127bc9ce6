#include "http/accept_policy.h"

#include <algorithm>

namespace {

constexpr int kAcceptRestMinMs = 5;
constexpr int kAcceptRestMaxMs = 1000;
// Failures of single connections in a row after which accepting rests all the same.
constexpr int kSingleFailuresBeforeRest = 8;

}  // namespace

AcceptStep stepAfterAcceptFailure(AcceptFailure failure, int failuresInRow) {
  if (failure == AcceptFailure::kNothingPending) return AcceptStep::kStop;
  if (failure == AcceptFailure::kOneConnection) {
    return failuresInRow < kSingleFailuresBeforeRest ? AcceptStep::kRetry : AcceptStep::kRest;
  }
  return failuresInRow == 1 ? AcceptStep::kCloseOneAndRetry : AcceptStep::kRest;
}

int acceptRestMs(int failuresInRow) {
  int restMs = kAcceptRestMinMs;
  for (int failures = 1; failures < failuresInRow && restMs < kAcceptRestMaxMs; ++failures) {
    restMs *= 2;
  }
  return std::min(restMs, kAcceptRestMaxMs);
}
