// Standard output for a server that must never wait for it: start-up lines, error lines and
// the request log all go through here.
//
// What standard output cannot take at once waits, in order, in one fixed buffer. When that is
// full a new entry (a log entry, or a message line) is dropped whole and counted, and once
// output flows again one line says how many went: "quietd: 1234 log entries dropped while output was blocked".
#pragma once

#include <cstddef>

// Room for lines waiting for standard output: as much as a pipe holds by default on Linux, and
// enough for the longest log entry whole.
inline constexpr std::size_t kOutputBufferSize = 65536;

// How long the process may wait, at its end, for its last lines to get out.
inline constexpr int kFinalOutputMs = 1000;

// Prepares the process's standard output before anything else is opened. Call once, first
// thing in main.
void startOutput();

// Writes data, one whole line or log entry, to standard output. Never waits: what output
// cannot take at once waits in a fixed buffer (see flushOutput). An entry is written whole or,
// when the buffer has no room for it, dropped whole and counted. Lines already waiting go
// first. REQUIRES: length <= kOutputBufferSize (a longer entry loses its end when it must wait).
void writeOutput(const char* data, std::size_t length);

// Formats like printf into a fixed buffer, then writes the result as writeOutput does.
void printOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True while written lines (or the count of dropped ones) wait for standard output.
bool outputPending();

// Hands waiting lines to standard output as far as it takes them now. Never waits; the
// serving loop calls it again while outputPending() holds.
void flushOutput();

// Waits at most timeoutMs for the waiting lines to get out: for the last lines before the
// process ends (the usage text, a failed set-up).
void drainOutput(int timeoutMs);
