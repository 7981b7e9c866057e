// The POSIX backend's serial half: COM ports through termios and poll (see
// README, "Linux mapping").
#include "platform/posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "platform/platform.h"
#include "platform/posix_com_numbers.h"

namespace {

using posix::fd_of;
using posix::sleep_until;
using posix::steady;

// ---- COM device names ----------------------------------------------------------

constexpr char device_namespace_prefix[] = "\\\\.\\";
constexpr char com_prefix[] = "COM";

// "COMn" or "\\.\COMn" becomes the device the COM-number rule gives n
// (posix_com_numbers.cpp). Anything else names no port.
bool device_path(const char* device_name, std::string* path) {
    std::string name = device_name;
    if (name.rfind(device_namespace_prefix, 0) == 0) name.erase(0, sizeof device_namespace_prefix - 1);
    if (name.rfind(com_prefix, 0) != 0) return false;
    const std::string digits = name.substr(sizeof com_prefix - 1);
    if (digits.empty() || digits.size() > 2 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *path = com_numbers::device_path(std::atoi(digits.c_str()));
    return !path->empty();
}

// ---- which descriptors are ours ----
//
// A port is a character device on which this open file holds the library's
// exclusive flock. The kernel lists a flock in /proc/self/fdinfo/<fd> only
// for the open file it was taken through (and its duplicates), and only the
// holder can drop it: unlike TIOCEXCL, a flag of the terminal that every
// opener shares and anyone's TIOCNXCL clears, or that a host sets on its own
// terminal. The lock outlives a hang-up, so a line that dropped is still ours
// to close. The limit: a terminal the host itself locked with flock passes.

constexpr char fdinfo_dir[] = "/proc/self/fdinfo/";
constexpr char lock_line[] = "\nlock:";
constexpr char flock_kind[] = " FLOCK ";
constexpr char exclusive_mode[] = " WRITE ";

bool holds_our_lock(int fd) {
    const int info = ::open((fdinfo_dir + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (info < 0) return false;
    std::string text = "\n";  // so that every line starts with a line break
    char chunk[512];
    ssize_t n = 0;
    while ((n = ::read(info, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
    ::close(info);
    for (std::size_t at = text.find(lock_line); at != std::string::npos; at = text.find(lock_line, at + 1)) {
        const std::string line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
        if (line.find(flock_kind) != std::string::npos && line.find(exclusive_mode) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool is_our_port(plat_handle handle) {
    if (!posix::in_descriptor_range(handle)) return false;
    const int fd = fd_of(handle);
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && holds_our_lock(fd);
}

// A port call on a descriptor that is not ours: ERROR_INVALID_HANDLE.
bool not_our_port() {
    errno = EBADF;
    return false;
}

// ---- serial time-outs ------------------------------------------------------------
//
// A port's time-outs must stay with the port: the library keeps no table and
// the backend is handed nothing but the descriptor. They are kept in the
// terminal's window size (TIOCSWINSZ): four 16-bit numbers the kernel keeps
// for every tty and hands back untouched, which nothing on a raw serial line
// reads (the port is opened O_NOCTTY, so no process group is told of a
// change). termios has no such room: VMIN and VTIME decide when poll reports
// input, even on a non-blocking descriptor.
//
// Each total time-out is the multiplier times the byte count plus the
// constant, in milliseconds; both zero means none, as on Windows: a read then
// waits until all its bytes came, a write until all of its bytes left. The
// read interval time-out is refused, as are values above 65535 ms: the
// library uses neither.

constexpr std::uint32_t largest_time_out = std::numeric_limits<unsigned short>::max();

struct time_outs {
    std::uint32_t read_multiplier, read_constant, write_multiplier, write_constant;
};

bool port_time_outs(int fd, time_outs* out) {
    winsize stored{};
    if (::ioctl(fd, TIOCGWINSZ, &stored) != 0) return false;
    *out = {stored.ws_row, stored.ws_col, stored.ws_xpixel, stored.ws_ypixel};
    return true;
}

// The deadline of a call that began at `start`: never, when both are zero
// (or when the product runs past what the clock can hold).
steady::time_point deadline_of(steady::time_point start, std::uint32_t multiplier, std::uint32_t constant,
                               std::uint32_t count) {
    constexpr std::uint64_t longest_ms = std::uint64_t{1} << 40;  // 34 years
    const std::uint64_t total_ms = std::uint64_t{multiplier} * count + constant;
    if (total_ms == 0 || total_ms > longest_ms) return steady::time_point::max();
    return start + std::chrono::milliseconds(total_ms);
}

speed_t speed_of(std::uint32_t baud_rate) {
    switch (baud_rate) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
    }
}

std::uint32_t baud_of(speed_t speed) {
    for (std::uint32_t rate : {1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u}) {
        if (speed_of(rate) == speed) return rate;
    }
    return 0;
}

// Raises or drops one modem line. A pseudo-terminal has no modem lines; the
// request then fails and there is nothing to drop.
void set_modem_line(int fd, int line, bool raised) {
    ::ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line);
}

// The rate the port was set to, 0 when it is none we know.
bool port_baud(int fd, std::uint32_t* baud) {
    termios tty{};
    if (::tcgetattr(fd, &tty) != 0) return false;
    *baud = baud_of(::cfgetospeed(&tty));
    return true;
}

constexpr std::uint32_t bits_per_byte = 10;  // start bit, eight data bits, stop bit

// How long `count` bytes take on the line; no time when the rate is unknown.
steady::duration line_time(std::uint32_t count, std::uint32_t baud) {
    if (baud == 0) return steady::duration::zero();
    return std::chrono::duration_cast<steady::duration>(
        std::chrono::nanoseconds(std::int64_t{count} * bits_per_byte * 1000000000 / baud));
}

// How many bytes the line carries between `start` and `deadline`; no limit
// when the rate is unknown or there is no deadline.
std::uint32_t bytes_within(steady::time_point start, steady::time_point deadline, std::uint32_t baud) {
    if (baud == 0 || deadline == steady::time_point::max()) return UINT32_MAX;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - start).count();
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::uint64_t(us) * baud / bits_per_byte / 1000000, UINT32_MAX));
}

// Waits for `events` until the deadline. False when the deadline passed
// (*timed_out) or the wait failed (errno says why).
bool wait_for(int fd, short events, steady::time_point deadline, bool* timed_out) {
    if (posix::wait_for(fd, events, deadline)) return true;
    *timed_out = errno == ETIMEDOUT;
    return false;
}

// Hands `count` bytes to the driver, waiting for room until the deadline.
bool queue_bytes(int fd, const unsigned char* bytes, std::uint32_t count,
                 steady::time_point deadline, std::uint32_t* queued) {
    while (*queued < count) {
        const ssize_t n = ::write(fd, bytes + *queued, count - *queued);
        if (n > 0) {
            *queued += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        bool timed_out = false;
        if (!wait_for(fd, POLLOUT, deadline, &timed_out)) return timed_out;  // time-out: a short write
    }
    return true;
}

}  // namespace

namespace posix {

std::uint32_t undelivered_bytes(std::uint32_t queued, steady::time_point deadline,
                                const std::function<int()>& queue_count) {
    constexpr auto recheck = std::chrono::milliseconds(1);
    for (;;) {
        // A driver may count more than this write gave it (cdc-acm counts
        // every busy URB whole), so its count is taken as at most ours.
        const int reported = queue_count();
        const std::uint32_t left = reported <= 0 ? 0 : std::min(static_cast<std::uint32_t>(reported), queued);
        if (left == 0) return 0;
        const auto now = steady::now();
        if (now >= deadline) return left;
        sleep_until(std::min(now + recheck, deadline));
    }
}

}  // namespace posix

// ---- serial port ---------------------------------------------------------------

plat_handle plat_create_file(const char* device_name) {
    std::string path;
    if (!device_path(device_name, &path)) return plat_invalid_handle;
    const int fd = posix::above_standard_streams(
        ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) return plat_invalid_handle;
    // No sharing: the flock refuses every opener that asks, root included,
    // and marks the descriptor as ours; TIOCEXCL keeps out the others that
    // do not ask, except root.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return plat_invalid_handle;
    }
    return static_cast<plat_handle>(fd);
}

bool plat_flush_file_buffers(plat_handle handle) {
    if (!is_our_port(handle)) return not_our_port();
    return ::tcdrain(fd_of(handle)) == 0;
}

bool plat_set_comm_timeouts(plat_handle handle, const plat_comm_timeouts& timeouts) {
    if (!is_our_port(handle)) return not_our_port();
    const std::uint32_t values[] = {timeouts.read_total_multiplier, timeouts.read_total_constant,
                                    timeouts.write_total_multiplier, timeouts.write_total_constant};
    if (timeouts.read_interval != 0 ||
        std::any_of(std::begin(values), std::end(values), [](std::uint32_t v) { return v > largest_time_out; })) {
        errno = EINVAL;
        return false;
    }
    winsize stored{};
    stored.ws_row = static_cast<unsigned short>(timeouts.read_total_multiplier);
    stored.ws_col = static_cast<unsigned short>(timeouts.read_total_constant);
    stored.ws_xpixel = static_cast<unsigned short>(timeouts.write_total_multiplier);
    stored.ws_ypixel = static_cast<unsigned short>(timeouts.write_total_constant);
    return ::ioctl(fd_of(handle), TIOCSWINSZ, &stored) == 0;
}

bool plat_get_comm_state(plat_handle handle, plat_line_settings* settings) {
    static_assert(sizeof(termios) <= sizeof settings->native);
    if (!is_our_port(handle)) return not_our_port();
    const int fd = fd_of(handle);
    termios tty{};
    if (::tcgetattr(fd, &tty) != 0) return false;
    std::memcpy(settings->native, &tty, sizeof tty);
    settings->baud_rate = baud_of(::cfgetospeed(&tty));
    switch (tty.c_cflag & CSIZE) {
        case CS5: settings->byte_size = 5; break;
        case CS6: settings->byte_size = 6; break;
        case CS7: settings->byte_size = 7; break;
        default: settings->byte_size = 8; break;
    }
    settings->parity = (tty.c_cflag & PARENB) ? ((tty.c_cflag & PARODD) ? 1 : 2) : 0;
    settings->stop_bits = (tty.c_cflag & CSTOPB) ? 2 : 0;
    settings->out_cts_flow = (tty.c_cflag & CRTSCTS) != 0;
    settings->out_dsr_flow = false;
    settings->out_x = (tty.c_iflag & IXON) != 0;
    settings->in_x = (tty.c_iflag & IXOFF) != 0;
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) == 0) {
        settings->dtr_control = (lines & TIOCM_DTR) ? 1 : 0;
        settings->rts_control = (lines & TIOCM_RTS) ? 1 : 0;
    }
    return true;
}

bool plat_set_comm_state(plat_handle handle, const plat_line_settings& settings) {
    if (!is_our_port(handle)) return not_our_port();
    const int fd = fd_of(handle);
    termios tty{};
    std::memcpy(&tty, settings.native, sizeof tty);
    const speed_t speed = speed_of(settings.baud_rate);
    if (speed == B0) return false;
    // Raw bytes both ways, every flag set explicitly: cfmakeraw alone leaves
    // the stop-bit and both flow-control flags as it found them.
    tty.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tty.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tty.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tty.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tty.c_cflag |= CLOCAL | CREAD;
    switch (settings.byte_size) {
        case 5: tty.c_cflag |= CS5; break;
        case 6: tty.c_cflag |= CS6; break;
        case 7: tty.c_cflag |= CS7; break;
        default: tty.c_cflag |= CS8; break;
    }
    if (settings.parity != 0) tty.c_cflag |= PARENB | (settings.parity == 1 ? PARODD : 0);
    if (settings.stop_bits == 2) tty.c_cflag |= CSTOPB;
    if (settings.out_cts_flow) tty.c_cflag |= CRTSCTS;
    if (settings.out_x) tty.c_iflag |= IXON;
    if (settings.in_x) tty.c_iflag |= IXOFF;
    // poll reports input from the first byte on, and a read of an empty
    // queue fails with EAGAIN rather than returning 0, which stays the sign
    // of a line that hung up.
    tty.c_cc[VMIN] = 1;
    tty.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tty, speed) != 0 || ::cfsetospeed(&tty, speed) != 0) return false;
    if (::tcsetattr(fd, TCSANOW, &tty) != 0) return false;
    set_modem_line(fd, TIOCM_DTR, settings.dtr_control != 0);
    set_modem_line(fd, TIOCM_RTS, settings.rts_control != 0);
    // A freshly opened Windows port starts with both queues empty: nothing
    // an earlier caller left unread may pass for this caller's answer.
    return ::tcflush(fd, TCIOFLUSH) == 0;
}

bool plat_write_file(plat_handle handle, const void* data, std::uint32_t count,
                     std::uint32_t* done) {
    *done = 0;
    if (!is_our_port(handle)) return not_our_port();
    const int fd = fd_of(handle);
    time_outs limits{};
    std::uint32_t baud = 0;
    if (!port_time_outs(fd, &limits) || !port_baud(fd, &baud)) return false;
    const auto start = steady::now();
    const auto deadline = deadline_of(start, limits.write_multiplier, limits.write_constant, count);
    // A UART sends no faster than its line: what cannot leave before the
    // deadline is not sent at all, and the write comes back short.
    const std::uint32_t sendable = std::min(count, bytes_within(start, deadline, baud));
    std::uint32_t queued = 0;
    if (!queue_bytes(fd, static_cast<const unsigned char*>(data), sendable, deadline, &queued)) {
        return false;
    }
    // Done when the bytes have left the port: their line time has passed
    // (a pseudo-terminal takes them at once and reports no queue) and the
    // driver's queue is empty; whatever it still holds at the deadline is
    // dropped and not counted.
    sleep_until(std::min(start + line_time(queued, baud), deadline));
    const std::uint32_t left = posix::undelivered_bytes(queued, deadline, [fd] {
        int count_in_queue = 0;
        return ::ioctl(fd, TIOCOUTQ, &count_in_queue) == 0 ? count_in_queue : -1;
    });
    if (left > 0) ::tcflush(fd, TCOFLUSH);
    *done = queued - left;
    return true;
}

bool plat_read_file(plat_handle handle, void* buffer, std::uint32_t count, std::uint32_t* done) {
    *done = 0;
    if (!is_our_port(handle)) return not_our_port();
    const int fd = fd_of(handle);
    time_outs limits{};
    if (!port_time_outs(fd, &limits)) return false;
    const auto deadline = deadline_of(steady::now(), limits.read_multiplier, limits.read_constant, count);
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (*done < count) {
        bool timed_out = false;
        if (!wait_for(fd, POLLIN, deadline, &timed_out)) return timed_out;  // time-out: fewer bytes
        const ssize_t n = ::read(fd, bytes + *done, count - *done);
        if (n > 0) {
            *done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n == 0) return false;  // the line is gone
        if (errno != EAGAIN && errno != EINTR) return false;
    }
    return true;
}

bool plat_close_handle(plat_handle handle) {
    if (!is_our_port(handle)) return not_our_port();
    const int fd = fd_of(handle);
    // Clear the exclusive mode so that the next open, ours or anyone's, works.
    ::ioctl(fd, TIOCNXCL);
    return ::close(fd) == 0;
}
