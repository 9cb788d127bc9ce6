// Linux only: standard output as files, pipes and FIFOs, and closed standard descriptors.
#include "platform/standard_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

TEST(StandardOutput, AFullDiskIsRetriedAndOnlyAGonePipeIsFinal) {
  char folder[] = "/tmp/quietd-fifo-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(folder));
  const std::string fifo = std::string(folder) + "/log";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  const int fifoReader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  const struct {
    const char* name;
    int fd;       // put on standard output
    int reader;   // closed before the write: the reader leaves
    long result;  // of the write
  } cases[] = {
      {"a full disk", open("/dev/full", O_WRONLY), -1, kOutputFailed},
      {"a pipe whose reader left", ends[1], ends[0], kOutputGone},
      {"a FIFO whose reader left", open(fifo.c_str(), O_WRONLY), fifoReader, kOutputFailed},
  };
  for (const auto& c : cases) {
    ASSERT_GE(c.fd, 0) << c.name;
    const int saved = dup(STDOUT_FILENO);
    dup2(c.fd, STDOUT_FILENO);  // as the server finds it at start
    prepareStandardOutput();
    if (c.reader >= 0) close(c.reader);
    const long result = writeStandardOutput("x\n", 2);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(c.fd);
    EXPECT_EQ(c.result, result) << c.name;
  }
  unlink(fifo.c_str());
  rmdir(folder);
}

TEST(StandardOutput, ClosedStandardDescriptorsGetTheNullDevice) {
  struct stat null {};
  ASSERT_EQ(0, stat("/dev/null", &null));
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) close(fd);
        prepareStandardOutput();
        int wrong = 0;
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
          struct stat status {};
          wrong += fstat(fd, &status) != 0 || status.st_rdev != null.st_rdev;
        }
        _exit(wrong);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
