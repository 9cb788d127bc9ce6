// How long the serving loop lets each kind of wait last. The test build quietd_short cuts them
// to seconds with compile definitions of the same names (see CMakeLists.txt).
#pragma once

#ifndef QUIETD_REQUEST_TIMEOUT_MS
// How long a connection may wait in the loop for its request: generous, as browsers open
// connections ahead of need, and sixty seconds is what web servers give a request head.
#define QUIETD_REQUEST_TIMEOUT_MS 60000
#endif

#ifndef QUIETD_LINGER_TIMEOUT_MS
// How long an answered connection whose request was not read whole may go on sending: closing
// over unread bytes resets the connection, which can destroy the answer before it is read.
#define QUIETD_LINGER_TIMEOUT_MS 2000
#endif

#ifndef QUIETD_DEFER_ACCEPT_SECONDS
// How long the kernel may keep a silent new connection to itself before handing it over.
#define QUIETD_DEFER_ACCEPT_SECONDS 30
#endif

inline constexpr int kRequestTimeoutMs = QUIETD_REQUEST_TIMEOUT_MS;
inline constexpr int kLingerTimeoutMs = QUIETD_LINGER_TIMEOUT_MS;
inline constexpr int kDeferAcceptSeconds = QUIETD_DEFER_ACCEPT_SECONDS;
