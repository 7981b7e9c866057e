// The POSIX backend's shared pieces (posix_common.h), its waits and its heap.
#include "platform/posix_common.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

namespace posix {

int above_standard_streams(int fd) {
    if (fd < 0 || fd > static_cast<int>(last_standard_stream)) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, static_cast<int>(last_standard_stream) + 1);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

timespec time_left(steady::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - steady::now());
    if (left.count() <= 0) return timespec{0, 0};
    return timespec{static_cast<time_t>(left.count() / 1000000000),
                    static_cast<long>(left.count() % 1000000000)};
}

bool wait_for(int fd, short events, steady::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const timespec left = time_left(deadline);
        const int ready = ::ppoll(&p, 1, &left, nullptr);
        if (ready > 0) return true;
        if (ready == 0 && steady::now() >= deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        if (ready < 0 && errno != EINTR) return false;
    }
}

void sleep_until(steady::time_point deadline) {
    while (steady::now() < deadline) {
        const timespec left = time_left(deadline);
        ::ppoll(nullptr, 0, &left, nullptr);
    }
}

}  // namespace posix

using posix::steady;

// ---- waits and heap ----

void plat_sleep_ms(std::uint32_t milliseconds) {
    posix::sleep_until(steady::now() + std::chrono::milliseconds(milliseconds));
}
void plat_sleep_s(std::uint32_t seconds) {
    posix::sleep_until(steady::now() + std::chrono::seconds(seconds));
}

void* plat_heap_alloc(std::size_t bytes) { return std::calloc(1, bytes ? bytes : 1); }
void plat_heap_free(void* block) { std::free(block); }
