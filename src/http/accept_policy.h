// How accepting answers a failed accept: the loop's policy, apart from its sockets.
#pragma once

#include "platform/socket_layer.h"

// What the loop does after a failed accept.
enum class AcceptStep {
  kStop,              // no connection is pending: accepting is done for this round
  kRetry,             // accept again at once
  kCloseOneAndRetry,  // close the oldest held connection for room (when one is held), then retry
  kRest,              // stop accepting for acceptRestMs
};

// The step after failuresInRow failed accepts in a row, the last with failure. A lasting one
// first closes a held connection: descriptors may have run out whatever the code says.
AcceptStep stepAfterAcceptFailure(AcceptFailure failure, int failuresInRow);

// How long accepting rests after failuresInRow failures in a row: 5 ms, twice as long each
// further failure, at most a second.
int acceptRestMs(int failuresInRow);
