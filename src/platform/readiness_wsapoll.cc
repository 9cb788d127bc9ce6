// The readiness backend for Windows: WSAPoll over one dense array of the watched sockets.
// Windows never blocks a caller that waits this way, so the choice only bounds resources; a
// socket leaves the array by trading places with the last one, so that no wait looks at holes.
#include <cstdlib>

#include "platform/readiness.h"

namespace {

WSAPOLLFD* watched = nullptr;          // the sockets waited on, first watchedCount of them in use
std::uint32_t* watchedTags = nullptr;  // the tag of each entry of watched
int* positionOfTag = nullptr;  // where each tag stands in watched; the listener's tag at the end
int watchedCount = 0;
int tagCapacity = 0;  // tags below this; one more place is kept for any larger tag

int placeFor(std::uint32_t tag) {
  return tag < static_cast<std::uint32_t>(tagCapacity) ? static_cast<int>(tag) : tagCapacity;
}

}  // namespace

bool startReadiness(int capacity) {
  // Made once for the life of the process: one more entry than connections, for the listener.
  tagCapacity = capacity;
  watched = static_cast<WSAPOLLFD*>(std::calloc(capacity + 1, sizeof *watched));
  watchedTags = static_cast<std::uint32_t*>(std::calloc(capacity + 1, sizeof *watchedTags));
  positionOfTag = static_cast<int*>(std::calloc(capacity + 1, sizeof *positionOfTag));
  return watched != nullptr && watchedTags != nullptr && positionOfTag != nullptr;
}

bool watchSocket(SOCKET s, std::uint32_t tag) {
  if (watchedCount > tagCapacity) return false;
  watched[watchedCount] = WSAPOLLFD{s, POLLRDNORM, 0};
  watchedTags[watchedCount] = tag;
  positionOfTag[placeFor(tag)] = watchedCount;
  ++watchedCount;
  return true;
}

void unwatchSocket(SOCKET s, std::uint32_t tag) {
  const int position = positionOfTag[placeFor(tag)];
  if (position >= watchedCount || watched[position].fd != s) return;
  const int last = --watchedCount;
  watched[position] = watched[last];
  watchedTags[position] = watchedTags[last];
  positionOfTag[placeFor(watchedTags[position])] = position;
}

int waitForReady(std::uint32_t* tags, int maxTags, int timeoutMs) {
  if (watchedCount == 0) {  // WSAPoll refuses an empty set; there is only time to let pass
    Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return 0;
  }
  for (int i = 0; i < watchedCount; ++i) watched[i].revents = 0;
  if (WSAPoll(watched, static_cast<ULONG>(watchedCount), timeoutMs) <= 0) return 0;
  int count = 0;
  for (int i = 0; i < watchedCount && count < maxTags; ++i) {
    // A hang-up or an error shows as a receive that says so; the caller looks at it then.
    if (watched[i].revents != 0) tags[count++] = watchedTags[i];
  }
  return count;
}
