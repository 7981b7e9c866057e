// The firmware update over the serial link: five calls on a port the host
// keeps open between them. The library holds nothing between the calls; the
// serial handle the host passes back is all that links them.
#include <cstdint>

#include "serial/serial_exchange.h"
#include "records/ota_control.h"
#include "serial/serial_port.h"
#include "text/messages.h"
#include "wq.h"

namespace {

// The box's acknowledgements: twelve characters and a zero byte, compared
// over all thirteen.
constexpr char request_ack[] = "OTA_REQ_ACKN";
constexpr char control_ack[] = "OTA_RCV_CTRL";
constexpr char transfer_ack[] = "OTA_DNL_STRT";
constexpr char done_ack[] = "OTA_DNL_DONE";
constexpr std::uint32_t ack_size = sizeof request_ack;
static_assert(sizeof control_ack == ack_size && sizeof transfer_ack == ack_size &&
              sizeof done_ack == ack_size);


// The box prepares for the image before it says so; we look for its answer
// once a second, and give up after this many reads that brought nothing
// (or less than an acknowledgement).
constexpr std::uint32_t transfer_poll_ms = 1000;
constexpr int transfer_failed_reads_max = 20;
// Complete replies that are not the start acknowledgement do not count
// towards that limit. So that a box that keeps answering wrongly cannot hold
// the host forever, the wait also ends, failed, after this many of them; the
// message buffer then holds the invalid-reply message.
constexpr int transfer_wrong_replies_max = 100;

constexpr wq_text text_request_not_sent = {
    "Send 'OTA Request' Failed. Please Check Connections",
    "Senden 'OTA Request' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
// Also reported while waiting for the start acknowledgement.
constexpr wq_text text_request_ack_not_read = {
    "Read 'OTA Req-Ack' Failed. Please Check Connections",
    "Lesen 'OTA Req-Ack' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_request_ack_wrong = {
    "OTA Initialization Fail. OTA is not possible.",
    "OTA-Initialisierung fehlgeschlagen. OTA ist nicht m\xF6" "glich."};
constexpr wq_text text_control_not_sent = {
    "Send 'OTA Cntl' failed. Please check connections!",
    "Senden 'OTA Cntl' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_control_ack_not_read = {
    "Read 'OTA Rcv-Ctl' Failed. Please Check Connections",
    "Lesen 'OTA Rcv-Ctl' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_control_ack_wrong = {
    "Invalid 'OtaRcvCntl' Response. Please Check Firmware",
    "Ung\xFC" "ltige 'OtaRcvCntl' Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_control_sent = {"OTA Control Sent.", "OTA-Steuerung gesendet."};

constexpr wq_text text_transfer_request_not_sent = {
    "Send 'Start Xmit' Failed. Please Check Connections",
    "Senden 'Start Xmit' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_transfer_ack_wrong = {
    "Invalid 'OtaStartXmitAck Response. Please Check Firmware",
    "Ung\xFC" "ltige 'OtaStartXmitAck' Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_transfer_started = {
    "OTA Start acknowledged. Sending OTA Data...",
    "OTA-Start best\xE4" "tigt. OTA-Daten senden..."};

constexpr wq_text text_chunk_not_sent = {
    "Send OTA-Data Failed. Please Check Connections",
    "Senden OTA-Daten fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};

constexpr wq_text text_verify_not_sent = {
    "Send 'Verify OTA' Failed. Please Check Connections",
    "Senden 'Verify OTA' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_done_ack_not_read = {
    "Read 'OTA Done' Failed. Please Check Connections",
    "Lesen 'OTA Done' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_done_ack_wrong = {
    "Invalid 'OTA Done' Response. Please Check Firmware",
    "Ung\xFC" "ltige 'OTA Done' Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"};

int send_control(plat_handle port, std::uint32_t control1, std::uint32_t control2,
                 char* message, int language) {
    unsigned char block[ota_control_block_size];
    ota_put_control_block(block, control1, control2);
    if (wq_write_port(port, block, sizeof block) != 0) {
        return fail_with_message(message, text_control_not_sent, language);
    }
    return expect_reply(port, control_ack, ack_size, text_control_ack_not_read,
                        text_control_ack_wrong, message, language);
}

int wait_for_transfer_start(plat_handle port, char* message, int language) {
    int failed_reads = 0;
    int wrong_replies = 0;
    while (failed_reads < transfer_failed_reads_max && wrong_replies < transfer_wrong_replies_max) {
        plat_sleep_ms(transfer_poll_ms);
        switch (read_expected_reply(port, transfer_ack, ack_size)) {
            case reply_outcome::matched:
                write_message(message, text_transfer_started, language);
                return wq_status_ok;
            case reply_outcome::not_read:
                write_message(message, text_request_ack_not_read, language);
                ++failed_reads;
                break;
            case reply_outcome::different:
                write_message(message, text_transfer_ack_wrong, language);
                ++wrong_replies;
                break;
        }
    }
    return wq_status_fail;
}

int confirm_done(plat_handle port, char* message, int language) {
    if (write_command_block(port, command_ota_verify) != 0) {
        return fail_with_message(message, text_verify_not_sent, language);
    }
    if (expect_reply(port, done_ack, ack_size, text_done_ack_not_read, text_done_ack_wrong,
                     message, language) != wq_status_ok) {
        return wq_status_fail;
    }
    write_message(message, text_ota_done, language);
    return wq_status_ok;
}

}  // namespace

extern "C" int wq_ota_open_port(int port, char* message, int language, int* handle) noexcept {
    clear_message(message);
    const plat_handle opened = open_command_port(port, message, language);
    if (opened == plat_invalid_handle) {
        // 0, not the all-ones "no port", is what the host checks for.
        *handle = 0;
        return wq_status_fail;
    }
    *handle = handle_to_host(opened);
    return wq_status_ok;
}

extern "C" int wq_ota_start(int, char* message, int language, int handle, unsigned int control1,
                            unsigned int control2) noexcept {
    clear_message(message);
    const plat_handle port = handle_from_host(handle);
    if (write_command_block(port, command_ota_request) != 0) {
        return fail_with_message(message, text_request_not_sent, language);
    }
    if (expect_reply(port, request_ack, ack_size, text_request_ack_not_read,
                     text_request_ack_wrong, message, language) != wq_status_ok) {
        return wq_status_fail;
    }
    if (send_control(port, control1, control2, message, language) != wq_status_ok) {
        return wq_status_fail;
    }
    write_message(message, text_control_sent, language);
    return wq_status_ok;
}

extern "C" int wq_ota_start_xmit(int, char* message, int language, int handle) noexcept {
    clear_message(message);
    const plat_handle port = handle_from_host(handle);
    if (write_command_block(port, command_ota_start_transfer) != 0) {
        return fail_with_message(message, text_transfer_request_not_sent, language);
    }
    return wait_for_transfer_start(port, message, language);
}

// A chunk of no bytes is still one write of no bytes, so a handle that is
// no port fails as it would with data (the image is not touched). A negative
// length names no chunk at all: nothing is sent and the call fails as an
// unsent chunk, rather than reading a huge range of the host's memory.
extern "C" int wq_ota_xmit_data(int, char* message, int language, int handle,
                                const unsigned char* image, int length,
                                unsigned int offset) noexcept {
    clear_message(message);
    if (length < 0) return fail_with_message(message, text_chunk_not_sent, language);
    const auto count = static_cast<std::uint32_t>(length);
    const unsigned char* chunk = count == 0 ? image : image + offset;
    if (wq_write_port(handle_from_host(handle), chunk, count) != 0) {
        return fail_with_message(message, text_chunk_not_sent, language);
    }
    return wq_status_ok;
}

// Ends the update: the port is closed whatever the box answered.
extern "C" int wq_ota_confirm_done(int, char* message, int language, int handle) noexcept {
    clear_message(message);
    const plat_handle port = handle_from_host(handle);
    port_guard guard(port);
    return confirm_done(port, message, language);
}
