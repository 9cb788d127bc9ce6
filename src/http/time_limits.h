// How long the serving loop lets each kind of wait last. A test build shortens them with
// compile definitions of the same names (see CMakeLists.txt), so that expiry, the end of
// lingering and the kernel's hand-over are reached in seconds; the shipped binary never does.
#pragma once

#ifndef QUIETD_REQUEST_TIMEOUT_MS
// How long a connection may wait in the loop for its request. Waiting costs the other clients
// nothing, so the limit is generous: browsers open connections ahead of need and may use one
// many seconds later, and a connection closed just before its use costs the page a retry.
// Sixty seconds is what general web servers give a request head.
#define QUIETD_REQUEST_TIMEOUT_MS 60000
#endif

#ifndef QUIETD_LINGER_TIMEOUT_MS
// How long an answered connection whose request was not read whole may go on sending before
// it is closed: closing over unread bytes resets the connection, and the reset can destroy the
// answer before the peer reads it. A local peer sends the rest of any request well within it.
#define QUIETD_LINGER_TIMEOUT_MS 2000
#endif

#ifndef QUIETD_DEFER_ACCEPT_SECONDS
// How long the kernel may keep a silent new connection to itself before handing it over.
#define QUIETD_DEFER_ACCEPT_SECONDS 30
#endif

inline constexpr int kRequestTimeoutMs = QUIETD_REQUEST_TIMEOUT_MS;
inline constexpr int kLingerTimeoutMs = QUIETD_LINGER_TIMEOUT_MS;
inline constexpr int kDeferAcceptSeconds = QUIETD_DEFER_ACCEPT_SECONDS;
