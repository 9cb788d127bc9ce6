// Waiting on many sockets at once (epoll on Linux, WSAPoll on Windows): each is watched for data
// and hang-up under a tag that comes back when it is ready.
#pragma once

#include <cstdint>

#include "platform/socket_layer.h"

// A set of watched sockets; what it holds is the backend's own.
struct ReadinessSet;

// The names of the platform calls behind makeReadiness, watchSocket and waitForReady, for the
// "Error: %d in %s" line of a failure.
extern const char kMakeReadinessCall[];
extern const char kWatchSocketCall[];
extern const char kWaitForReadyCall[];

// What waitForReady returns when the wait failed for any reason but an interruption.
inline constexpr int kReadinessFailed = -1;

// Makes a set for up to capacity sockets, once. Returns nullptr, with the platform's code in
// WSAGetLastError(), when the platform refuses.
ReadinessSet* makeReadiness(int capacity);

// Closes set and gives its memory back.
void freeReadiness(ReadinessSet* set);

// Starts watching s under tag. Returns false, with the code in WSAGetLastError(), when the
// platform refuses (s is then not watched). REQUIRES: fewer than capacity sockets watched.
bool watchSocket(ReadinessSet* set, SOCKET s, std::uint32_t tag);

// Stops watching s, which was watched under tag. Call it before closing s.
void unwatchSocket(ReadinessSet* set, SOCKET s, std::uint32_t tag);

// Waits up to timeoutMs (-1: no limit) and writes up to maxTags ready tags into tags. Returns
// their count (0: timed out or interrupted), or kReadinessFailed, code in WSAGetLastError().
int waitForReady(ReadinessSet* set, std::uint32_t* tags, int maxTags, int timeoutMs);

// The shape of waitForReady, so that a test can put a failing wait in its place.
using ReadinessWaitCall = int (*)(ReadinessSet* set, std::uint32_t* tags, int maxTags,
                                  int timeoutMs);
