// Standard output for a server that must never wait for it: start-up lines, error lines and
// the request log all go through here.
//
// The serving thread only copies each entry (a log entry, or a message line) into one fixed
// buffer; a writer thread hands the buffer to standard output, and it alone waits when
// standard output is slow, blocked or failing. An entry that does not fit is dropped whole and
// counted, and the first entry that fits again is preceded by one line saying how many went:
// "quietd: 1234 log entries dropped while output was blocked". A write that fails (a full
// disk, say) is tried again after a pause that grows, and nothing waiting is lost meanwhile.
#pragma once

#include <cstddef>

// Room for bytes waiting for standard output: as much as a pipe holds by default on Linux, and
// enough for the longest log entry whole.
inline constexpr std::size_t kOutputBufferSize = 65536;

// How long the process may wait, at its end, for its last lines to get out.
inline constexpr int kFinalOutputMs = 1000;

// Prepares the process's standard output and starts the writer thread. Call once, first thing
// in main. Until then (and if no thread can be made) entries are written as they come, by the
// caller.
void startOutput();

// Hands data, one whole line or log entry, to standard output. Never waits: the entry is
// copied into the waiting bytes whole or, when they have no room for it, dropped and counted.
void writeOutput(const char* data, std::size_t length);

// Formats like printf into a fixed buffer, then writes the result as writeOutput does.
void printOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True while something must still be done from the serving loop: the count of dropped entries
// waits to be told. The loop then calls flushOutput now and then.
bool outputPending();

// Tells the count of dropped entries once the waiting bytes have all been written. Never
// waits. Without a writer thread, also writes what waits, as far as standard output takes it.
void flushOutput();

// Waits at most timeoutMs for the waiting bytes to get out: for the last lines before the
// process ends (the usage text, a failed set-up).
void drainOutput(int timeoutMs);

// What one turn of the writer did.
enum class OutputTurn {
  kWrote,   // standard output took some of the waiting bytes
  kIdle,    // nothing was waiting
  kFailed,  // standard output took nothing; the bytes wait for the next turn
  kGone,    // standard output has no reader left; everything waiting was thrown away
};

// Hands the waiting bytes, from the oldest, to standard output once. The writer thread's
// step; tests call it to play the writer.
OutputTurn writeWaitingOutput();

// How the writer writes to standard output (writeStandardOutput unless replaced), so that
// tests can make standard output slow, full or gone.
using OutputWriteCall = long (*)(const char* data, std::size_t length);

// Makes the writer use write from now on; returns the call it replaces.
OutputWriteCall replaceOutputWrite(OutputWriteCall write);
