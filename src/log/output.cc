// Placeholder: plain unbuffered writes until output learns not to wait.
#include "log/output.h"

#include <cstdarg>
#include <cstdio>

void startOutput() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

void writeOutput(const char* data, std::size_t length) { std::fwrite(data, 1, length, stdout); }

void printOutput(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length <= 0) return;
  const std::size_t size = static_cast<std::size_t>(length);
  writeOutput(line, size < sizeof line ? size : sizeof line - 1);
}

bool outputPending() { return false; }

void flushOutput() {}
