// Setting the box's clock, making it identify itself and resetting it over
// Bluetooth. These requests are only sent: the box answers none of them, so
// only a send error fails a call.
#include <algorithm>
#include <cstdint>

#include "bluetooth/bt_link.h"

namespace {

constexpr char tag_sync_time[] = "BTSYNC_TIM";
constexpr char tag_identify[] = "BT_IDENTFY";
constexpr char tag_reset[] = "BT_TAP_RST";

// The box needs a moment between the clock request and the time frame.
constexpr std::uint32_t time_frame_wait_ms = 100;

// The largest 64-bit value has 20 decimal digits.
constexpr std::size_t time_digits_max = 20;
constexpr std::size_t time_frame_max = time_digits_max + bt_frame_markers_length;
constexpr unsigned decimal_base = 10;

constexpr wq_text text_sync_time_failed = {"Send SYNC TIME Failed.",
                                           "Senden SYNC TIME fehlgeschlagen."};
constexpr wq_text text_time_failed = {"Send TIME Failed.", "Senden TIME fehlgeschlagen."};
constexpr wq_text text_identify_failed = {"Send IDENTIFY Failed.",
                                          "Senden IDENTIFY fehlgeschlagen."};
constexpr wq_text text_reset_failed = {"Send RST_REQ Failed.", "Senden RST_REQ fehlgeschlagen."};
constexpr wq_text text_reset_sent = {"Send RST_REQ Success.", "RST_REQ erfolgreich senden."};

// The decimal digits of `value`, most significant first, without sign or
// leading zeros (0 is the single digit "0"); how many were written.
std::size_t decimal_digits(std::uint64_t value, char (&digits)[time_digits_max]) {
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % decimal_base);
        value /= decimal_base;
    } while (value != 0);
    std::reverse(digits, digits + count);
    return count;
}

bool send_time(unsigned int socket, std::uint64_t time, char* message, int language) {
    if (!bt_send_command_or_report(socket, tag_sync_time, text_sync_time_failed, message,
                                   language)) {
        return false;
    }
    plat_sleep_ms(time_frame_wait_ms);
    char digits[time_digits_max];
    const std::size_t digit_count = decimal_digits(time, digits);
    unsigned char frame[time_frame_max] = {};
    const std::size_t length = bt_put_data_frame(frame, sizeof frame, digits, digit_count);
    return bt_send_or_report(socket, frame, static_cast<int>(length), text_time_failed, message,
                             language);
}

}  // namespace

extern "C" int wq_bt_sync_time(BTH_ADDR address, unsigned long long time, char* message,
                               int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;
    return send_time(socket.get(), time, message, language) ? wq_status_ok : wq_status_fail;
}

extern "C" int wq_bt_identify(BTH_ADDR address, char* message, int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;
    return bt_send_command_or_report(socket.get(), tag_identify, text_identify_failed, message,
                                     language)
               ? wq_status_ok
               : wq_status_fail;
}

extern "C" int wq_bt_reset_device(BTH_ADDR address, char* message, int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;
    if (!bt_send_command_or_report(socket.get(), tag_reset, text_reset_failed, message, language)) {
        return wq_status_fail;
    }
    write_message(message, text_reset_sent, language);
    return wq_status_ok;
}
