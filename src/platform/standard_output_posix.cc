// Standard output on POSIX: a write that would block returns at once instead.
//
// O_NONBLOCK belongs to an open file description, and the description behind descriptor 1 is
// the shell's too: set there, it would make the shell's own reads and writes fail. So a pipe
// or a terminal is opened a second time, which gives a description of our own on the same
// object, and only that one is made non-blocking. A socket (the journal's stream) takes a
// per-call flag instead, and a file or the null device never waits for a reader at all.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/standard_output.h"

namespace {

// How standard output is written.
enum class OutputKind {
  kPlain,        // write(): a file, the null device, or before prepareStandardOutput
  kNonBlocking,  // write() on a description of our own opened with O_NONBLOCK
  kSocket,       // send() with MSG_DONTWAIT
  kPollFirst,    // a pipe or terminal that could not be opened again: poll, then a small write
};

OutputKind outputKind = OutputKind::kPlain;
int outputFd = STDOUT_FILENO;  // the descriptor written; ours alone in kNonBlocking

// Opens path again for writing, non-blocking and never as our controlling terminal.
// Returns the new descriptor, or -1.
int openPrivately(const char* path) {
  return open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

void prepareStandardOutput() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // Every lower descriptor is open by now, so open() hands out exactly this one.
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) (void)open("/dev/null", O_RDWR);
  }
  // A reader that goes away must cost its lines, not the server.
  signal(SIGPIPE, SIG_IGN);

  struct stat status;
  if (fstat(STDOUT_FILENO, &status) != 0) return;
  if (S_ISSOCK(status.st_mode)) {
    outputKind = OutputKind::kSocket;
    return;
  }
  int own = -1;
  if (S_ISFIFO(status.st_mode)) {
    // An anonymous pipe has no name but this one; opening it gives a new description.
    own = openPrivately("/proc/self/fd/1");
  } else if (isatty(STDOUT_FILENO)) {
    const char* name = ttyname(STDOUT_FILENO);
    if (name != nullptr) own = openPrivately(name);
  } else {
    return;  // a file or a device that never waits for a reader
  }
  if (own >= 0) {
    outputKind = OutputKind::kNonBlocking;
    outputFd = own;
  } else {
    outputKind = OutputKind::kPollFirst;
  }
}

long writeStandardOutput(const char* data, std::size_t length) {
  ssize_t written;
  switch (outputKind) {
    case OutputKind::kSocket:
      written = send(outputFd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
      break;
    case OutputKind::kPollFirst: {
      // Ready for writing means a page of room on Linux, which a write of PIPE_BUF bytes or
      // fewer does not outgrow. Only another writer on the same pipe could fill it between the
      // two calls; this is the fallback where the pipe could not be opened on its own.
      pollfd entry{outputFd, POLLOUT, 0};
      if (poll(&entry, 1, 0) <= 0) return 0;
      written = write(outputFd, data, length < PIPE_BUF ? length : PIPE_BUF);
      break;
    }
    default:
      written = write(outputFd, data, length);
  }
  if (written >= 0) return static_cast<long>(written);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void waitForStandardOutput(int timeoutMs) {
  pollfd entry{outputFd, POLLOUT, 0};
  (void)poll(&entry, 1, timeoutMs);  // a time-out or an error both end the wait
}

bool standardOutputIdle() { return true; }  // what write() took is the kernel's
