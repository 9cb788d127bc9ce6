// Captures what a piece of code writes to standard output.
#pragma once

#include <functional>
#include <string>

// Runs body with standard output sent to a temporary file; returns what was written.
std::string captureStdout(const std::function<void()>& body);
