#include "unix_box.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace {

constexpr int listen_backlog = 4;

void close_fd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

std::string radio_address_text(std::uint64_t address) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X",
                  static_cast<unsigned>((address >> 40) & 0xFF),
                  static_cast<unsigned>((address >> 32) & 0xFF),
                  static_cast<unsigned>((address >> 24) & 0xFF),
                  static_cast<unsigned>((address >> 16) & 0xFF),
                  static_cast<unsigned>((address >> 8) & 0xFF), static_cast<unsigned>(address & 0xFF));
    return text;
}

void write_known_devices(const std::string& dir, const std::string& content) {
    std::ofstream file(dir + "/devices", std::ios::binary | std::ios::trunc);
    file << content;
    if (!file) throw std::runtime_error("cannot write " + dir + "/devices");
}

unix_box::unix_box(const std::string& dir, std::uint64_t address)
    : path_(dir + "/" + radio_address_text(address)) {
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    if (path_.size() >= sizeof name.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(name.sun_path, path_.c_str(), path_.size() + 1);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) fail("socket");
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&name), sizeof name) != 0 ||
        ::listen(listener_, listen_backlog) != 0) {
        const int error = errno;
        close_fd(&listener_);
        errno = error;
        fail("bind/listen");
    }
}

unix_box::~unix_box() {
    close_fd(&peer_);
    close_fd(&listener_);
    ::unlink(path_.c_str());
}

bool unix_box::accept(std::chrono::milliseconds timeout) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    close_fd(&peer_);
    peer_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return peer_ >= 0;
}

void unix_box::hang_up() { close_fd(&peer_); }
