// A connect as Windows makes it: our own SDP search of the box for the
// serial port service (over an L2CAP socket to the box's SDP server), then
// a kernel RFCOMM socket connected to the channel it names. Nothing is
// registered with bluetoothd, so any number of programs connect at once;
// two cannot hold the same channel of one box at the same moment (one
// RFCOMM session carries each channel once), and the second is told so.
//
// The kernel's address layouts are written out here: the headers that
// usually carry them come with a library we do not link.
#include "platform/posix_rfcomm.h"

#include <endian.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "platform/posix_bluez.h"
#include "platform/posix_common.h"
#include "platform/sdp.h"

namespace {

constexpr int btproto_l2cap = 0;
constexpr int btproto_hci = 1;
constexpr int btproto_rfcomm = 3;
constexpr std::uint16_t sdp_psm = 1;
constexpr std::size_t radio_bytes = 6;

// struct sockaddr_l2 and struct sockaddr_rc; the radio address is stored
// least significant byte first.
struct l2cap_address {
    sa_family_t family;
    std::uint16_t psm;  // little-endian
    unsigned char radio[radio_bytes];
    std::uint16_t cid;
    std::uint8_t radio_type;  // 0: BR/EDR
};
struct rfcomm_address {
    sa_family_t family;
    unsigned char radio[radio_bytes];
    std::uint8_t channel;
};
static_assert(sizeof(l2cap_address) == 14 && sizeof(rfcomm_address) == 10);

// How long the box's SDP server may take over each answer; it answers
// within tens of milliseconds.
constexpr auto sdp_answer_wait = std::chrono::seconds(5);
// An L2CAP PDU as large as the default MTU, and then some.
constexpr std::size_t sdp_pdu_capacity = 1024;

// What a failed connect means, as the code a Windows host gets for the
// same situation. With 10049 (no service found by the search) and
// 10050/10051 (fail_connect) this is the README's table of codes.
constexpr int wsaeacces = 10013;      // authentication failed
constexpr int wsaeaddrinuse = 10048;  // the box's channel is held by another program
constexpr int wsaeaddrnotavail = 10049;  // the box has no serial port service
constexpr int wsaetimedout = 10060;   // page time-out: the box is off or out of range
constexpr int wsaehostdown = 10064;   // the box refused (RFCOMM DM)
struct connect_failure {
    int error;
    int code;
};
constexpr connect_failure connect_failures[] = {
    {EHOSTDOWN, wsaetimedout},   {ETIMEDOUT, wsaetimedout},   {ECONNREFUSED, wsaehostdown},
    {EACCES, wsaeacces},         {EBADE, wsaeacces},          {EBUSY, wsaeaddrinuse},
};

// The kernel's list of adapters (HCIGETDEVLIST on an HCI socket, which
// needs no privilege): whether any is switched on.
constexpr unsigned long hci_get_device_list = _IOR('H', 210, int);
constexpr std::uint32_t hci_up = 1u << 0;
constexpr std::uint16_t most_adapters = 16;
struct hci_device_list {
    std::uint16_t count;
    struct {
        std::uint16_t id;
        std::uint32_t flags;
    } devices[most_adapters];
};

bool any_adapter_up() {
    const int hci = ::socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, btproto_hci);
    if (hci < 0) return false;
    hci_device_list list{};
    list.count = most_adapters;
    const bool listed = ::ioctl(hci, hci_get_device_list, &list) == 0;
    ::close(hci);
    for (std::uint16_t i = 0; listed && i < list.count && i < most_adapters; ++i) {
        if (list.devices[i].flags & hci_up) return true;
    }
    return false;
}

// -1 with the code for `error`. No route to the box means no adapter that
// could reach it is on; the kernel says "host down" both for that and for
// a box that did not answer the page, so then the adapters are asked. With
// none on, bluetoothd tells whether it is there at all (10050) or its
// adapters are off (10051). Errors of no table entry keep their errno,
// mapped as any socket's.
int fail_connect(int error) {
    const bool host_down = error == EHOSTDOWN || error == ENETDOWN;
    if (error == EHOSTUNREACH || (host_down && !any_adapter_up())) {
        errno = bluez_unreachable_code();
        return -1;
    }
    errno = error;
    for (const connect_failure& failure : connect_failures) {
        if (failure.error == error) errno = failure.code;
    }
    return -1;
}

void radio_bytes_of(std::uint64_t radio, unsigned char (&bytes)[radio_bytes]) {
    for (std::size_t i = 0; i < radio_bytes; ++i) bytes[i] = static_cast<unsigned char>(radio >> (8 * i));
}

// An L2CAP socket, closed on every path.
struct owned_fd {
    int fd;
    explicit owned_fd(int descriptor) : fd(descriptor) {}
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    ~owned_fd() {
        if (fd >= 0) ::close(fd);
    }
};

// connect() as a blocking socket makes it, but with the socket's error
// looked at every 100 ms as well: when a link fails at once (a page or an
// authentication refused within a millisecond) the kernel records the
// error on the socket, yet does not always wake the connect that waits
// for it, which then sleeps until the channel's own 40 s time-out.
constexpr auto connect_look = std::chrono::milliseconds(100);
constexpr auto connect_limit = std::chrono::seconds(60);

int connect_watching(int fd, const void* address, socklen_t length) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    int error = 0;
    if (::connect(fd, static_cast<const sockaddr*>(address), length) != 0) error = errno;
    const auto limit = posix::steady::now() + connect_limit;
    while (error == EINPROGRESS || error == EINTR) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(connect_look.count()));
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        if (error == 0 && ready > 0 && (p.revents & POLLOUT)) break;
        if (error == 0 && ready > 0 && (p.revents & POLLHUP)) error = ECONNRESET;
        if (error == 0) error = posix::steady::now() < limit ? EINPROGRESS : ETIMEDOUT;
    }
    ::fcntl(fd, F_SETFL, flags);
    errno = error;
    return error == 0 ? 0 : -1;
}

// Sends the search's next request and takes one answer.
sdp_step exchange(int fd, sdp_search* search, int* error) {
    unsigned char request[sdp_request_capacity];
    const std::size_t length = sdp_build_request(search, request);
    if (::send(fd, request, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) {
        *error = errno;
        return sdp_step::malformed;
    }
    if (!posix::wait_for(fd, POLLIN, posix::steady::now() + sdp_answer_wait)) {
        *error = errno;  // ETIMEDOUT, or why the wait failed
        return sdp_step::malformed;
    }
    unsigned char pdu[sdp_pdu_capacity];
    const ssize_t received = ::recv(fd, pdu, sizeof pdu, MSG_DONTWAIT);
    if (received < 0) {
        *error = errno;
        return sdp_step::malformed;
    }
    return sdp_take_response(search, pdu, static_cast<std::size_t>(received));
}

// The channel of the box's serial port service; -1 with errno set.
int find_serial_port_channel(const unsigned char (&radio)[radio_bytes]) {
    const owned_fd sdp(::socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC, btproto_l2cap));
    if (sdp.fd < 0) return -1;
    l2cap_address server{};
    server.family = AF_BLUETOOTH;
    server.psm = htole16(sdp_psm);
    std::memcpy(server.radio, radio, sizeof server.radio);
    if (connect_watching(sdp.fd, &server, sizeof server) != 0) return fail_connect(errno);
    sdp_search search;
    sdp_step step = sdp_step::more;
    int error = 0;
    while (step == sdp_step::more) step = exchange(sdp.fd, &search, &error);
    if (error != 0) return fail_connect(error);
    const int channel = step == sdp_step::complete
                            ? sdp_rfcomm_channel(search.lists, search.lists_length)
                            : 0;
    if (channel == 0) errno = wsaeaddrnotavail;
    return channel > 0 ? channel : -1;
}

int socket_option(int fd, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, name, &value, &length) == 0 ? value : -1;
}

}  // namespace

int rfcomm_socket() { return ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, btproto_rfcomm); }

// Runs once a received byte; SO_DOMAIN fails on anything but a socket.
bool is_rfcomm_socket(int fd) {
    return socket_option(fd, SO_DOMAIN) == AF_BLUETOOTH &&
           socket_option(fd, SO_PROTOCOL) == btproto_rfcomm &&
           socket_option(fd, SO_TYPE) == SOCK_STREAM;
}

namespace {

// When another program's connection to the same box closes the last
// channel of their shared session, the kernel ends the session, and a
// connect that joined it in that moment fails with ECONNRESET before it
// carried a byte. A Windows host never sees that: it is the stack's own
// business. The connect is made again, in a session of its own, on a fresh
// socket put in the old one's place (a socket connects once, and the host
// holds the descriptor's number): at most this many connects in all.
constexpr int connect_attempts = 3;

int connect_on_fresh_socket(int fd, const rfcomm_address& box) {
    const int fresh = rfcomm_socket();
    const bool placed = fresh >= 0 && ::dup3(fresh, fd, O_CLOEXEC) == fd;
    if (fresh >= 0) ::close(fresh);
    if (!placed) {
        errno = ECONNRESET;  // the reset stands
        return -1;
    }
    return connect_watching(fd, &box, sizeof box);
}

}  // namespace

int rfcomm_connect(int fd, std::uint64_t radio) {
    rfcomm_address box{};
    box.family = AF_BLUETOOTH;
    radio_bytes_of(radio, box.radio);
    const int channel = find_serial_port_channel(box.radio);
    if (channel < 0) return -1;
    box.channel = static_cast<std::uint8_t>(channel);
    int result = connect_watching(fd, &box, sizeof box);
    for (int attempt = 1; result != 0 && errno == ECONNRESET && attempt < connect_attempts; ++attempt) {
        result = connect_on_fresh_socket(fd, box);
    }
    return result == 0 ? 0 : fail_connect(errno);
}
