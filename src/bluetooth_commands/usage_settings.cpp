// The box's usage settings over Bluetooth: their count, and the block read
// and written as opaque bytes whose layout the host and the box share.
#include <cstdint>
#include <cstring>

#include "bluetooth/bt_link.h"
#include "text/little_endian.h"

namespace {

constexpr char tag_count_request[] = "BTUSET_RRQ";
constexpr char tag_read_request[] = "BTUSET_RBG";
constexpr char tag_write_request[] = "BTUSET_WRQ";
constexpr char tag_write_accepted[] = "BTUSET_WAC";
constexpr char tag_write_done[] = "BTUSET_WDN";

constexpr std::uint32_t count_wait_ms = 10;
constexpr std::uint32_t read_wait_ms = 100;
constexpr std::uint32_t write_wait_ms = 10;

// Tag replies and the count reply are received into 16 zeroed bytes; the
// count is the payload's first four bytes, least significant first, so a
// shorter payload reads as if padded with zeros.
constexpr std::size_t reply_size = 16;
constexpr std::size_t count_bytes = 4;

constexpr char text_alloc_failed[] = "Mem-Alloc Fail.";
constexpr wq_text text_count_request_failed = {"Send READ USAGE SETTING REQ Failed.",
                                               "Senden READ USAGE SETTING REQ fehlgeschlagen."};
constexpr wq_text text_read_request_failed = {"Send BT_USESETT_RBEGIN_WORD Failed: ",
                                              "Send BT_USESETT_RBEGIN_WORD Failed: "};
constexpr wq_text text_read_done = {"Read Usage Settings Success!",
                                    "Nutzungseinstellungen erfolgreich gelesen!"};
constexpr wq_text text_write_request_failed = {"Send WRITE USAGE SETTING REQ Failed.",
                                               "Senden WRITE USAGE SETTING REQ fehlgeschlagen."};
constexpr wq_text text_write_denied = {"Write setting denied. Reason: in-use.",
                                       "Schreibeinstellung verweigert. Grund: In Gebrauch."};
constexpr wq_text text_write_request_invalid = {"Invalid WRITE USAGE SETTING REQ response.",
                                                "Invalid WRITE USAGE SETTING REQ response."};
constexpr wq_text text_block_failed = {"Send USAGE SETTINGS Failed.",
                                       "Senden USAGE SETTINGS fehlgeschlagen."};
constexpr wq_text text_write_done_invalid = {"Invalid WRITE USAGE SETTING DONE response.",
                                             "Invalid WRITE USAGE SETTING DONE response."};

// The work buffer of one transfer: `buffer_size` zero-filled bytes from the
// process heap, freed when the call leaves (before the socket layer ends).
//
// The host's sizes are used only where they are safe. The buffer must hold
// all that the call puts into it or copies out of it: `needed` bytes, which
// are data_size (read) or data_size + 4 for the frame (write), with
// data_size not negative. Sizes that break this would make a copy run past
// the buffer or the host's block, so such a call is refused the same way as
// a buffer the heap cannot give ("Mem-Alloc Fail.", no socket opened) and
// nothing is allocated. A negative buffer_size lands here too.
class work_buffer {
public:
    work_buffer(int buffer_size, int data_size, std::size_t frame_overhead) {
        const std::int64_t needed = std::int64_t{data_size} + std::int64_t(frame_overhead);
        if (data_size < 0 || buffer_size < needed) return;
        size_ = static_cast<std::size_t>(buffer_size);
        block_ = static_cast<unsigned char*>(plat_heap_alloc(size_));
    }
    ~work_buffer() {
        if (block_) plat_heap_free(block_);
    }
    work_buffer(const work_buffer&) = delete;
    work_buffer& operator=(const work_buffer&) = delete;
    unsigned char* get() const { return block_; }
    std::size_t size() const { return size_; }

private:
    unsigned char* block_ = nullptr;
    std::size_t size_ = 0;
};


// Asks leave to write; the box must answer exactly "BTUSET_WAC".
bool write_allowed(unsigned int socket, char* message, int language) {
    unsigned char reply[reply_size];
    return bt_request_reply(socket, tag_write_request, text_write_request_failed, write_wait_ms,
                            reply, sizeof reply, bt_attempts_normal, message, language) &&
           bt_reply_accepted(reply, tag_write_accepted, &text_write_denied,
                             text_write_request_invalid, message, language);
}

// Sends the block framed in the work buffer (zero-filled by the heap and
// large enough, see work_buffer); the box must answer "BTUSET_WDN".
bool send_block(unsigned int socket, work_buffer& buffer, const void* settings, int data_size,
                char* message, int language) {
    const std::size_t length = bt_put_data_frame(buffer.get(), buffer.size(), settings,
                                                 static_cast<std::size_t>(data_size));
    if (!bt_send_or_report(socket, buffer.get(), static_cast<int>(length), text_block_failed,
                           message, language)) {
        return false;
    }
    plat_sleep_ms(write_wait_ms);
    unsigned char reply[reply_size];
    return bt_receive_reply(socket, reply, sizeof reply, bt_attempts_normal, message, language) &&
           bt_reply_accepted(reply, tag_write_done, nullptr, text_write_done_invalid, message,
                             language);
}

}  // namespace

extern "C" int wq_bt_get_usage_setting_cnt(BTH_ADDR address, unsigned int* count, char* message,
                                           int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;
    unsigned char reply[reply_size];
    if (!bt_request_reply(socket.get(), tag_count_request, text_count_request_failed, count_wait_ms,
                          reply, sizeof reply, bt_attempts_normal, message, language)) {
        return wq_status_fail;
    }
    *count = static_cast<std::uint32_t>(get_little_endian(reply, count_bytes));
    return wq_status_ok;
}

extern "C" int wq_bt_read_usage_settings(BTH_ADDR address, int buffer_size, int data_size,
                                         void* settings, char* message, int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    work_buffer buffer(buffer_size, data_size, 0);
    if (!buffer.get()) {
        write_message(message, text_alloc_failed);
        return wq_status_fail;
    }
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;
    util_mem_fill(settings, buffer_size, 0);
    // The block arrives as one frame; a payload longer than the work buffer
    // allows is cut by the receive, never written past it.
    if (!bt_request_reply(socket.get(), tag_read_request, text_read_request_failed, read_wait_ms,
                          buffer.get(), buffer.size(), bt_attempts_normal, message, language)) {
        return wq_status_fail;
    }
    if (data_size > 0) std::memcpy(settings, buffer.get(), static_cast<std::size_t>(data_size));
    write_message(message, text_read_done, language);
    return wq_status_ok;
}

extern "C" int wq_bt_write_usage_settings(BTH_ADDR address, int data_size, int buffer_size,
                                          const void* settings, char* message,
                                          int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    work_buffer buffer(buffer_size, data_size, bt_frame_markers_length);
    if (!buffer.get()) {
        write_message(message, text_alloc_failed);
        return wq_status_fail;
    }
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;
    if (!write_allowed(socket.get(), message, language)) return wq_status_fail;
    return send_block(socket.get(), buffer, settings, data_size, message, language)
               ? wq_status_ok
               : wq_status_fail;
}
