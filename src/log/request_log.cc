#include "log/request_log.h"

void logRequest(const char* text, Verbosity verbosity) {
  (void)text;
  (void)verbosity;
}
