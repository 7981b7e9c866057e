// What the POSIX backend's serial and socket halves share: the descriptor
// numbers it hands out, and waits kept to the deadline.
#pragma once

#include <time.h>

#include <chrono>
#include <climits>
#include <cstdint>

namespace posix {

using steady = std::chrono::steady_clock;

// ---- which descriptors are ours ----
//
// The host hands port and socket numbers back to us, and POSIX reuses a
// closed number at once: a stale or made-up value may name the host's
// standard input, a file or someone else's socket. The library keeps no
// table of what it opened (it has no globals), so before every call acts on
// a number each half asks the kernel whether the descriptor is one of the
// kind it opens (is_our_port, is_our_socket). Neither hands out the standard
// streams. Anything else fails as an invalid handle does on Windows.
inline constexpr std::uint64_t last_standard_stream = 2;

inline bool in_descriptor_range(std::uint64_t value) {
    return value > last_standard_stream && value <= static_cast<std::uint64_t>(INT_MAX);
}

inline int fd_of(std::uint64_t handle) { return static_cast<int>(handle); }

// Moves a fresh descriptor above the standard streams (a host that closed
// its stdin makes open() return 0), so that no handle we hand out is one
// of them. -1 when it cannot be moved; the original is closed either way.
int above_standard_streams(int fd);

// ---- time ----

// What is left until the deadline, for ppoll; zero once it has passed. Kept
// in nanoseconds so that no wait is cut short by rounding to milliseconds.
timespec time_left(steady::time_point deadline);

// Waits for `events` on `fd` until the deadline; true when they came, false
// with errno ETIMEDOUT when the deadline passed, or with ppoll's errno when
// the wait itself failed. The wait never ends before the deadline: a wake-up
// ahead of it waits again.
bool wait_for(int fd, short events, steady::time_point deadline);

// Sleeps until the deadline, never waking before it.
void sleep_until(steady::time_point deadline);

}  // namespace posix
