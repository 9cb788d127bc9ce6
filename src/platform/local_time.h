// Local time, which the two platforms convert with differently named calls.
#pragma once

#include <ctime>

// Converts now to local time in local. Returns false when the platform cannot.
bool toLocalTime(std::time_t now, std::tm* local);
