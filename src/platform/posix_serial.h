// What the POSIX backend's serial half exposes for its own tests.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/posix_common.h"

namespace posix {

// How many of the `queued` bytes a write gave the driver it still holds:
// asks `queue_count` (the driver's output-queue count, as TIOCOUTQ says it;
// negative when the driver cannot tell) about every millisecond until the
// queue is empty or the deadline has passed.
std::uint32_t undelivered_bytes(std::uint32_t queued, steady::time_point deadline,
                                const std::function<int()>& queue_count);

}  // namespace posix
