// The types a received request is described by, shared by the command line, the loop and the log.
#pragma once

#include <cstddef>

// How much of each request the log prints, held as the option letter that chose it.
enum class Verbosity : char {
  kOff = 0,
  kSummary = 'v',   // request line, Host and Referer lines
  kDetailed = 'V',  // the whole request but its User-Agent line
};

// The longest request text the log is given: the loop's one receive less its final CR LF.
inline constexpr std::size_t kRequestTextLength = 16382;
