#include "support/capture_stdout.h"

#include <unistd.h>

#include <cstdio>

std::string captureStdout(const std::function<void()>& body) {
  std::fflush(stdout);
  std::FILE* sink = std::tmpfile();
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(sink), STDOUT_FILENO);
  body();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string written;
  std::rewind(sink);
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, sink)) > 0;) written.append(chunk, n);
  std::fclose(sink);
  return written;
}
