// Standard output for a server that must never wait for it: start-up lines, error lines and
// the request log all go through here.
#pragma once

#include <cstddef>

// Prepares the process's standard output before anything else is opened. Call once, first
// thing in main.
void startOutput();

// Writes data, one whole line or log entry, to standard output. Never waits: what output
// cannot take at once waits in a fixed buffer (see flushOutput).
void writeOutput(const char* data, std::size_t length);

// Formats like printf into a fixed buffer, then writes the result as writeOutput does.
void printOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True while written lines wait for standard output to take them.
bool outputPending();

// Hands waiting lines to standard output as far as it takes them now. Never waits; the
// serving loop calls it again while outputPending() holds.
void flushOutput();
