// The readiness backend for Linux: epoll, whose cost per wait follows the number of ready
// sockets rather than the number watched, so that hundreds of idle connections cost a request
// nothing.
#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/readiness.h"

namespace {

int epollDescriptor = -1;       // the watched set; lives as long as the process
epoll_event* events = nullptr;  // room for one event per watched socket, made once
int eventCapacity = 0;

}  // namespace

bool startReadiness(int capacity) {
  // One more than the connections, for the listener.
  eventCapacity = capacity + 1;
  events = static_cast<epoll_event*>(std::calloc(eventCapacity, sizeof *events));
  epollDescriptor = epoll_create1(EPOLL_CLOEXEC);
  return events != nullptr && epollDescriptor >= 0;
}

bool watchSocket(SOCKET s, std::uint32_t tag) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.u32 = tag;
  return epoll_ctl(epollDescriptor, EPOLL_CTL_ADD, s, &event) == 0;
}

void unwatchSocket(SOCKET s, std::uint32_t tag) {
  (void)tag;
  epoll_event unused{};  // kernels before 2.6.9 want a non-null event
  (void)epoll_ctl(epollDescriptor, EPOLL_CTL_DEL, s, &unused);
}

int waitForReady(std::uint32_t* tags, int maxTags, int timeoutMs) {
  // Ready sockets left out of one wait come first in the next: the kernel moves those it
  // reports to the back of its ready list.
  const int count = epoll_wait(epollDescriptor, events,
                               maxTags < eventCapacity ? maxTags : eventCapacity, timeoutMs);
  if (count < 0) return 0;  // EINTR: the caller looks at its clock and waits again
  for (int i = 0; i < count; ++i) tags[i] = events[i].data.u32;
  return count;
}
