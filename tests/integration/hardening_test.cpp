// The POSIX backend acts only on the ports and sockets it opened, and the
// emulator's serial line never vanishes while it is replugged.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "box_fixture.h"
#include "pty_peer.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

class NotOurs : public BoxTest {
protected:
    char message[128] = {};
};

// A UNIX stream socket connected to a listener at `path`, as the host's bus
// or display connection is; `accepted` receives the listener's end.
int connected_unix_socket(const std::string& path, int* accepted) {
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const auto* a = reinterpret_cast<const sockaddr*>(&address);
    if (::bind(listener, a, sizeof address) != 0 || ::listen(listener, 1) != 0 ||
        ::connect(client, a, sizeof address) != 0) {
        return -1;
    }
    *accepted = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    return client;
}

// Descriptors the host owns: the standard streams, a pipe, a file, a
// datagram socket, a terminal the host made exclusive, a socket pair and a
// UNIX stream socket connected outside WQ_BT_DIR; with real Bluetooth (no
// WQ_BT_DIR) also a socket connected inside it. The serial calls and the
// socket calls must fail on every one of them, write nothing and close none.
TEST_F(NotOurs, HostDescriptorsAreNeitherUsedNorClosed) {
    int pipe_ends[2], pair[2], elsewhere_peer = -1, inside_peer = -1;
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(::mkdir(path("elsewhere").c_str(), 0700), 0);
    const int elsewhere = connected_unix_socket(path("elsewhere/bus"), &elsewhere_peer);
    const int inside = connected_unix_socket(path("00:11:22:33:44:AA"), &inside_peer);
    const int file = ::open((dir.path() + "/file").c_str(), O_RDWR | O_CREAT, 0600);
    const int datagram = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    pty_peer terminal(dir.path(), "COM1");
    const int tty = ::open((dir.path() + "/COM1").c_str(), O_RDWR | O_NOCTTY);
    const winsize window{24, 80, 0, 0};  // as a terminal has one
    ASSERT_TRUE(::ioctl(tty, TIOCEXCL) == 0 && ::ioctl(tty, TIOCSWINSZ, &window) == 0);
    ASSERT_GE(elsewhere, 0);
    ASSERT_GE(inside, 0);
    struct mode {
        const char* bt_dir;
        std::vector<int> foreign;
    };
    const std::vector<int> host = {0, 1, 2, pipe_ends[1], file, datagram, tty, pair[0], elsewhere};
    std::vector<int> with_inside = host;
    with_inside.push_back(inside);
    for (const mode& m : {mode{dir.path().c_str(), host}, mode{"", with_inside}}) {
        scoped_env bluetooth("WQ_BT_DIR", m.bt_dir);
        for (const int fd : m.foreign) {
            SCOPED_TRACE(std::string("WQ_BT_DIR=") + m.bt_dir + ", fd " + std::to_string(fd));
            ASSERT_TRUE(fd < 3 || is_open(fd));
            const bool was_open = is_open(fd);
            unsigned int count = 0;
            EXPECT_EQ(wq_use_data_req(fd, &count, message, 0), 1);
            EXPECT_EQ(wq_ota_xmit_data(0, message, 0, fd, nullptr, 0, 0), 1);
            EXPECT_EQ(wq_force_close_handle(0, nullptr, 0, fd), 0);
            EXPECT_EQ(wq_bt_ota_xmit_data(static_cast<unsigned>(fd), "x", 1, 0, message, 0), 1);
            EXPECT_EQ(wq_bt_ota_disconnect(static_cast<unsigned>(fd)), 0);
            EXPECT_EQ(is_open(fd), was_open);
        }
    }
    for (const int peer : {pipe_ends[0], pair[1], elsewhere_peer, inside_peer}) {
        EXPECT_FALSE(readable(peer)) << "bytes were written to the host's descriptor " << peer;
    }
    EXPECT_TRUE(terminal.read(1, 50ms).empty()) << "bytes were written to the host's terminal";
    for (const int fd : {pipe_ends[0], pipe_ends[1], pair[0], pair[1], elsewhere, elsewhere_peer, inside,
                         inside_peer, file, datagram, tty}) {
        ::close(fd);
    }
}

// A host that closed its standard input still gets a port above 2.
TEST_F(NotOurs, NoPortIsHandedOutOnAStandardStream) {
    pty_peer box(dir.path(), "COM1");
    const int saved_stdin = ::dup(0);
    ::close(0);
    int handle = 0;
    const int status = wq_ota_open_port(1, message, 0, &handle);
    ::dup2(saved_stdin, 0);
    ::close(saved_stdin);
    ASSERT_EQ(status, 0) << message;
    EXPECT_GT(handle, 2);
    wq_force_close_handle(0, nullptr, 0, handle);
}

// A port stays the library's to close whatever became of its line: hung up,
// or its exclusive mode cleared by another opener's TIOCNXCL (a flag of the
// terminal, which anyone who has it open may clear).
TEST_F(NotOurs, APortIsStillClosedWhateverOthersDid) {
    for (const bool hang_up : {false, true}) {
        auto box = std::make_unique<pty_peer>(dir.path(), "COM1");
        const int other = ::open(path("COM1").c_str(), O_RDWR | O_NOCTTY);  // before the port turns exclusive
        int handle = 0;
        ASSERT_EQ(wq_ota_open_port(1, message, 0, &handle), 0) << message;
        if (hang_up) box.reset();
        else ASSERT_EQ(::ioctl(other, TIOCNXCL), 0);
        wq_force_close_handle(0, nullptr, 0, handle);
        EXPECT_FALSE(is_open(handle)) << (hang_up ? "hung up" : "TIOCNXCL");
        ::close(other);
    }
}

// A socket value that was closed, and whose number a file now has: a second
// disconnect must leave the file alone. The box's threads are stopped first
// and the file is placed on the number with dup2, so no other open of this
// process can take the freed number in between.
TEST_F(NotOurs, AStaleSocketValueClosesNothing) {
    start_box();  // answers the connect handshake at 00:11:22:33:44:AA
    unsigned int socket = 0;
    ASSERT_EQ(wq_bt_ota_connect(0x0011223344AAull, &socket, message, 0), 0) << message;
    box.reset();
    wq_bt_ota_disconnect(socket);
    const int opened = ::open((dir.path() + "/reused").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(opened, 0);
    const int file = ::dup2(opened, static_cast<int>(socket));
    ASSERT_EQ(file, static_cast<int>(socket));
    if (opened != file) ::close(opened);
    wq_bt_ota_disconnect(socket);
    EXPECT_TRUE(is_open(file));
    ::close(file);
}

// After a dropped line the box's COM name points at the new line before the
// host sees the old one hang up, so an immediate reopen never fails.
TEST_F(BoxTest, ReplugKeepsTheComNameInPlace) {
    start_box_with_fault("probe:drop");
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const int line = ::open(path("COM1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(line, 0);
        const std::vector<unsigned char> probe(32, 0x7D);  // the probe's command block
        ASSERT_EQ(::write(line, probe.data(), probe.size()), 32);
        bool hung_up = false;  // the box drops the line instead of answering
        pollfd event{line, POLLIN, 0};
        while (!hung_up && ::poll(&event, 1, 2000) > 0) {
            unsigned char byte = 0;
            hung_up = (event.revents & POLLHUP) || ::read(line, &byte, 1) <= 0;
        }
        ::close(line);
        ASSERT_TRUE(hung_up);
        const int reopened = ::open(path("COM1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(reopened, 0) << "the COM name was missing";
        if (reopened >= 0) ::close(reopened);
    }
}

}  // namespace
