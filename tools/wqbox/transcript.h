// A readable record of the traffic: time, link, direction, hex and text.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace wqbox {

// Receives one finished line (without a line end).
using transcript_sink = std::function<void(const std::string& line)>;

class transcript {
public:
    explicit transcript(transcript_sink sink);
    bool enabled() const { return static_cast<bool>(sink_); }
    // Bytes that crossed a link; `from_host` says which way.
    void traffic(std::string_view link, bool from_host, const unsigned char* data, std::size_t size);
    // What the box made of it.
    void note(std::string_view link, std::string_view text);

private:
    void emit(std::string_view link, std::string_view direction, const std::string& body);

    transcript_sink sink_;
    std::chrono::steady_clock::time_point start_;
    std::mutex lock_;
};

// "7D 7D 2B ..." for at most `limit` bytes, then the count left out.
std::string hex_text(const unsigned char* data, std::size_t size, std::size_t limit);
// Printable ASCII as it is, other bytes as '.', at most `limit` bytes.
std::string plain_text(const unsigned char* data, std::size_t size, std::size_t limit);

}  // namespace wqbox
