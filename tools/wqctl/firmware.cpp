// firmware update | reset: a new image for the box, over a held link.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "commands.h"

namespace wqctl {
namespace {

// Serial chunks: one chunk is one write, which is done when its bytes have
// left the port and is cut off by the 200 ms write time-out. At 57600 baud,
// 8N1, the line carries 5760 bytes a second, so 512 bytes take 89 ms: under
// half the time-out, leaving a 111 ms margin for a USB adapter's latency
// and a busy host (1152 bytes would use all of it). Smaller chunks would
// only add calls; the line, not the chunk, sets the pace.
constexpr std::size_t serial_chunk_size = 512;
// Bluetooth chunks: one chunk is one send, and the library does not report
// a send that took only part of it. 1024 bytes stay well within the 4096-byte
// send buffer the library sets, so every send takes the whole chunk.
constexpr std::size_t bt_chunk_size = 1024;
// The length travels as a 32-bit control value.
constexpr std::uint64_t largest_image = 0xFFFFFFFFu;

// CRC-32 of zlib and IEEE 802.3: reflected polynomial 0xEDB88320, initial
// value and final XOR 0xFFFFFFFF. Control value 2 of an update, by agreement
// with the box.
std::uint32_t crc32(const std::vector<unsigned char>& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

struct image_file {
    std::string path;
    std::vector<unsigned char> bytes;
    unsigned length = 0;  // control value 1
    std::uint32_t crc = 0;  // control value 2
};

// Sends the image chunk by chunk: (offset, length, message) -> status.
using chunk_call = std::function<int(unsigned, int, char*)>;

report send_image(const invocation& call, const image_file& image, std::size_t chunk_size,
                  const char* operation, const chunk_call& send) {
    const std::size_t total = image.bytes.size();
    for (std::size_t offset = 0; offset < total; offset += chunk_size) {
        const std::size_t length = std::min(chunk_size, total - offset);
        char message[message_size] = {};
        const int status = send(static_cast<unsigned>(offset), static_cast<int>(length), message);
        if (status != 0) {
            if (call.progress) std::fputc('\n', stderr);
            return from_status(operation, status, message);
        }
        if (call.progress) show_progress("firmware", offset + length, total, "bytes");
    }
    return report{};
}

std::optional<report> load_image(const std::string& path, image_file* image) {
    image->path = path;
    if (!read_file(path, &image->bytes)) return usage_error("cannot read " + path);
    if (image->bytes.empty()) return usage_error(path + " is empty");
    if (image->bytes.size() > largest_image) return usage_error(path + " is larger than 4 GiB");
    image->length = static_cast<unsigned>(image->bytes.size());
    image->crc = crc32(image->bytes);
    return std::nullopt;
}

// The steps after the port is open; every failure leaves it to the caller
// to close the port, which wq_ota_confirm_done does itself.
report serial_steps(const invocation& call, const image_file& image, int handle, bool* closed) {
    char message[message_size] = {};
    const int lang = call.language;
    report r = from_status("wq_ota_start",
                           wq_ota_start(0, message, lang, handle, image.length, image.crc), message);
    if (r.result != outcome::ok) return r;
    r = from_status("wq_ota_start_xmit", wq_ota_start_xmit(0, message, lang, handle), message);
    if (r.result != outcome::ok) return r;
    r = send_image(call, image, serial_chunk_size, "wq_ota_xmit_data",
                   [&](unsigned offset, int length, char* text) {
                       return wq_ota_xmit_data(0, text, lang, handle, image.bytes.data(), length, offset);
                   });
    if (r.result != outcome::ok) return r;
    *closed = true;  // on every outcome
    return from_status("wq_ota_confirm_done", wq_ota_confirm_done(0, message, lang, handle), message);
}

report update_serial(const invocation& call, const image_file& image) {
    int handle = 0;
    report r = open_serial_handle(call, &handle);
    if (r.result != outcome::ok) return r;
    bool closed = false;
    r = serial_steps(call, image, handle, &closed);
    char unread[message_size] = {};
    if (!closed) wq_force_close_handle(0, unread, call.language, handle);
    return r;
}

report bt_steps(const invocation& call, const image_file& image, unsigned socket) {
    char message[message_size] = {};
    const int lang = call.language;
    report r = from_status("wq_bt_ota_start",
                           wq_bt_ota_start(socket, image.length, image.crc, message, lang), message);
    if (r.result != outcome::ok) return r;
    r = from_status("wq_bt_ota_start_xmit", wq_bt_ota_start_xmit(socket, message, lang), message);
    if (r.result != outcome::ok) return r;
    const char* bytes = reinterpret_cast<const char*>(image.bytes.data());
    r = send_image(call, image, bt_chunk_size, "wq_bt_ota_xmit_data",
                   [&](unsigned offset, int length, char* text) {
                       return wq_bt_ota_xmit_data(socket, bytes, length, offset, text, lang);
                   });
    if (r.result != outcome::ok) return r;
    return from_status("wq_bt_ota_done", wq_bt_ota_done(socket, message, lang), message);
}

// Ends the connection: with the reset request when asked and the update
// went through, else by disconnecting.
report end_bt_update(const invocation& call, unsigned socket, report r) {
    if (r.result != outcome::ok || !call.has("--reset")) {
        wq_bt_ota_disconnect(socket);
        return r;
    }
    char message[message_size] = {};
    const int status = wq_bt_ota_reset(socket, message, call.language);
    if (status != 0) return from_status("wq_bt_ota_reset", status, message);
    r.add("reset", true);
    return r;
}

report update_bt(const invocation& call, const image_file& image) {
    unsigned socket = 0;
    report r = open_kept_connection(call, &socket);
    if (r.result != outcome::ok) return r;
    return end_bt_update(call, socket, bt_steps(call, image, socket));
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

report run_firmware_update(const invocation& call) {
    const bool serial = call.serial();
    if (serial && call.has("--reset")) return usage_error("--reset is for Bluetooth");
    image_file image;
    if (auto error = load_image(call.operand, &image)) return *error;
    const auto start = std::chrono::steady_clock::now();
    report r = serial ? update_serial(call, image) : update_bt(call, image);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = seconds > 0 ? image.length / seconds : 0;
    if (r.result == outcome::ok) {
        char timing[96];
        std::snprintf(timing, sizeof timing, " bytes in %.1f s, %.0f bytes/s", seconds, rate);
        r.summary = image.path + ": " + std::to_string(image.length) + timing + ", CRC-32 " + hex32(image.crc) +
                    ", verified by the box" + (call.has("--reset") ? ", box restarting" : "");
    }
    r.add("image", image.path);
    r.add("length", image.length);
    r.add("crc32", image.crc);
    r.add("chunk_size", serial ? serial_chunk_size : bt_chunk_size);
    r.add("seconds", seconds);
    r.add("bytes_per_second", rate);
    return r;
}

report run_firmware_reset(const invocation& call) {
    unsigned socket = 0;
    report r = open_kept_connection(call, &socket);
    if (r.result != outcome::ok) return r;
    // The reset request closes the connection whatever its outcome.
    char message[message_size] = {};
    r = from_status("wq_bt_ota_reset", wq_bt_ota_reset(socket, message, call.language), message);
    if (r.result == outcome::ok) r.summary = "reset request sent";
    return r;
}

}  // namespace wqctl
