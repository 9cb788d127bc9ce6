// Standard output that the server never waits for: whole entries into one ring a writer thread
// writes out; one that does not fit is dropped and counted. Threads: see each call.
#pragma once

#include <cstddef>

// Room for bytes waiting for standard output: as much as a pipe holds by default on Linux, and
// enough for the longest log entry whole.
inline constexpr std::size_t kOutputBufferSize = 65536;

// How long the process may wait, at its end, for its last lines to get out.
inline constexpr int kFinalOutputMs = 1000;

// Prepares the process's standard output and starts the writer thread. Call once, in main,
// before anything is opened. Returns false after reporting the failed call.
bool startOutput();

// Hands data, one whole line or log entry, to standard output: copied whole, or dropped and
// counted when it does not fit. Never waits. From one thread at a time (main, then serving).
void writeOutput(const char* data, std::size_t length);

// Formats like printf into a fixed buffer, then writes the result as writeOutput does.
void printOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints "Error: <code> in <call>", the line of every failed call that quietd reports.
void reportFailure(const char* call, int code);

// Waits at most timeoutMs for what waits to get out, from any thread, as the process ends.
// Without a writer thread, writes it itself, once.
void drainOutput(int timeoutMs);

// What one turn of the writer did.
enum class OutputTurn {
  kWrote,   // standard output took some of the waiting bytes
  kIdle,    // nothing was waiting
  kFailed,  // standard output took nothing; the bytes wait for the next turn
  kGone,    // standard output has no reader left; everything waiting was thrown away
};

// Hands the waiting bytes, from the oldest, to standard output once, or the drop notice once
// everything before it is out. The writer thread's step; tests call it to play the writer.
OutputTurn writeWaitingOutput();

// How the writer writes to standard output (writeStandardOutput unless replaced), so that
// tests can make standard output slow, full or gone.
using OutputWriteCall = long (*)(const char* data, std::size_t length);

// Makes the writer use write from now on; returns the call it replaces.
OutputWriteCall replaceOutputWrite(OutputWriteCall write);
