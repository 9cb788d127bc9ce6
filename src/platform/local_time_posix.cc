// Local time from the C library's thread-safe conversion (POSIX).
#include "platform/local_time.h"

bool toLocalTime(std::time_t now, std::tm* local) { return localtime_r(&now, local) != nullptr; }
