// Detached threads with a small stack: the output's writer and the waiter for a stop.
#pragma once

#include <cstddef>

// The name of the call that starts a thread, for the "Error: %d in %s" line of a failure.
extern const char kStartThreadCall[];

// Starts run on a detached thread with a stack of stackSize bytes. Returns 0, or the code of
// the failed kStartThreadCall, starting nothing.
int startThread(void (*run)(), std::size_t stackSize);
