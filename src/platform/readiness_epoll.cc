// The readiness backend for Linux: epoll, whose cost per wait follows the number of ready
// sockets rather than the number watched, so that idle connections cost a request nothing.
#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/readiness.h"

const char kMakeReadinessCall[] = "epoll_create1";
const char kWatchSocketCall[] = "epoll_ctl";
const char kWaitForReadyCall[] = "epoll_wait";

struct ReadinessSet {
  int descriptor;  // the epoll set; lives as long as the process
  int capacity;    // room in events: one per watched socket
  epoll_event* events;
};

ReadinessSet* makeReadiness(int capacity) {
  auto* set = static_cast<ReadinessSet*>(std::calloc(1, sizeof(ReadinessSet)));
  if (set == nullptr) return nullptr;
  set->capacity = capacity + 1;  // one more than connections, for the listener
  set->events = static_cast<epoll_event*>(std::calloc(set->capacity, sizeof *set->events));
  set->descriptor = set->events != nullptr ? epoll_create1(EPOLL_CLOEXEC) : -1;
  if (set->descriptor >= 0) return set;
  const int code = errno;
  std::free(set->events);
  std::free(set);
  errno = code;
  return nullptr;
}

void freeReadiness(ReadinessSet* set) {
  close(set->descriptor);
  std::free(set->events);
  std::free(set);
}

bool watchSocket(ReadinessSet* set, SOCKET s, std::uint32_t tag) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.u32 = tag;
  return epoll_ctl(set->descriptor, EPOLL_CTL_ADD, s, &event) == 0;
}

void unwatchSocket(ReadinessSet* set, SOCKET s, std::uint32_t tag) {
  (void)tag;
  epoll_event unused{};  // kernels before 2.6.9 want a non-null event
  (void)epoll_ctl(set->descriptor, EPOLL_CTL_DEL, s, &unused);
}

int waitForReady(ReadinessSet* set, std::uint32_t* tags, int maxTags, int timeoutMs) {
  // Ready sockets left out of one wait come first in the next: the kernel moves those it
  // reports to the back of its ready list.
  const int count = epoll_wait(set->descriptor, set->events,
                               maxTags < set->capacity ? maxTags : set->capacity, timeoutMs);
  if (count < 0) return errno == EINTR ? 0 : kReadinessFailed;
  for (int i = 0; i < count; ++i) tags[i] = set->events[i].data.u32;
  return count;
}
