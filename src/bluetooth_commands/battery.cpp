// The box's battery level and a stagnation flush on the user's request, over
// Bluetooth. The box takes its time over both: the reply is read only after
// a wait in whole seconds.
#include <cstdint>

#include "bluetooth/bt_link.h"

namespace {

constexpr char tag_read_battery[] = "BTREAD_BAT";
constexpr char tag_flush[] = "BT_TAP_SPL";
constexpr char tag_flush_accepted[] = "BT_SPL_ACK";

constexpr std::uint32_t battery_wait_s = 10;
constexpr std::uint32_t flush_wait_s = 1;

// A payload of n bytes takes n + 2 bytes of its reply area, so the battery
// reply carries at most 6 bytes; a longer one is cut by the receive.
constexpr std::size_t battery_reply_size = 8;
constexpr std::size_t flush_reply_size = 16;

constexpr wq_text text_battery_request_failed = {"Send READ_BATT_LEVEL Failed.",
                                                 "Senden READ_BATT_LEVEL fehlgeschlagen."};
constexpr wq_text text_flush_request_failed = {"Send USER SPOOL REQ Failed.",
                                               "Senden USER SPOOL REQ fehlgeschlagen."};
constexpr wq_text text_flush_denied = {
    "User-initiated stagnation flush denied. Reason: in use.",
    "Benutzerinitiierte Stagnationssp\xFClung verweigert. Grund: im Einsatz."};
constexpr wq_text text_flush_invalid = {"Invalid USER SPOOL REQ response.",
                                        "Ung\xFCltige USER SPOOL REQ-Antwort."};

// Sends the command frame of `tag`, waits `wait_s` seconds and receives one
// framed reply into `reply`; true when it arrived.
bool request_after_seconds(unsigned int socket, const char* tag, const wq_text& failure,
                           std::uint32_t wait_s, unsigned char* reply, std::size_t reply_size,
                           char* message, int language) {
    if (!bt_send_command_or_report(socket, tag, failure, message, language)) return false;
    plat_sleep_s(wait_s);
    return bt_receive_reply(socket, reply, reply_size, bt_attempts_normal, message, language);
}

}  // namespace

extern "C" int wq_bt_read_batt(BTH_ADDR address, int* level, char* message, int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;
    unsigned char reply[battery_reply_size];
    if (!request_after_seconds(socket.get(), tag_read_battery, text_battery_request_failed,
                               battery_wait_s, reply, sizeof reply, message, language)) {
        return wq_status_fail;
    }
    // The level is a signed byte: 0x80 to 0xFF stand for -128 to -1.
    *level = static_cast<signed char>(reply[0]);
    return wq_status_ok;
}

extern "C" int wq_bt_force_flush(BTH_ADDR address, char* message, int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;
    unsigned char reply[flush_reply_size];
    const bool accepted =
        request_after_seconds(socket.get(), tag_flush, text_flush_request_failed, flush_wait_s,
                              reply, sizeof reply, message, language) &&
        bt_reply_accepted(reply, tag_flush_accepted, &text_flush_denied, text_flush_invalid,
                          message, language);
    return accepted ? wq_status_ok : wq_status_fail;
}
