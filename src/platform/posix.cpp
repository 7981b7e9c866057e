// The POSIX backend: COM ports through termios and poll; Bluetooth emulated
// through AF_UNIX stream sockets, or bluetoothd's (see README, "Linux mapping").
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_bluez.h"
#include "platform/query_record.h"

namespace {

// ---- COM device names ----------------------------------------------------------

constexpr char device_namespace_prefix[] = "\\\\.\\";
constexpr char com_prefix[] = "COM";
constexpr char com_dir_variable[] = "WQ_COM_DIR";
constexpr char default_tty_prefix[] = "/dev/ttyS";

// "COMn" or "\\.\COMn" becomes $WQ_COM_DIR/COMn, or /dev/ttyS<n-1> when the
// variable is unset. Anything else names no port.
bool device_path(const char* device_name, std::string* path) {
    std::string name = device_name;
    if (name.rfind(device_namespace_prefix, 0) == 0) name.erase(0, sizeof device_namespace_prefix - 1);
    if (name.rfind(com_prefix, 0) != 0) return false;
    const std::string digits = name.substr(sizeof com_prefix - 1);
    if (digits.empty() || digits.size() > 2 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    if (const char* dir = std::getenv(com_dir_variable); dir && *dir) {
        *path = std::string(dir) + "/" + name;
        return true;
    }
    const int number = std::atoi(digits.c_str());
    if (number < 1) return false;
    *path = default_tty_prefix + std::to_string(number - 1);
    return true;
}

int fd_of(plat_handle handle) { return static_cast<int>(handle); }

// ---- which descriptors are ours --------------------------------------------------
//
// The host hands port and socket numbers back to us, and POSIX reuses a
// closed number at once: a stale or made-up value may name the host's
// standard input, a file or someone else's socket. The library keeps no
// table of what it opened (it has no globals), so before every call acts on
// a number the backend asks the kernel whether the descriptor is one of the
// kind it opens: above the standard streams (it never hands those out);
// for a port a terminal in exclusive mode, as plat_create_file leaves it
// (TIOCGEXCL), or one that has hung up; for a socket a stream socket of the
// UNIX or Bluetooth family.
// Anything else fails as an invalid handle does on Windows.
//
// The limit: these are facts about the descriptor, not proof that we opened
// it. A terminal the host itself set exclusive or that hung up, or a UNIX
// stream socket of its own whose number it passes by mistake, still passes.
constexpr std::uint64_t last_standard_stream = 2;

bool in_descriptor_range(std::uint64_t value) {
    return value > last_standard_stream && value <= static_cast<std::uint64_t>(INT_MAX);
}

bool is_our_port(plat_handle handle) {
    if (!in_descriptor_range(handle)) return false;
    const int fd = fd_of(handle);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0) return exclusive != 0;
    // A line that hung up (a pulled adapter, a box that dropped the line)
    // answers every terminal request with EIO. It was a terminal, and must
    // still be closed; reading and writing it only report the error.
    return errno == EIO;
}

bool is_our_socket(std::uint64_t socket) {
    if (!in_descriptor_range(socket)) return false;
    const int fd = fd_of(socket);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
    int type = 0;
    int domain = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return false;
    length = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) return false;
    return type == SOCK_STREAM && (domain == AF_UNIX || domain == AF_BLUETOOTH);
}

// A port call on a descriptor that is not ours: ERROR_INVALID_HANDLE.
bool not_our_port() {
    errno = EBADF;
    return false;
}

// Moves a fresh descriptor above the standard streams (a host that closed
// its stdin makes open() return 0), so that no handle we hand out is one
// of them. -1 when it cannot be moved; the original is closed either way.
int above_standard_streams(int fd) {
    if (fd < 0 || fd > static_cast<int>(last_standard_stream)) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, static_cast<int>(last_standard_stream) + 1);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// ---- time ---------------------------------------------------------------------

using steady = std::chrono::steady_clock;

// What is left until the deadline, for ppoll; zero once it has passed. Kept
// in nanoseconds so that no wait is cut short by rounding to milliseconds.
timespec time_left(steady::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - steady::now());
    if (left.count() <= 0) return timespec{0, 0};
    return timespec{static_cast<time_t>(left.count() / 1000000000),
                    static_cast<long>(left.count() % 1000000000)};
}

// Waits for `events` on `fd` until the deadline; true when they came. The
// wait never ends before the deadline: a wake-up ahead of it waits again.
bool wait_for(int fd, short events, steady::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const timespec left = time_left(deadline);
        const int ready = ::ppoll(&p, 1, &left, nullptr);
        if (ready > 0) return true;
        if (ready == 0 && steady::now() >= deadline) return false;
        if (ready < 0 && errno != EINTR) return true;  // let the read or write report it
    }
}

// Sleeps until the deadline, never waking before it.
void sleep_until(steady::time_point deadline) {
    while (steady::now() < deadline) {
        const timespec left = time_left(deadline);
        ::ppoll(nullptr, 0, &left, nullptr);
    }
}

// ---- serial time-outs ------------------------------------------------------------
//
// A port's time-outs are kept in the tty itself, in the VTIME (read) and VMIN
// (write) slots, in tenths of a second: the descriptor is non-blocking, so
// the kernel ignores both slots, and the library needs no table of its own.

constexpr std::uint32_t ms_per_slot_unit = 100;
constexpr std::uint32_t largest_slot_value = 255;

cc_t to_slot(std::uint32_t milliseconds) {
    const std::uint32_t units = (milliseconds + ms_per_slot_unit - 1) / ms_per_slot_unit;
    return static_cast<cc_t>(units > largest_slot_value ? largest_slot_value : units);
}

bool port_time_outs(int fd, std::uint32_t* read_ms, std::uint32_t* write_ms) {
    termios tty{};
    if (::tcgetattr(fd, &tty) != 0) return false;
    *read_ms = tty.c_cc[VTIME] * ms_per_slot_unit;
    *write_ms = tty.c_cc[VMIN] * ms_per_slot_unit;
    return true;
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

// How many bytes the line carries in `milliseconds`; no limit when the rate
// is unknown.
std::uint32_t bytes_within(std::uint32_t milliseconds, std::uint32_t baud) {
    if (baud == 0) return UINT32_MAX;
    return static_cast<std::uint32_t>(std::uint64_t{milliseconds} * baud / bits_per_byte / 1000);
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
        if (!wait_for(fd, POLLOUT, deadline)) break;  // time-out: a short write
    }
    return true;
}

// Waits until the output queue is empty or the deadline passed; what is then
// still queued is dropped, and how many bytes that was is returned. A
// driver that cannot tell its queue counts as empty.
std::uint32_t still_queued_at(int fd, steady::time_point deadline, std::uint32_t baud) {
    constexpr auto recheck = std::chrono::milliseconds(1);
    for (;;) {
        int left = 0;
        if (::ioctl(fd, TIOCOUTQ, &left) != 0 || left <= 0) return 0;
        const auto now = steady::now();
        if (now >= deadline) {
            ::tcflush(fd, TCOFLUSH);
            return static_cast<std::uint32_t>(left);
        }
        const auto drained = now + std::max<steady::duration>(line_time(static_cast<std::uint32_t>(left), baud), recheck);
        sleep_until(std::min(drained, deadline));
    }
}

}  // namespace

// ---- serial port ---------------------------------------------------------------

plat_handle plat_create_file(const char* device_name) {
    std::string path;
    if (!device_path(device_name, &path)) return plat_invalid_handle;
    const int fd = above_standard_streams(
        ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) return plat_invalid_handle;
    // No sharing: TIOCEXCL keeps other openers out, but not root, so an
    // advisory lock guards against every opener that asks, root included.
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
    termios tty{};
    if (::tcgetattr(fd_of(handle), &tty) != 0) return false;
    tty.c_cc[VTIME] = to_slot(timeouts.read_total_constant);
    tty.c_cc[VMIN] = to_slot(timeouts.write_total_constant);
    return ::tcsetattr(fd_of(handle), TCSANOW, &tty) == 0;
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
    // Keep the time-outs that plat_set_comm_timeouts stored.
    termios current{};
    if (::tcgetattr(fd, &current) != 0) return false;
    tty.c_cc[VTIME] = current.c_cc[VTIME];
    tty.c_cc[VMIN] = current.c_cc[VMIN];
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
    std::uint32_t read_ms = 0;
    std::uint32_t write_ms = 0;
    std::uint32_t baud = 0;
    if (!port_time_outs(fd, &read_ms, &write_ms) || !port_baud(fd, &baud)) return false;
    const auto start = steady::now();
    // A write time-out of 0 is none at all, as on Windows.
    const auto deadline =
        write_ms == 0 ? steady::time_point::max() : start + std::chrono::milliseconds(write_ms);
    // A UART sends no faster than its line: what cannot leave within the
    // write time-out is not sent at all, and the write comes back short.
    const std::uint32_t sendable =
        write_ms == 0 ? count : std::min(count, bytes_within(write_ms, baud));
    std::uint32_t queued = 0;
    if (!queue_bytes(fd, static_cast<const unsigned char*>(data), sendable, deadline, &queued)) {
        return false;
    }
    // Done when the bytes have left the port: their line time has passed
    // (a pseudo-terminal takes them at once and reports no queue) and the
    // output queue is empty; whatever is still queued at the deadline is
    // dropped and not counted.
    sleep_until(std::min(start + line_time(queued, baud), deadline));
    *done = queued - still_queued_at(fd, deadline, baud);
    return true;
}

bool plat_read_file(plat_handle handle, void* buffer, std::uint32_t count, std::uint32_t* done) {
    *done = 0;
    if (!is_our_port(handle)) return not_our_port();
    const int fd = fd_of(handle);
    std::uint32_t read_ms = 0;
    std::uint32_t write_ms = 0;
    if (!port_time_outs(fd, &read_ms, &write_ms)) return false;
    const auto deadline = steady::now() + std::chrono::milliseconds(read_ms);
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (*done < count) {
        if (!wait_for(fd, POLLIN, deadline)) break;  // time-out: fewer bytes
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

// ---- waits and heap -------------------------------------------------------------

void plat_sleep_ms(std::uint32_t milliseconds) {
    sleep_until(steady::now() + std::chrono::milliseconds(milliseconds));
}
void plat_sleep_s(std::uint32_t seconds) { sleep_until(steady::now() + std::chrono::seconds(seconds)); }

void* plat_heap_alloc(std::size_t bytes) { return std::calloc(1, bytes ? bytes : 1); }
void plat_heap_free(void* block) { std::free(block); }

// ---- socket layer ----------------------------------------------------------------
//
// With WQ_BT_DIR set Bluetooth is emulated (README, "Linux mapping"): the
// known devices are the lines of $WQ_BT_DIR/devices, and connecting to a
// device opens the AF_UNIX stream socket $WQ_BT_DIR/XX:XX:XX:XX:XX:XX.
// Without it the devices are bluetoothd's and the connection its RFCOMM
// socket to the box's serial port service (posix_bluez.cpp). From the
// connect on everything is a real kernel socket.
//
// The last error lives in errno, so the backend keeps no state of its own: a
// failing system call leaves its errno there, and a failure this backend
// reports itself stores either an errno value or a Windows Sockets code. The
// codes are all above 10000, far beyond any errno value, so
// plat_wsa_get_last_error maps the first kind and passes the second through.

namespace {

constexpr char bt_dir_variable[] = "WQ_BT_DIR";
constexpr char known_devices_file[] = "devices";

constexpr int first_wsa_code = 10000;
constexpr int wsaeinval = 10022;

// The packed SOCKADDR_BTH: family (2 bytes), btAddr (8), service class (16),
// port (4), all little-endian.
constexpr std::size_t bth_address_size = 30;
constexpr std::size_t bth_addr_offset = 2;
constexpr std::size_t bth_addr_width = 8;
constexpr std::uint16_t af_bth = 32;

// "XX:XX:XX:XX:XX:XX": six hex pairs, colons between them.
constexpr std::size_t radio_text_length = 17;
constexpr std::size_t radio_text_pair_stride = 3;
constexpr std::uint64_t radio_address_mask = 0xFFFFFFFFFFFFull;
constexpr char radio_text_format[] = "%02X:%02X:%02X:%02X:%02X:%02X";
constexpr char name_separator = ' ';

int fail_with(int error) {
    errno = error;
    return plat_socket_error;
}

const char* bt_dir() {
    const char* dir = std::getenv(bt_dir_variable);
    return dir && *dir ? dir : nullptr;
}

// ---- errno to Windows Sockets codes ----

struct wsa_mapping {
    int error;
    int code;
};

constexpr wsa_mapping wsa_codes[] = {
    {EAGAIN, 10060},       {EWOULDBLOCK, 10060},   {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ENOENT, 10061},        {ECONNRESET, 10054},
    {EPIPE, 10054},        {ECONNABORTED, 10053},  {EBADF, 10038},
    {ENOTSOCK, 10038},     {EINVAL, 10022},        {EAFNOSUPPORT, 10047},
    {EMFILE, 10024},       {ENOBUFS, 10055},       {ENETDOWN, 10050},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
    // The closest codes of the rest.
    {EINTR, 10004},        {EACCES, 10013},        {EPERM, 10013},
    {EFAULT, 10014},       {EINPROGRESS, 10036},   {EALREADY, 10037},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},      {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},  {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ENOMEM, 10055},       {ENFILE, 10024},        {EISCONN, 10056},
    {ENOTCONN, 10057},     {ESHUTDOWN, 10058},     {ETOOMANYREFS, 10059},
    {ELOOP, 10062},        {ENAMETOOLONG, 10063},  {ENOTEMPTY, 10066},
    {EUSERS, 10068},       {EDQUOT, 10069},        {ESTALE, 10070},
    {EREMOTE, 10071},
};

int wsa_code_of(int error) {
    if (error >= first_wsa_code) return error;
    for (const wsa_mapping& mapping : wsa_codes) {
        if (mapping.error == error) return mapping.code;
    }
    return wsaeinval;
}

// ---- addresses ----

std::uint64_t radio_address_of(const unsigned char address[bth_address_size]) {
    std::uint64_t value = 0;
    for (std::size_t i = bth_addr_width; i-- > 0;) value = (value << 8) | address[bth_addr_offset + i];
    return value & radio_address_mask;
}

void socket_address_of(std::uint64_t radio, unsigned char address[bth_address_size]) {
    std::memset(address, 0, bth_address_size);
    address[0] = static_cast<unsigned char>(af_bth & 0xFF);
    address[1] = static_cast<unsigned char>(af_bth >> 8);
    for (std::size_t i = 0; i < bth_addr_width; ++i) {
        address[bth_addr_offset + i] = static_cast<unsigned char>(radio >> (8 * i));
    }
}

std::uint16_t family_of(const unsigned char address[bth_address_size]) {
    return static_cast<std::uint16_t>(address[0] | (address[1] << 8));
}

// "XX:XX:XX:XX:XX:XX", upper-case hex.
void radio_text(std::uint64_t radio, char (&text)[radio_text_length + 1]) {
    std::snprintf(text, sizeof text, radio_text_format, static_cast<unsigned>((radio >> 40) & 0xFF),
                  static_cast<unsigned>((radio >> 32) & 0xFF),
                  static_cast<unsigned>((radio >> 24) & 0xFF),
                  static_cast<unsigned>((radio >> 16) & 0xFF),
                  static_cast<unsigned>((radio >> 8) & 0xFF), static_cast<unsigned>(radio & 0xFF));
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The radio address at the start of `line`; false when it is not one.
// Lower-case hex digits are accepted as well.
bool parse_radio_address(const std::string& line, std::uint64_t* radio) {
    if (line.size() < radio_text_length) return false;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < radio_text_length; ++i) {
        if (i % radio_text_pair_stride == radio_text_pair_stride - 1) {
            if (line[i] != ':') return false;
            continue;
        }
        const int digit = hex_digit(line[i]);
        if (digit < 0) return false;
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    *radio = value;
    return true;
}

// ---- the known devices ----

struct known_device {
    std::string name;  // empty: the device is reported without a name
    unsigned char address[bth_address_size];
};

// One line of the devices file: the address, then either nothing or one
// space and the name, whose bytes are taken as they stand. A CR before the
// line end is dropped. False for a blank or malformed line.
bool parse_device_line(std::string line, known_device* device) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::uint64_t radio = 0;
    if (!parse_radio_address(line, &radio)) return false;
    if (line.size() > radio_text_length && line[radio_text_length] != name_separator) return false;
    device->name = line.size() > radio_text_length ? line.substr(radio_text_length + 1) : "";
    socket_address_of(radio, device->address);
    return true;
}

// getline's buffer, given back on every path.
struct line_buffer {
    char* text = nullptr;
    std::size_t capacity = 0;
    line_buffer() = default;
    line_buffer(const line_buffer&) = delete;
    line_buffer& operator=(const line_buffer&) = delete;
    ~line_buffer() { std::free(text); }
};

// Reads $WQ_BT_DIR/devices. A missing file means no known devices; a file
// that is there but cannot be read fails the lookup with its errno.
bool read_known_devices(const char* dir, std::vector<known_device>* devices) {
    const std::string path = std::string(dir) + "/" + known_devices_file;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbe"),
                                                              &std::fclose);
    if (!file) return errno == ENOENT;
    line_buffer buffer;
    ssize_t length = 0;
    while ((length = ::getline(&buffer.text, &buffer.capacity, file.get())) >= 0) {
        std::string line(buffer.text, static_cast<std::size_t>(length));
        if (!line.empty() && line.back() == '\n') line.pop_back();
        known_device device{};
        if (parse_device_line(std::move(line), &device)) devices->push_back(device);
    }
    if (std::ferror(file.get())) {
        errno = EIO;
        return false;
    }
    return true;
}

// bluetoothd's devices, in the same form; false with errno set.
bool read_bluez_devices(std::vector<known_device>* devices) {
    std::vector<bluez_device> found;
    if (!bluez_known_devices(&found)) return false;
    for (const bluez_device& device : found) {
        std::uint64_t radio = 0;
        if (!parse_radio_address(device.address, &radio)) continue;
        known_device known{device.name, {}};
        socket_address_of(radio, known.address);
        devices->push_back(known);
    }
    return true;
}

// A lookup handle points at one of these, from begin to end.
struct lookup_state {
    std::vector<known_device> devices;
    std::size_t next = 0;
};

lookup_state* state_of(plat_lookup_handle lookup) {
    return reinterpret_cast<lookup_state*>(static_cast<std::uintptr_t>(lookup));
}

// The receive time-out the socket keeps, in milliseconds; 0 waits forever.
// The kernel holds it in its own ticks, so a value that is not a whole
// number of ticks reads back rounded up to one.
bool receive_timeout_ms(int fd, std::uint32_t* milliseconds) {
    timeval timeout{};
    socklen_t length = sizeof timeout;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length) != 0) return false;
    *milliseconds = static_cast<std::uint32_t>(timeout.tv_sec * 1000 + (timeout.tv_usec + 999) / 1000);
    return true;
}

bool retry_after(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

// The kernel's sockets need no start-up, and the pairs are the caller's
// business, so there is nothing to count.
int plat_wsa_startup(std::uint16_t) { return 0; }
int plat_wsa_cleanup() { return 0; }
int plat_wsa_get_last_error() { return wsa_code_of(errno); }

void plat_query_prepare(void* record) { portable_query_prepare(record); }

// The devices file, or bluetoothd, is read once, here; the flags change
// nothing, as every result carries both name and address.
int plat_lookup_begin(void* record, std::uint32_t, plat_lookup_handle* lookup) {
    const char* dir = bt_dir();
    const auto* query = static_cast<const portable_query_record*>(record);
    if (query->size != plat_query_record_size || query->name_space != portable_ns_bth) {
        return fail_with(EINVAL);
    }
    auto* state = new (std::nothrow) lookup_state;
    if (!state) return fail_with(ENOBUFS);
    bool read = false;
    try {
        read = dir ? read_known_devices(dir, &state->devices) : read_bluez_devices(&state->devices);
    } catch (const std::bad_alloc&) {
        errno = ENOBUFS;
    }
    if (!read) {
        const int error = errno;
        delete state;
        return fail_with(error);
    }
    *lookup = reinterpret_cast<std::uintptr_t>(state);
    return 0;
}

int plat_lookup_next(plat_lookup_handle lookup, std::uint32_t, std::uint32_t* size, void* record) {
    lookup_state* state = state_of(lookup);
    if (!state) return fail_with(EBADF);
    if (state->next >= state->devices.size()) return fail_with(plat_wsa_e_no_more);
    const known_device& device = state->devices[state->next];
    const char* name = device.name.empty() ? nullptr : device.name.c_str();
    if (!portable_query_fill(record, size, name, device.name.size(), device.address)) {
        return fail_with(plat_wsaefault);
    }
    ++state->next;
    return 0;
}

int plat_lookup_end(plat_lookup_handle lookup) {
    lookup_state* state = state_of(lookup);
    if (!state) return fail_with(EBADF);
    delete state;
    return 0;
}

const char* plat_query_name(const void* record) { return portable_query_name(record); }
bool plat_query_remote_address(const void* record, unsigned char address[30]) {
    return portable_query_remote_address(record, address);
}

// A stream socket of its own either way: for bluetoothd's connection it
// holds the descriptor number until the connect puts the RFCOMM socket there.
plat_socket plat_socket_open() {
    const int fd = above_standard_streams(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd < 0 ? plat_invalid_socket : static_cast<plat_socket>(fd);
}

// Only the low 48 bits of btAddr name a radio. The emulated box has one
// service only; bluetoothd is asked for the serial port service, which is
// what the RFCOMM service class with port 0 finds on a box.
int plat_connect(plat_socket socket, const unsigned char address[30]) {
    if (!is_our_socket(socket)) return fail_with(ENOTSOCK);
    if (family_of(address) != af_bth) return fail_with(EAFNOSUPPORT);
    char radio[radio_text_length + 1];
    radio_text(radio_address_of(address), radio);
    const char* dir = bt_dir();
    if (!dir) return bluez_connect_serial_port(fd_of(socket), radio);
    sockaddr_un box{};
    box.sun_family = AF_UNIX;
    const int length = std::snprintf(box.sun_path, sizeof box.sun_path, "%s/%s", dir, radio);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof box.sun_path) {
        return fail_with(ENAMETOOLONG);
    }
    if (::connect(fd_of(socket), reinterpret_cast<const sockaddr*>(&box), sizeof box) != 0) {
        return plat_socket_error;
    }
    return 0;
}

// The receive time-out is stored in the socket itself (SO_RCVTIMEO), where
// plat_recv reads it back; the buffer sizes are set for real.
int plat_set_socket_option(plat_socket socket, plat_socket_option option, std::uint32_t value) {
    if (!is_our_socket(socket)) return fail_with(ENOTSOCK);
    const int fd = fd_of(socket);
    if (option == plat_socket_option::receive_timeout) {
        const timeval timeout{static_cast<time_t>(value / 1000),
                              static_cast<suseconds_t>((value % 1000) * 1000)};
        return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0
                   ? 0
                   : plat_socket_error;
    }
    if (value > INT_MAX) return fail_with(EINVAL);
    const int bytes = static_cast<int>(value);
    const int name = option == plat_socket_option::send_buffer ? SO_SNDBUF : SO_RCVBUF;
    return ::setsockopt(fd, SOL_SOCKET, name, &bytes, sizeof bytes) == 0 ? 0 : plat_socket_error;
}

// Sends everything or fails, as a blocking Windows send does. MSG_NOSIGNAL:
// a peer that went away is an error code, not a SIGPIPE.
int plat_send(plat_socket socket, const void* data, int length) {
    if (!is_our_socket(socket)) return fail_with(ENOTSOCK);
    if (length < 0) return fail_with(EINVAL);
    const auto* bytes = static_cast<const unsigned char*>(data);
    int sent = 0;
    while (sent < length) {
        const ssize_t n = ::send(fd_of(socket), bytes + sent, static_cast<std::size_t>(length - sent),
                                 MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // never seen on a stream socket; reported, not looped on
        return plat_socket_error;
    }
    return sent;
}

// The time-out is realised with poll and a deadline: the kernel's own
// SO_RCVTIMEO overshoots by several ms, and the receive must give up when
// the protocol says, not later.
int plat_recv(plat_socket socket, void* buffer, int length) {
    if (!is_our_socket(socket)) return fail_with(ENOTSOCK);
    if (length < 0) return fail_with(EINVAL);
    const int fd = fd_of(socket);
    std::uint32_t timeout_ms = 0;
    if (!receive_timeout_ms(fd, &timeout_ms)) return plat_socket_error;
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    const int wait_flags = timeout_ms == 0 ? 0 : MSG_DONTWAIT;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, static_cast<std::size_t>(length), wait_flags);
        if (n >= 0) return static_cast<int>(n);
        if (!retry_after(errno)) return plat_socket_error;
        if (wait_flags != 0 && !wait_for(fd, POLLIN, deadline)) return fail_with(ETIMEDOUT);
    }
}

int plat_close_socket(plat_socket socket) {
    if (!is_our_socket(socket)) return fail_with(ENOTSOCK);
    const int last_error = errno;
    if (::close(fd_of(socket)) != 0) return plat_socket_error;
    errno = last_error;  // a successful close leaves the last error as it was
    return 0;
}
