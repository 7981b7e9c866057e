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
// The image's length travels as control value 1, a 32-bit number: no box
// can be told of a longer image.
constexpr std::uint64_t largest_image = 0xFFFFFFFFu;
// The image is read in pieces of this size to work out its CRC-32, so an
// image of any length costs no more memory than this.
constexpr std::size_t crc_piece = 64 * 1024;
// How long the library gives the box to accept the image before the first
// chunk: serial twenty failed reads a second apart (and up to 200 ms each),
// Bluetooth a 100 ms wait and a hundred receives of 100 ms.
constexpr int serial_accept_wait_s = 24;
constexpr int bt_accept_wait_s = 10;

// CRC-32 of zlib and IEEE 802.3: reflected polynomial 0xEDB88320, initial
// value and final XOR 0xFFFFFFFF. Control value 2 of an update, by agreement
// with the box. `crc` is the value so far, 0 to start.
std::uint32_t crc32(std::uint32_t crc, const unsigned char* bytes, std::size_t size) {
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// The image stays in its file: it is read once for its CRC-32 and once
// more, a chunk at a time, as it is sent.
struct image_file {
    input_file file;
    unsigned length = 0;    // control value 1
    std::uint32_t crc = 0;  // control value 2
};

// What became of the image: the bytes the library reported sent, and the
// time from the first chunk to the box's verdict.
struct transfer {
    std::uint64_t sent = 0;
    double seconds = 0;
};

// The length of the piece of at most `size` bytes at `offset`.
std::size_t piece_at(std::uint64_t offset, std::size_t size, std::uint64_t total) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(size, total - offset));
}

// Sends one chunk: (bytes, length, message) -> status.
using chunk_call = std::function<int(const unsigned char*, int, char*)>;

// The library sends a chunk from `image + offset`; each chunk is read into a
// buffer of its own and handed over at offset 0.
report send_image(const invocation& call, const image_file& image, std::size_t chunk_size,
                  const char* operation, const chunk_call& send, transfer* t) {
    std::vector<unsigned char> chunk(chunk_size);
    for (std::uint64_t offset = 0; offset < image.length; offset += chunk_size) {
        const std::size_t length = piece_at(offset, chunk_size, image.length);
        if (auto error = read_input(image.file, offset, length, chunk.data())) return *error;
        char message[message_size] = {};
        const int status = send(chunk.data(), static_cast<int>(length), message);
        if (status != 0) {
            if (call.progress) std::fputc('\n', stderr);
            return from_status(operation, status, message);
        }
        t->sent += length;
        if (call.progress) show_progress("firmware", t->sent, image.length, "bytes");
    }
    return report{};
}

std::optional<report> load_image(const std::string& path, image_file* image) {
    if (auto error = open_input(path, largest_image, &image->file)) return error;
    image->length = static_cast<unsigned>(image->file.size);
    std::vector<unsigned char> piece(crc_piece);
    for (std::uint64_t offset = 0; offset < image->length; offset += crc_piece) {
        const std::size_t size = piece_at(offset, crc_piece, image->length);
        if (auto error = read_input(image->file, offset, size, piece.data())) return error;
        image->crc = crc32(image->crc, piece.data(), size);
    }
    return std::nullopt;
}

void notice_accept_wait(int seconds) {
    notice("waiting for the box to accept the image (up to " + std::to_string(seconds) + " s) ...");
}

using steady = std::chrono::steady_clock;

double seconds_since(steady::time_point start) {
    return std::chrono::duration<double>(steady::now() - start).count();
}

// The steps after the port is open; every failure leaves it to the caller
// to close the port, which wq_ota_confirm_done does itself.
report serial_steps(const invocation& call, const image_file& image, int handle, bool* closed, transfer* t) {
    char message[message_size] = {};
    const int lang = call.language;
    report r = from_status("wq_ota_start",
                           wq_ota_start(0, message, lang, handle, image.length, image.crc), message);
    if (r.result != outcome::ok) return r;
    notice_accept_wait(serial_accept_wait_s);
    r = from_status("wq_ota_start_xmit", wq_ota_start_xmit(0, message, lang, handle), message);
    if (r.result != outcome::ok) return r;
    const auto start = steady::now();
    r = send_image(call, image, serial_chunk_size, "wq_ota_xmit_data",
                   [&](const unsigned char* bytes, int length, char* text) {
                       return wq_ota_xmit_data(0, text, lang, handle, bytes, length, 0);
                   },
                   t);
    if (r.result != outcome::ok) return r;
    *closed = true;  // on every outcome
    r = from_status("wq_ota_confirm_done", wq_ota_confirm_done(0, message, lang, handle), message);
    t->seconds = seconds_since(start);
    return r;
}

report update_serial(const invocation& call, const image_file& image, transfer* t) {
    int handle = 0;
    report r = open_serial_handle(call, &handle);
    if (r.result != outcome::ok) return r;
    bool closed = false;
    r = serial_steps(call, image, handle, &closed, t);
    char unread[message_size] = {};
    if (!closed) wq_force_close_handle(0, unread, call.language, handle);
    return r;
}

report bt_steps(const invocation& call, const image_file& image, unsigned socket, transfer* t) {
    char message[message_size] = {};
    const int lang = call.language;
    report r = from_status("wq_bt_ota_start",
                           wq_bt_ota_start(socket, image.length, image.crc, message, lang), message);
    if (r.result != outcome::ok) return r;
    notice_accept_wait(bt_accept_wait_s);
    r = from_status("wq_bt_ota_start_xmit", wq_bt_ota_start_xmit(socket, message, lang), message);
    if (r.result != outcome::ok) return r;
    const auto start = steady::now();
    r = send_image(call, image, bt_chunk_size, "wq_bt_ota_xmit_data",
                   [&](const unsigned char* bytes, int length, char* text) {
                       return wq_bt_ota_xmit_data(socket, reinterpret_cast<const char*>(bytes), length, 0,
                                                  text, lang);
                   },
                   t);
    if (r.result != outcome::ok) return r;
    r = from_status("wq_bt_ota_done", wq_bt_ota_done(socket, message, lang), message);
    t->seconds = seconds_since(start);
    return r;
}

// Ends the connection: with the reset request when asked and the update
// went through, else by disconnecting.
report end_bt_update(const invocation& call, unsigned socket, report r) {
    if (r.result != outcome::ok || !call.options.reset) {
        wq_bt_ota_disconnect(socket);
        return r;
    }
    char message[message_size] = {};
    const int status = wq_bt_ota_reset(socket, message, call.language);
    if (status != 0) return from_status("wq_bt_ota_reset", status, message);
    r.add("reset", true);
    return r;
}

report update_bt(const invocation& call, const image_file& image, transfer* t) {
    unsigned socket = 0;
    report r = open_kept_connection(call, &socket);
    if (r.result != outcome::ok) return r;
    return end_bt_update(call, socket, bt_steps(call, image, socket, t));
}

// A CRC is a name for the image, not a quantity: hex, as people compare it
// with other tools, in the JSON as in the text.
std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// Only a verified image counts as delivered: the box acknowledges the image
// as a whole, never a chunk, so the rate is the verified length over the
// time from the first chunk to the verdict (the box's wait to accept the
// image left out).
void summarise(const invocation& call, const image_file& image, const transfer& t, double seconds, report* r) {
    const bool verified = r->result == outcome::ok;
    const std::uint64_t acknowledged = verified ? image.length : 0;
    const double rate = verified && t.seconds > 0 ? acknowledged / t.seconds : 0;
    char timing[128];
    if (verified) {
        std::snprintf(timing, sizeof timing, " bytes verified by the box in %.1f s (%.1f s sending, %.0f bytes/s)",
                      seconds, t.seconds, rate);
        r->summary = image.file.path + ": " + std::to_string(image.length) + timing + ", CRC-32 " +
                     hex32(image.crc) + (call.options.reset ? ", box restarting" : "");
    } else {
        r->summary = std::to_string(t.sent) + " of " + std::to_string(image.length) +
                     " bytes sent, none acknowledged by the box";
    }
    r->add("image", image.file.path);
    r->add("length", image.length);
    r->add("crc32", hex32(image.crc));
    r->add("chunk_size", call.serial() ? serial_chunk_size : bt_chunk_size);
    r->add("sent", t.sent);
    r->add("acknowledged", acknowledged);
    r->add("seconds", seconds);
    r->add("sending_seconds", t.seconds);
    r->add("bytes_per_second", rate);
}

}  // namespace

report run_firmware_update(const invocation& call) {
    if (call.serial() && call.options.reset) return usage_error("--reset is for Bluetooth");
    image_file image;
    if (auto error = load_image(call.operand, &image)) return *error;
    const auto start = steady::now();
    transfer t;
    report r = call.serial() ? update_serial(call, image, &t) : update_bt(call, image, &t);
    summarise(call, image, t, seconds_since(start), &r);
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
