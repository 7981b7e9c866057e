// The settings exchanges on an open socket: write, read and restore.
#include <cstring>

#include "bluetooth/bt_link.h"
#include "bluetooth_commands/bt_settings.h"

namespace {

constexpr char tag_write_request[] = "BTWRTE_REQ";
constexpr char tag_write_ack[] = "BTWRTE_ACK";
constexpr char tag_write_done[] = "BTWRTE_DNE";
constexpr char tag_read_request[] = "BTREAD_REQ";
constexpr char tag_default_request[] = "BTDEFL_REQ";
constexpr char tag_default_ack[] = "BTDEFL_ACK";

constexpr std::uint32_t reply_wait_ms = 100;
constexpr std::size_t ack_reply_size = 16;

// The box may miss a write request or be slow to take it; the request is
// sent again, but not forever: after this many requests without an answer
// the write ends with the message of the last one (about 5.5 s at most).
constexpr int write_request_attempts = 5;

constexpr wq_text text_write_request_failed = {"Send BT_WRITE_REQ_WORD Failed: ",
                                               "Send BT_WRITE_REQ_WORD Failed: "};
constexpr wq_text text_write_busy = {"Write setting denied. Reason: in-use. ",
                                     "Schreibeinstellung verweigert. Grund: In Gebrauch. "};
constexpr wq_text text_write_ack_invalid = {"Invalid BT_WRITE_ACK_WORD Response ",
                                            "Invalid BT_WRITE_ACK_WORD Response "};
constexpr wq_text text_settings_send_failed = {"Send Settings Failed: ", "Send Settings Failed: "};
constexpr wq_text text_read_request_failed = {"Send BT_READ_REQ_WORD Failed: ",
                                              "Send BT_READ_REQ_WORD Failed: "};
constexpr wq_text text_default_request_failed = {"Send BT_DEFAULT_REQ_WORD Failed: ",
                                                 "Send BT_DEFAULT_REQ_WORD Failed: "};
constexpr wq_text text_default_busy = {
    "Restore factory settings denied. Reason: in-use. ",
    "Wiederherstellen der Werkseinstellungen abgelehnt. Grund: In Gebrauch. "};
constexpr wq_text text_default_ack_invalid = {"Invalid BT_DEFAULT_ACK_WORD Response ",
                                              "Invalid BT_DEFAULT_ACK_WORD Response "};

// Sends the write request until the box answers it (or the attempts run
// out); true when it agreed to take the record.
bool request_write(unsigned int socket, char* message, int language) {
    unsigned char reply[ack_reply_size];
    for (int attempt = 0; attempt < write_request_attempts; ++attempt) {
        if (bt_request_reply(socket, tag_write_request, text_write_request_failed, reply_wait_ms,
                             reply, sizeof reply, bt_attempts_normal, message, language)) {
            return bt_reply_accepted(reply, tag_write_ack, &text_write_busy,
                                     text_write_ack_invalid, message, language);
        }
    }
    return false;
}

}  // namespace

int bt_write_settings(unsigned int socket, const char* frame, unsigned int frame_length,
                      char* message, int language) {
    if (!request_write(socket, message, language)) return wq_status_fail;
    if (!bt_send_or_report(socket, frame, static_cast<int>(frame_length), text_settings_send_failed, message,
                           language)) {
        return wq_status_fail;
    }
    plat_sleep_ms(reply_wait_ms);
    unsigned char reply[ack_reply_size];
    if (!bt_receive_reply(socket, reply, sizeof reply, bt_attempts_normal, message, language)) {
        return wq_status_fail;
    }
    return bt_reply_accepted(reply, tag_write_done, nullptr, text_write_ack_invalid, message,
                             language)
               ? wq_status_ok
               : wq_status_fail;
}

int bt_read_settings(unsigned int socket, unsigned char* record, int record_size, char* message,
                     int language) {
    if (!bt_send_command_or_report(socket, tag_read_request, text_read_request_failed, message,
                                   language)) {
        return wq_status_fail;
    }
    plat_sleep_ms(reply_wait_ms);
    const std::size_t size = static_cast<std::size_t>(record_size);
    std::memset(record, 0, size);
    // The payload is the record as it stands, compared with no tag; a shorter
    // one leaves the rest zero, a longer one is cut to the record.
    const int received = bt_receive_bytes(socket, record, size + 2, bt_attempts_normal, message,
                                          language);
    return received ? wq_status_ok : wq_status_fail;
}

int bt_set_default_settings(unsigned int socket, char* message, int language) {
    unsigned char reply[ack_reply_size];
    if (!bt_request_reply(socket, tag_default_request, text_default_request_failed, reply_wait_ms,
                          reply, sizeof reply, bt_attempts_normal, message, language)) {
        return wq_status_fail;
    }
    return bt_reply_accepted(reply, tag_default_ack, &text_default_busy, text_default_ack_invalid,
                             message, language)
               ? wq_status_ok
               : wq_status_fail;
}

// ---- address texts -----------------------------------------------------------------

namespace {
bool is_digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

void util_fix_ipaddr(char* text, int length, char keep) {
    for (int i = 0; i < length; ++i) {
        if (!is_digit(text[i]) && text[i] != keep && text[i] != '\0') text[i] = '.';
    }
}

void util_remove_null_char(char* text, char fill, int length) {
    for (int i = 0; i < length; ++i) {
        if (text[i] == '\0') text[i] = fill;
    }
}

void util_get_ipaddr(char* destination, const char* source, int length) {
    for (int i = 0; i < length; ++i) {
        if (is_digit(source[i]) || source[i] == '.') destination[i] = source[i];
    }
}
