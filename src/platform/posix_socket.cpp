// The POSIX backend's socket half: Bluetooth emulated through AF_UNIX stream
// sockets, or the kernel's (see README, "Linux mapping").
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_bluez.h"
#include "platform/posix_common.h"
#include "platform/posix_rfcomm.h"
#include "platform/query_record.h"

// ---- socket layer ----------------------------------------------------------------
//
// With WQ_BT_DIR set Bluetooth is emulated (README, "Linux mapping"): the
// known devices are the lines of $WQ_BT_DIR/devices, and connecting to a
// device opens the AF_UNIX stream socket $WQ_BT_DIR/XX:XX:XX:XX:XX:XX.
// Without it the devices are bluetoothd's (posix_bluez.cpp) and the
// connection a kernel RFCOMM socket to the box's serial port service
// (posix_rfcomm.cpp). From the connect on everything is a real kernel socket.
//
// The last error lives in errno, so the backend keeps no state of its own: a
// failing system call leaves its errno there, and a failure this backend
// reports itself stores either an errno value or a Windows Sockets code. The
// codes are all above 10000, far beyond any errno value, so
// plat_wsa_get_last_error maps the first kind and passes the second through.

namespace {

using posix::fd_of;
using posix::steady;
using posix::wait_for;

constexpr char bt_dir_variable[] = "WQ_BT_DIR";
constexpr char known_devices_file[] = "devices";

constexpr int first_wsa_code = 10000;
constexpr int wsaeinval = 10022;

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

// ---- which sockets are ours ----
//
// Only the kind of socket this mode hands out: an RFCOMM socket, or with
// WQ_BT_DIR set a UNIX stream socket connected to a box in that directory
// (or one not yet connected nor bound: ours between its socket and connect
// calls, or after a connect that failed). A host's own sockets - its bus
// connection, its display, a socket pair - are none of these.
//
// Frames are received a byte at a time, so the check runs once a byte and
// asks the kernel as little as it can: SO_TYPE fails on anything but a
// socket, and the address tells the family and a box's directory.

bool same_file(const char* a, const char* b) {
    struct stat first {}, second {};
    return ::stat(a, &first) == 0 && ::stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// The directory part of a socket path ("." when it has none).
std::string_view directory_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The library connects to "<dir>/<box>", so the names match and nothing is
// copied; another spelling of the same directory is compared on disk.
bool is_box_directory(std::string_view directory, const char* dir) {
    return directory == dir || same_file(std::string(directory).c_str(), dir);
}

bool is_box_socket(int fd, const char* dir) {
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
        return false;
    }
    sockaddr_un address{};
    length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        // Not connected: ours only if it was never bound either.
        length = sizeof address;
        return errno == ENOTCONN &&
               ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
               address.sun_family == AF_UNIX && length == sizeof address.sun_family;
    }
    if (address.sun_family != AF_UNIX) return false;
    const std::size_t path_length = length > sizeof address.sun_family
                                        ? ::strnlen(address.sun_path, length - sizeof address.sun_family)
                                        : 0;
    if (path_length == 0) return false;  // unnamed (a socket pair) or abstract
    return is_box_directory(directory_of({address.sun_path, path_length}), dir);
}

bool is_our_socket(std::uint64_t socket) {
    if (!posix::in_descriptor_range(socket)) return false;
    const char* dir = bt_dir();
    return dir ? is_box_socket(fd_of(socket), dir) : is_rfcomm_socket(fd_of(socket));
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

// Only the low 48 bits of btAddr name a radio.
std::uint64_t radio_address_of(const unsigned char address[bth_address_size]) {
    return bth_address_radio(address) & radio_address_mask;
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
    bth_address_pack(radio, device->address);
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
        bth_address_pack(radio, known.address);
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
bool plat_query_remote_address(const void* record, unsigned char address[bth_address_size]) {
    return portable_query_remote_address(record, address);
}

// An RFCOMM socket, or for the emulated box a UNIX stream socket. A kernel
// without Bluetooth fails here, as Windows without a Bluetooth stack does.
plat_socket plat_socket_open() {
    const int opened = bt_dir() ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : rfcomm_socket();
    const int fd = posix::above_standard_streams(opened);
    return fd < 0 ? plat_invalid_socket : static_cast<plat_socket>(fd);
}

// The emulated box has one service only; a real box is searched for its
// serial port service, which is what the RFCOMM service class with port 0
// finds on a box.
int plat_connect(plat_socket socket, const unsigned char address[bth_address_size]) {
    if (!is_our_socket(socket)) return fail_with(ENOTSOCK);
    if (bth_address_family(address) != bth_family) return fail_with(EAFNOSUPPORT);
    const char* dir = bt_dir();
    if (!dir) return rfcomm_connect(fd_of(socket), radio_address_of(address)) == 0 ? 0 : plat_socket_error;
    char radio[radio_text_length + 1];
    radio_text(radio_address_of(address), radio);
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
        // A time-out leaves ETIMEDOUT (10060), a failed wait its own errno.
        if (wait_flags != 0 && !wait_for(fd, POLLIN, deadline)) return plat_socket_error;
    }
}

int plat_close_socket(plat_socket socket) {
    if (!is_our_socket(socket)) return fail_with(ENOTSOCK);
    const int last_error = errno;
    if (::close(fd_of(socket)) != 0) return plat_socket_error;
    errno = last_error;  // a successful close leaves the last error as it was
    return 0;
}
