#include "raw_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace {

constexpr std::size_t command_block_size = 32;

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

raw_host raw_host::open_tty(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
    termios tty{};
    ::tcgetattr(fd, &tty);
    ::cfmakeraw(&tty);
    ::tcsetattr(fd, TCSANOW, &tty);
    return raw_host(fd, false);
}

raw_host raw_host::connect_socket(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        throw std::system_error(error, std::generic_category(), "connect " + path);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return raw_host(fd, true);
}

raw_host::raw_host(raw_host&& other) noexcept : fd_(other.fd_), socket_(other.socket_) {
    other.fd_ = -1;
}

raw_host::~raw_host() {
    if (fd_ >= 0) ::close(fd_);
}

void raw_host::send(const std::vector<unsigned char>& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = socket_ ? ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL)
                                  : ::write(fd_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "send");
        } else {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

void raw_host::send(std::string_view data) { send(bytes_of(data)); }

std::vector<unsigned char> raw_host::receive(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<unsigned char> got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, remaining_ms(deadline)) <= 0) break;
        unsigned char buffer[4096];
        const std::size_t want = std::min(sizeof buffer, count - got.size());
        const ssize_t n = ::read(fd_, buffer, want);
        if (n > 0) {
            got.insert(got.end(), buffer, buffer + n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;  // closed or hung up
        }
    }
    return got;
}

bool raw_host::hung_up(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, remaining_ms(deadline));
        if (ready <= 0) return false;
        if (p.revents & (POLLHUP | POLLERR)) return true;
        unsigned char byte = 0;
        const ssize_t n = ::read(fd_, &byte, 1);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
}

std::vector<unsigned char> bytes_of(std::string_view text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

std::vector<unsigned char> command_block(unsigned char command) {
    return std::vector<unsigned char>(command_block_size, command);
}

std::vector<unsigned char> framed(const std::vector<unsigned char>& payload) {
    std::vector<unsigned char> frame;
    frame.reserve(payload.size() + 4);
    frame.push_back('$');
    frame.push_back('$');
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back('#');
    frame.push_back('#');
    return frame;
}

std::vector<unsigned char> framed(std::string_view payload) { return framed(bytes_of(payload)); }

std::string text_of(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}
