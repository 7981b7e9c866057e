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

using NotOurs = BoxTest;

// Descriptors the host owns: the standard streams, a pipe, a file (also
// what a closed socket's number may come to hold), a datagram socket, a
// terminal the host made exclusive, a socket pair, and a UNIX stream socket
// listening or connected outside WQ_BT_DIR. With emulated and with real
// Bluetooth, the serial calls and the socket calls must fail on every one of
// them, write nothing and close none.
TEST_F(NotOurs, HostDescriptorsAreNeitherUsedNorClosed) {
    int pipe_ends[2], pair[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    // As the host's bus or display connection is (were it taken for ours, a
    // disconnect would close it).
    const int bus = ::socket(AF_UNIX, SOCK_STREAM, 0), elsewhere = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path("elsewhere/bus").c_str());
    const auto* bus_address = reinterpret_cast<const sockaddr*>(&address);
    ASSERT_EQ(::mkdir(path("elsewhere").c_str(), 0700), 0);
    ASSERT_TRUE(::bind(bus, bus_address, sizeof address) == 0 && ::listen(bus, 1) == 0 &&
                ::connect(elsewhere, bus_address, sizeof address) == 0);
    const int file = ::open(path("file").c_str(), O_RDWR | O_CREAT, 0600);
    const int datagram = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    pty_peer terminal(dir.path(), "COM1");
    const int tty = ::open(path("COM1").c_str(), O_RDWR | O_NOCTTY);
    const winsize window{24, 80, 0, 0};  // as a terminal has one
    char message[128] = {};
    ASSERT_TRUE(::ioctl(tty, TIOCEXCL) == 0 && ::ioctl(tty, TIOCSWINSZ, &window) == 0);
    for (const std::string& bt_dir : {dir.path(), std::string()}) {
        scoped_env bluetooth("WQ_BT_DIR", bt_dir);
        for (const int fd : {0, 1, 2, pipe_ends[1], file, datagram, tty, pair[0], bus, elsewhere}) {
            SCOPED_TRACE("WQ_BT_DIR=" + bt_dir + ", fd " + std::to_string(fd));
            const bool was_open = is_open(fd);
            ASSERT_TRUE(fd < 3 || was_open);
            unsigned int count = 0;
            EXPECT_EQ(wq_use_data_req(fd, &count, message, 0), 1);
            EXPECT_EQ(wq_ota_xmit_data(0, message, 0, fd, nullptr, 0, 0), 1);
            EXPECT_EQ(wq_force_close_handle(0, nullptr, 0, fd), 0);
            EXPECT_EQ(wq_bt_ota_xmit_data(static_cast<unsigned>(fd), "x", 1, 0, message, 0), 1);
            EXPECT_EQ(wq_bt_ota_disconnect(static_cast<unsigned>(fd)), 0);
            EXPECT_EQ(is_open(fd), was_open);
        }
    }
    for (const int end : {pipe_ends[0], pair[1]}) {
        pollfd input{end, POLLIN, 0};
        EXPECT_EQ(::poll(&input, 1, 0), 0) << "bytes were written to the host's descriptor " << end;
    }
    EXPECT_FALSE(terminal.received(50ms)) << "bytes were written to the host's terminal";
    for (const int fd : {pipe_ends[0], pipe_ends[1], pair[0], pair[1], bus, elsewhere, file, datagram, tty}) {
        ::close(fd);
    }
}

// A port is never handed out on a standard stream (a host may have closed
// its standard input), and stays the library's to close whatever became of
// its line: hung up, or its exclusive mode cleared by another opener's
// TIOCNXCL (a flag of the terminal, which anyone who has it open may clear).
TEST_F(NotOurs, APortIsAboveTheStandardStreamsAndOursToCloseWhateverOthersDid) {
    char message[128] = {};
    for (const bool hang_up : {false, true}) {
        auto box = std::make_unique<pty_peer>(dir.path(), "COM1");
        const int other = ::open(path("COM1").c_str(), O_RDWR | O_NOCTTY);  // before the port turns exclusive
        const int saved_stdin = ::dup(0);
        ::close(0);
        int handle = 0;
        const int status = wq_ota_open_port(1, message, 0, &handle);
        ::dup2(saved_stdin, 0);
        ::close(saved_stdin);
        ASSERT_EQ(status, 0) << message;
        EXPECT_GT(handle, 2);
        if (hang_up) box.reset();
        else ASSERT_EQ(::ioctl(other, TIOCNXCL), 0);
        wq_force_close_handle(0, nullptr, 0, handle);
        EXPECT_FALSE(is_open(handle)) << (hang_up ? "hung up" : "TIOCNXCL");
        ::close(other);
    }
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
        pollfd event{line, POLLIN, 0};
        ASSERT_EQ(::poll(&event, 1, 2000), 1);
        ASSERT_TRUE(event.revents & POLLHUP) << "the box drops the line instead of answering";
        ::close(line);
        const int reopened = ::open(path("COM1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(reopened, 0) << "the COM name was missing";
        if (reopened >= 0) ::close(reopened);
    }
}

}  // namespace
