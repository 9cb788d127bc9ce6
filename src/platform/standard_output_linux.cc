// Standard output on Linux: blocking writes on the writer thread, as no non-blocking write
// covers every output (O_NONBLOCK is shared with the shell, and a full disk ignores it).
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include "platform/standard_output.h"
#include "platform/thread_start.h"

namespace {

// The writer thread's stack: it calls write() and sleeps, nothing deeper.
constexpr std::size_t kWriterStackSize = 64 * 1024;
// f_type of the file system that holds anonymous pipes.
constexpr long kPipeFileSystem = 0x50495045;

sem_t workArrived;             // posted by wakeOutputWriter, waited on by the writer thread
bool readerMayReturn = false;  // a named FIFO: a new reader may open it after the last one left

}  // namespace

void prepareStandardOutput() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // Every lower descriptor is open by now, so open() hands out exactly this one.
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) (void)open("/dev/null", O_RDWR);
  }
  // A reader that goes away must cost its lines, not the server.
  signal(SIGPIPE, SIG_IGN);
  struct stat status;
  struct statfs fileSystem;
  readerMayReturn = fstat(STDOUT_FILENO, &status) == 0 && S_ISFIFO(status.st_mode) &&
                    fstatfs(STDOUT_FILENO, &fileSystem) == 0 &&
                    static_cast<long>(fileSystem.f_type) != kPipeFileSystem;
}

long writeStandardOutput(const char* data, std::size_t length) {
  const ssize_t written = write(STDOUT_FILENO, data, length);
  if (written > 0) return static_cast<long>(written);
  if (written < 0 && (errno == ECONNRESET || (errno == EPIPE && !readerMayReturn))) {
    return kOutputGone;
  }
  return kOutputFailed;
}

int startOutputWriter(void (*run)(), const char** failedCall) {
  (void)sem_init(&workArrived, 0, 0);  // fails only for a shared or too large semaphore
  *failedCall = kStartThreadCall;
  return startThread(run, kWriterStackSize);
}

void wakeOutputWriter() { (void)sem_post(&workArrived); }  // fails only past SEM_VALUE_MAX

void waitForOutputWork() {
  while (sem_wait(&workArrived) != 0 && errno == EINTR) {
  }
}

void pauseOutput(int milliseconds) {
  timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}
