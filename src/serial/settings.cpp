// Reading, writing and restoring the box's user settings over the serial
// link. Each call opens the port, runs one exchange and closes it again.
#include <cstdint>
#include <cstring>

#include "serial/serial_exchange.h"
#include "serial/serial_port.h"
#include "records/settings_record.h"
#include "text/messages.h"
#include "wq.h"

namespace {

// The box acknowledges a write request, confirms a stored record and
// acknowledges a restore with these texts, their zero byte included.
constexpr char write_request_ack[] = "DOWNLOAD_S";
constexpr char write_done_ack[] = "DOWNLOAD_E";
constexpr char restore_ack[] = "DEF_ACK";
// The box needs this long to store a written record before it confirms.
constexpr std::uint32_t store_wait_ms = 500;

// Sizes of the host's decimal outputs.
constexpr std::size_t number_text_size = 12;
constexpr std::size_t mode_text_size = 12;

constexpr wq_text text_read_request_not_sent = {
    "Error Occured While Sending Read Request", "Fehler beim Versenden der Leseanfrage"};
constexpr wq_text text_record_not_read = {
    "Error Occured While Reading Settings", "Fehler beim Lesen der Einstellungen"};
constexpr wq_text text_read_done = {
    "Read User Settings Success!", "Einstellungen erfolgreich gelesen!"};

constexpr wq_text text_write_request_not_sent = {
    "Send WRREQ Failed. Please Check Connections",
    "Senden WRREQ fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_write_ack_not_read = {
    "Read WRACK Failed. Please Check Connections",
    "Lesen WRACK fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_write_ack_wrong = {
    "Invalid WRACK Response. Please Check Firmware",
    "Ung\xFC" "ltige WRACK Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_record_not_sent = {
    "Write Settings Failed. Please Check Connections",
    "Speichern der Einstellungen fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_write_done_not_read = {
    "Read WRDONE Failed. Please Check Connections",
    "Lesen WRDONE fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_write_done_wrong = {
    "Invalid WRDONE Response. Please Check Firmware",
    "Ung\xFC" "ltige WRDONE Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_write_done = {
    "Write Settings Successful!", "Speichern der Einstellungen erfolgreich!"};

constexpr wq_text text_restore_not_sent = {
    "Send 'Restore Default' Failed. Please Check Connections",
    "Senden 'Wiederherstellung Werkseinstellungen' fehlgeschlagen. Bitte Verbindungen "
    "\xFC" "berpr\xFC" "fen"};
constexpr wq_text text_restore_ack_not_read = {
    "Read 'DefaultACK' Failed. Please Check Connections",
    "Lesen 'DefaultACK' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_restore_ack_wrong = {
    "Invalid DefaulACK Response. Please Check Firmware",
    "Ung\xFC" "ltige DefaultACK Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_restore_done = {
    "Restore Default User Settings Success!",
    "Widerherstellung Standard Nutzereinstellungen erfolgreich!"};

const settings_layout& layout_of(int short_format) {
    return short_format != 0 ? settings_short_layout : settings_long_layout;
}

// Fills a zeroed record with the fields the host selected that the layout
// has, and the choice, `one` and the present mask.
void fill_record(unsigned char* record, const settings_layout& layout, const settings_input& in) {
    settings_put_numbers(record, layout, in, settings_put_texts(record, layout, in));
}

void hand_out_record(const unsigned char* record, const settings_layout& layout,
                     const settings_output& out) {
    settings_get_texts(record, layout, out);
    const auto number = static_cast<std::int32_t>(settings_get_number(record, layout.number));
    decimal_text(number, out.number, number_text_size);
    // The short layout has no `mode`: the host's output stays as it was.
    if (settings_has(layout.mode)) {
        const auto mode = static_cast<std::int32_t>(settings_get_number(record, layout.mode));
        decimal_text(mode, out.mode, mode_text_size);
    }
}

int read_settings(plat_handle port, const settings_layout& layout, const settings_output& out,
                  char* message, int language) {
    if (write_command_block(port, command_read_settings) != 0) {
        return fail_with_message(message, text_read_request_not_sent, language);
    }
    unsigned char record[settings_record_capacity] = {};
    const auto size = static_cast<std::uint32_t>(layout.record_size);
    if (wq_read_port(port, record, size) != static_cast<int>(size)) {
        return fail_with_message(message, text_record_not_read, language);
    }
    hand_out_record(record, layout, out);
    write_message(message, text_read_done, language);
    return wq_status_ok;
}

int write_settings(plat_handle port, const settings_layout& layout, const settings_input& in,
                   char* message, int language) {
    unsigned char record[settings_record_capacity] = {};
    fill_record(record, layout, in);
    if (write_command_block(port, command_write_settings) != 0) {
        return fail_with_message(message, text_write_request_not_sent, language);
    }
    if (expect_reply(port, write_request_ack, sizeof write_request_ack, text_write_ack_not_read,
                     text_write_ack_wrong, message, language) != wq_status_ok) {
        return wq_status_fail;
    }
    if (wq_write_port(port, record, static_cast<std::uint32_t>(layout.record_size)) != 0) {
        return fail_with_message(message, text_record_not_sent, language);
    }
    plat_sleep_ms(store_wait_ms);
    if (expect_reply(port, write_done_ack, sizeof write_done_ack, text_write_done_not_read,
                     text_write_done_wrong, message, language) != wq_status_ok) {
        return wq_status_fail;
    }
    write_message(message, text_write_done, language);
    return wq_status_ok;
}

int restore_defaults(plat_handle port, char* message, int language) {
    if (write_command_block(port, command_default_settings) != 0) {
        return fail_with_message(message, text_restore_not_sent, language);
    }
    if (expect_reply(port, restore_ack, sizeof restore_ack, text_restore_ack_not_read,
                     text_restore_ack_wrong, message, language) != wq_status_ok) {
        return wq_status_fail;
    }
    write_message(message, text_restore_done, language);
    return wq_status_ok;
}

}  // namespace

extern "C" int wq_read_settings(int port, char* text_1, char* text_2, char* text_3, char* text_4,
                                char* number, char* choice_number, char* text_5, char* text_6,
                                char* text_7, char* text_8, char* mode, char* message,
                                int short_format, int language) noexcept {
    clear_message(message);
    const plat_handle handle = open_command_port(port, message, language);
    if (handle == plat_invalid_handle) return wq_status_fail;
    port_guard guard(handle);
    const settings_output out = {text_1, text_2, text_3, text_4, number, choice_number,
                                 text_5, text_6, text_7, text_8, mode};
    return read_settings(handle, layout_of(short_format), out, message, language);
}

extern "C" int wq_write_settings(int port, const char* text_1, const char* text_2,
                                 const char* text_3, const char* text_4, const char* number,
                                 const char* choice_number, const char* text_5,
                                 const char* text_6, const char* text_7, const char* text_8,
                                 char* message, unsigned int choice, int choice_byte, int mode,
                                 int short_format, unsigned int fields, int language) noexcept {
    clear_message(message);
    const plat_handle handle = open_command_port(port, message, language);
    if (handle == plat_invalid_handle) return wq_status_fail;
    port_guard guard(handle);
    const settings_input in = {text_1, text_2, text_3, text_4, number, choice_number, text_5,
                               text_6, text_7, text_8, choice, choice_byte, mode, fields};
    return write_settings(handle, layout_of(short_format), in, message, language);
}

extern "C" int wq_default_settings(int port, char* message, int language) noexcept {
    clear_message(message);
    const plat_handle handle = open_command_port(port, message, language);
    if (handle == plat_invalid_handle) return wq_status_fail;
    port_guard guard(handle);
    return restore_defaults(handle, message, language);
}
