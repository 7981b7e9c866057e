// The host's end of a link, driven with raw bytes: a COM link opened as a
// raw tty, or a connected AF_UNIX stream socket. For tests of the box
// emulator that must not depend on the library's own link code.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class raw_host {
public:
    static raw_host open_tty(const std::string& path);
    static raw_host connect_socket(const std::string& path);
    ~raw_host();
    raw_host(raw_host&& other) noexcept;
    raw_host& operator=(raw_host&&) = delete;
    raw_host(const raw_host&) = delete;
    raw_host& operator=(const raw_host&) = delete;

    void send(const std::vector<unsigned char>& data);
    void send(std::string_view data);
    // Up to `count` bytes: what arrived before the time-out or the link's end.
    std::vector<unsigned char> receive(std::size_t count, std::chrono::milliseconds timeout);
    // True when the other end hung up or closed within the time-out.
    bool hung_up(std::chrono::milliseconds timeout);

private:
    raw_host(int fd, bool socket) : fd_(fd), socket_(socket) {}
    int fd_;
    bool socket_;
};

// Byte helpers for building requests.
std::vector<unsigned char> bytes_of(std::string_view text);
std::vector<unsigned char> command_block(unsigned char command);
std::vector<unsigned char> framed(std::string_view payload);
std::vector<unsigned char> framed(const std::vector<unsigned char>& payload);
std::string text_of(const std::vector<unsigned char>& bytes);
