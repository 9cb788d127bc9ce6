// Local time from the C runtime's checked conversion (Windows).
#include "platform/local_time.h"

bool toLocalTime(std::time_t now, std::tm* local) { return localtime_s(local, &now) == 0; }
