// The one size of the server's short texts.
#pragma once

#include <cstddef>

// Room for a short text and its NUL: the root directory, a document path, this machine's name
// and a date text each get at most 259 characters, the longest path Windows takes (MAX_PATH).
inline constexpr std::size_t kPathSize = 260;
