// The readiness backend for Windows: WSAPoll over one dense array of the watched sockets.
// A socket leaves the array by trading places with the last one, so that no wait looks at holes.
#include <cstdlib>

#include "platform/readiness.h"

const char kMakeReadinessCall[] = "calloc";
const char kWatchSocketCall[] = "watchSocket";
const char kWaitForReadyCall[] = "WSAPoll";

struct ReadinessSet {
  WSAPOLLFD* watched;          // the sockets waited on, first watchedCount of them in use
  std::uint32_t* watchedTags;  // the tag of each entry of watched
  int* positionOfTag;          // where each tag stands in watched; the listener's tag at the end
  int watchedCount;
  int tagCapacity;  // tags below this; one more place is kept for any larger tag
};

namespace {

int placeFor(const ReadinessSet* set, std::uint32_t tag) {
  return tag < static_cast<std::uint32_t>(set->tagCapacity) ? static_cast<int>(tag)
                                                            : set->tagCapacity;
}

}  // namespace

ReadinessSet* makeReadiness(int capacity) {
  // One more entry than connections, for the listener.
  auto* set = static_cast<ReadinessSet*>(std::calloc(1, sizeof(ReadinessSet)));
  if (set != nullptr) {
    set->tagCapacity = capacity;
    set->watched = static_cast<WSAPOLLFD*>(std::calloc(capacity + 1, sizeof *set->watched));
    set->watchedTags =
        static_cast<std::uint32_t*>(std::calloc(capacity + 1, sizeof *set->watchedTags));
    set->positionOfTag = static_cast<int*>(std::calloc(capacity + 1, sizeof *set->positionOfTag));
    if (set->watched != nullptr && set->watchedTags != nullptr && set->positionOfTag != nullptr) {
      return set;
    }
    freeReadiness(set);
  }
  WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
  return nullptr;
}

void freeReadiness(ReadinessSet* set) {
  std::free(set->watched);
  std::free(set->watchedTags);
  std::free(set->positionOfTag);
  std::free(set);
}

bool watchSocket(ReadinessSet* set, SOCKET s, std::uint32_t tag) {
  if (set->watchedCount > set->tagCapacity) {
    WSASetLastError(WSAENOBUFS);
    return false;
  }
  set->watched[set->watchedCount] = WSAPOLLFD{s, POLLRDNORM, 0};
  set->watchedTags[set->watchedCount] = tag;
  set->positionOfTag[placeFor(set, tag)] = set->watchedCount;
  ++set->watchedCount;
  return true;
}

void unwatchSocket(ReadinessSet* set, SOCKET s, std::uint32_t tag) {
  const int position = set->positionOfTag[placeFor(set, tag)];
  if (position >= set->watchedCount || set->watched[position].fd != s) return;
  const int last = --set->watchedCount;
  set->watched[position] = set->watched[last];
  set->watchedTags[position] = set->watchedTags[last];
  set->positionOfTag[placeFor(set, set->watchedTags[position])] = position;
}

int waitForReady(ReadinessSet* set, std::uint32_t* tags, int maxTags, int timeoutMs) {
  if (set->watchedCount == 0) {  // WSAPoll refuses an empty set; there is only time to let pass
    Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    return 0;
  }
  for (int i = 0; i < set->watchedCount; ++i) set->watched[i].revents = 0;
  const int ready = WSAPoll(set->watched, static_cast<ULONG>(set->watchedCount), timeoutMs);
  if (ready == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? 0 : kReadinessFailed;
  int count = 0;
  for (int i = 0; i < set->watchedCount && ready > 0 && count < maxTags; ++i) {
    // A hang-up or an error shows as a receive that says so; the caller looks at it then.
    if (set->watched[i].revents != 0) tags[count++] = set->watchedTags[i];
  }
  return count;
}
