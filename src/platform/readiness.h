// Waiting on many sockets at once: one readiness backend per platform (epoll on Linux,
// WSAPoll on Windows) behind these few calls, so that the serving loop never names it.
//
// One set of watched sockets per process. Each socket is watched for incoming data (for a
// listener: a connection to accept) and for the peer's hang-up, and carries a tag of the
// caller's choosing that comes back when it is ready.
#pragma once

#include <cstdint>

#include "platform/socket_layer.h"

// Prepares to watch up to capacity sockets. Returns false when the platform refuses.
bool startReadiness(int capacity);

// Starts watching s under tag. Returns false when the platform refuses (s is then not
// watched). REQUIRES: fewer than capacity sockets watched.
bool watchSocket(SOCKET s, std::uint32_t tag);

// Stops watching s, which was watched under tag. Call it before closing s.
void unwatchSocket(SOCKET s, std::uint32_t tag);

// Waits until a watched socket is ready or timeoutMs has passed (-1: no limit), and writes the
// tags of up to maxTags ready sockets into tags. Returns their count: 0 when the time ran out
// or the wait was interrupted. With maxTags above the capacity every ready socket is reported.
int waitForReady(std::uint32_t* tags, int maxTags, int timeoutMs);
