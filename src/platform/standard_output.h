// Standard output as the platform lets a server write it without ever waiting for a reader:
// the calls src/log/output.cc needs for a writer thread that alone waits for standard output.
#pragma once

#include <cstddef>

// What writeStandardOutput returns when nothing was written and it is worth trying again
// later: the disk is full, the reader is slow, or any error not known to be final.
inline constexpr long kOutputFailed = -1;
// What writeStandardOutput returns when standard output has no reader and never will again
// (an anonymous pipe or a socket whose reader has gone).
inline constexpr long kOutputGone = -2;

// Puts the null device on each closed standard descriptor, so no socket takes its place, and
// ignores SIGPIPE. Call once, before anything else is opened.
void prepareStandardOutput();

// Writes data to standard output, waiting as long as it makes us: from the writer thread alone.
// Returns the byte count taken (at least 1), kOutputFailed or kOutputGone.
long writeStandardOutput(const char* data, std::size_t length);

// Starts run on a thread of its own with a small stack; the thread runs until the process
// ends. Returns 0, or the code of the failed call named in *failedCall, starting nothing.
int startOutputWriter(void (*run)(), const char** failedCall);

// Wakes the writer thread from waitForOutputWork, or makes its next call return at once.
// Never waits.
void wakeOutputWriter();

// Puts the writer thread to sleep until wakeOutputWriter is called (or was called since the
// last wait returned). May also return early.
void waitForOutputWork();

// Sleeps for milliseconds: between the writer's retries, and while the last lines drain.
void pauseOutput(int milliseconds);
