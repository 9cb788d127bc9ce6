// Standard output as the platform lets a server write it without ever waiting for a reader.
//
// standard_output_posix.cc writes through a descriptor of its own that never blocks;
// standard_output_win32.cc hands the bytes to a writer thread, since a Windows console cannot
// be written without blocking. src/log/output.cc keeps the lines that must wait.
#pragma once

#include <cstddef>

// Makes standard output safe for a server: puts the null device on each of the standard
// descriptors that is closed (so that no socket can take its place), ignores the signal a
// write to a pipe without a reader raises, and prepares writes that never wait. Call once,
// before anything else is opened. Until then writeStandardOutput writes descriptor 1 as it is.
void prepareStandardOutput();

// Hands as much of data to standard output as it takes now, without waiting. Returns the
// byte count taken (0 when output must be waited for), or -1 when output has failed for good
// (its reader has gone, say): the bytes are lost and the caller should not keep them.
long writeStandardOutput(const char* data, std::size_t length);

// Waits at most timeoutMs for standard output to take more, or for the bytes already taken to
// reach their reader. Only for the last lines before the process ends.
void waitForStandardOutput(int timeoutMs);

// True when every byte taken by writeStandardOutput has left the process.
bool standardOutputIdle();
