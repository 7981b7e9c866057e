// The firmware update over a kept connection: request and control values,
// start of the transfer, the image chunks, the final check and the reset
// that ends the connection. None of these clears the message buffer: the
// receive clears it before each attempt, and a send failure overwrites it.
#include <cstring>

#include "bluetooth/bt_link.h"
#include "records/ota_control.h"

namespace {

constexpr char tag_ota_request[] = "BT_OTA_REQ";
constexpr char tag_ota_request_ack[] = "BT_OTA_ACK";
constexpr char tag_control_ack[] = "BT_OTA_CTL";
constexpr char tag_start_transfer[] = "BT_OTA_STR";
constexpr char tag_start_transfer_ack[] = "BT_OTA_PRO";
constexpr char tag_done[] = "BT_OTA_DNE";
constexpr char tag_done_ack[] = "BT_OTA_CMP";
constexpr char tag_reset[] = "BT_OTA_RST";

// Every reply is awaited 100 ms after its request. The box answers the
// request and the control frame quickly; starting the transfer and checking
// the image take it longer.
constexpr std::uint32_t reply_wait_ms = 100;
// Holds a payload of up to 14 characters and the two zero bytes behind it;
// the receive cuts a longer one, which cannot be a valid tag anyway.
constexpr std::size_t reply_size = 16;

// The control frame: the control block framed as "$$" + block + "##".
constexpr std::size_t control_frame_size = ota_control_block_size + bt_frame_markers_length;

constexpr wq_text text_request_send_failed = {
    "Send 'OTA Request' Failed. Please Check Connections ",
    "Senden 'OTA Request' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen "};
constexpr char text_request_reply_invalid[] = "Invalid BT_OTA_REQ_WORD Response ";
constexpr wq_text text_control_send_failed = {"Send 'OTA Cntl' failed.",
                                              "Senden 'OTA Cntl' fehlgeschlagen."};
constexpr wq_text text_start_send_failed = {"Send 'Start Xmit' Failed.",
                                            "Senden 'Start Xmit' fehlgeschlagen."};
constexpr wq_text text_start_reply_invalid = {"Invalid 'OtaStartXmitAck Response.",
                                              "Ung\xFCltige 'OtaStartXmitAck' Antwort."};
constexpr wq_text text_data_send_failed = {"Send OTA-Data Failed.",
                                           "Senden OTA-Daten fehlgeschlagen."};
constexpr wq_text text_done_send_failed = {"Send 'OTA Done' Failed.",
                                           "Senden 'OTA Done' fehlgeschlagen."};
constexpr wq_text text_done_reply_invalid = {"Invalid BT_OTA_DONE_ACK_WORD Response.",
                                             "Invalid BT_OTA_DONE_ACK_WORD Response."};
constexpr wq_text text_reset_send_failed = {
    "Send 'Reset Device' Failed. The device can be reset manually ",
    "Senden 'Reset Device' fehlgeschlagen. Das Ger\xE4t kann manuell zur\xFC" "ckgesetzt werden "};

// The start of the transfer and the final check: the box takes its time
// over both. True when it answered `acknowledgement`; otherwise the reason
// (send failure, no reply, or `invalid` for a wrong one) is in `message`.
bool slow_request_acknowledged(unsigned int socket, const char* request,
                               const wq_text& send_failed, const char* acknowledgement,
                               const wq_text& invalid, char* message, int language) {
    unsigned char reply[reply_size];
    if (!bt_request_reply(socket, request, send_failed, reply_wait_ms, reply, sizeof reply,
                          bt_attempts_slow, message, language)) {
        return false;
    }
    if (bt_reply_is(reply, acknowledgement)) return true;
    write_message(message, invalid, language);
    return false;
}

}  // namespace

extern "C" int wq_bt_ota_start(unsigned int socket, unsigned int control1, unsigned int control2,
                               char* message, int language) noexcept {
    unsigned char reply[reply_size];
    if (!bt_request_reply(socket, tag_ota_request, text_request_send_failed, reply_wait_ms, reply,
                          sizeof reply, bt_attempts_normal, message, language)) {
        return wq_status_fail;
    }
    if (!bt_reply_is(reply, tag_ota_request_ack)) {
        write_message(message, text_request_reply_invalid);
        append_message(message, reinterpret_cast<const char*>(reply));
        return wq_status_fail;
    }
    unsigned char block[ota_control_block_size];
    ota_put_control_block(block, control1, control2);
    unsigned char frame[control_frame_size];
    bt_put_data_frame(frame, sizeof frame, block, sizeof block);
    if (!bt_send_or_report(socket, frame, static_cast<int>(sizeof frame), text_control_send_failed,
                           message, language)) {
        return wq_status_fail;
    }
    plat_sleep_ms(reply_wait_ms);
    if (!bt_receive_reply(socket, reply, sizeof reply, bt_attempts_normal, message, language)) {
        return wq_status_fail;
    }
    // A wrong answer to the control values has no message of its own: the
    // receive left the buffer empty, and so it stays.
    return bt_reply_is(reply, tag_control_ack) ? wq_status_ok : wq_status_fail;
}

extern "C" int wq_bt_ota_start_xmit(unsigned int socket, char* message, int language) noexcept {
    return slow_request_acknowledged(socket, tag_start_transfer, text_start_send_failed,
                                     tag_start_transfer_ack, text_start_reply_invalid, message,
                                     language)
               ? wq_status_ok
               : wq_status_fail;
}

extern "C" int wq_bt_ota_xmit_data(unsigned int socket, const char* image, int length,
                                   unsigned int offset, char* message, int language) noexcept {
    // A negative length has no meaning as a chunk; it is refused before
    // anything reaches the socket, reported as the socket layer reports a
    // buffer it cannot use.
    if (length < 0) {
        write_message(message, text_data_send_failed, language);
        append_error_code(message, plat_wsaefault);
        return wq_status_fail;
    }
    return bt_send_or_report(socket, image + offset, length, text_data_send_failed, message,
                             language)
               ? wq_status_ok
               : wq_status_fail;
}

extern "C" int wq_bt_ota_done(unsigned int socket, char* message, int language) noexcept {
    if (!slow_request_acknowledged(socket, tag_done, text_done_send_failed, tag_done_ack,
                                   text_done_reply_invalid, message, language)) {
        return wq_status_fail;
    }
    write_message(message, text_ota_done, language);
    return wq_status_ok;
}

extern "C" int wq_bt_ota_reset(unsigned int socket, char* message, int language) noexcept {
    const bool sent =
        bt_send_command_or_report(socket, tag_reset, text_reset_send_failed, message, language);
    bt_end_kept_connection(socket);
    return sent ? wq_status_ok : wq_status_fail;
}
