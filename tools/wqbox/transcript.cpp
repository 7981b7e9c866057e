#include "transcript.h"

#include <cstdio>

namespace wqbox {
namespace {

// Long transfers (firmware images) are shown by their start only: a few
// bytes in hex, more as text, where the words and identification are.
constexpr std::size_t hex_bytes_shown = 16;
constexpr std::size_t text_bytes_shown = 64;
constexpr unsigned char first_printable = 0x20;
constexpr unsigned char last_printable = 0x7E;

}  // namespace

transcript::transcript(transcript_sink sink)
    : sink_(std::move(sink)), start_(std::chrono::steady_clock::now()) {}

void transcript::traffic(std::string_view link, bool from_host, const unsigned char* data,
                         std::size_t size) {
    if (!enabled()) return;
    std::string body = std::to_string(size) + (size == 1 ? " byte  " : " bytes ");
    body += hex_text(data, size, hex_bytes_shown);
    body += "  |" + plain_text(data, size, text_bytes_shown) + "|";
    emit(link, from_host ? "host>box" : "box>host", body);
}

void transcript::note(std::string_view link, std::string_view text) {
    if (!enabled()) return;
    emit(link, "--", std::string(text));
}

void transcript::emit(std::string_view link, std::string_view direction, const std::string& body) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%8.3f", static_cast<double>(elapsed.count()) / 1000.0);
    char head[64];
    std::snprintf(head, sizeof head, "%s %-6.*s %-8.*s ", stamp, static_cast<int>(link.size()),
                  link.data(), static_cast<int>(direction.size()), direction.data());
    std::lock_guard<std::mutex> guard(lock_);
    sink_(head + body);
}

std::string hex_text(const unsigned char* data, std::size_t size, std::size_t limit) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size && i < limit; ++i) {
        if (i) text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xF];
    }
    if (size > limit) text += " ... (+" + std::to_string(size - limit) + ")";
    return text;
}

std::string plain_text(const unsigned char* data, std::size_t size, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < size && i < limit; ++i) {
        const unsigned char b = data[i];
        text += (b >= first_printable && b <= last_printable) ? static_cast<char>(b) : '.';
    }
    return text;
}

}  // namespace wqbox
