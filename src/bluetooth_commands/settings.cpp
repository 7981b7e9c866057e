// Settings over Bluetooth: the host's texts into a record and back.
#include <cstring>

#include "bluetooth/bt_link.h"
#include "bluetooth_commands/bt_settings.h"

namespace {

// `mode` 3 puts two address texts into `text_8` and a third into `address_3`.
constexpr int address_mode = 3;
constexpr std::size_t address_slot = 16;       // each half of `text_8`
constexpr std::size_t address_3_taken = 15;    // bytes taken from the host's third address
constexpr int address_text_max = 15;           // characters handed back per address
constexpr char address_fill = '%';
constexpr char keep_nothing = '\0';

// Room for any decimal 32-bit value with its sign and zero byte.
constexpr std::size_t decimal_scratch = 12;

constexpr wq_text text_write_success = {"Write Settings Successful!",
                                        "Speichern der Einstellungen erfolgreich!"};
constexpr wq_text text_write_success_safe = {"[Safe] Write Settings Successful!",
                                             "[Safe] Speichern der Einstellungen erfolgreich!"};
constexpr wq_text text_read_success = {"Read User Settings Success!",
                                       "Einstellungen erfolgreich gelesen!"};
constexpr wq_text text_read_success_safe = {"[SAFE] Read User Settings Success!",
                                            "[SAFE] Einstellungen erfolgreich gelesen!"};
constexpr wq_text text_default_success = {
    "Restore Default User Settings Success!",
    "Widerherstellung Standard Nutzereinstellungen erfolgreich!"};

// A Bluetooth write carries three address texts besides the record's own.
struct bt_settings_input {
    settings_input record;
    const char* address_1;
    const char* address_2;
    const char* address_3;
};

const settings_layout& layout_for(int safe) { return safe ? bt_safe_layout : bt_standard_layout; }

// One address text into a 16-byte half of `text_8`: separators become '.'.
void put_address(char* slot, const char* address) {
    char text[address_slot] = {};
    const std::size_t length = strnlen(address, address_slot);
    std::memcpy(text, address, length);
    util_fix_ipaddr(text, static_cast<int>(length), keep_nothing);
    std::memcpy(slot, text, length);
}

void put_address_pair(unsigned char* record, settings_field text_8, const bt_settings_input& host) {
    char* pair = reinterpret_cast<char*>(record + text_8.offset);
    std::memset(pair, 0, text_8.size);
    put_address(pair, host.address_1);
    put_address(pair + address_slot, host.address_2);
    util_remove_null_char(pair, address_fill, static_cast<int>(text_8.size));
    pair[text_8.size - 1] = '\0';
}

// In address mode `address_3` holds the host's third address instead of the
// start of `text_7`: exactly 15 bytes are taken, separators become '.'.
void put_address_3(unsigned char* record, settings_field address_3, const char* address) {
    char* field = reinterpret_cast<char*>(record + address_3.offset);
    std::memset(field, 0, address_3.size);
    std::memcpy(field, address, address_3_taken);
    util_fix_ipaddr(field, static_cast<int>(address_3.size), keep_nothing);
}

// Fills the record and returns the present mask.
std::uint32_t fill_record(unsigned char* record, const bt_settings_input& host, int safe) {
    const settings_layout& layout = layout_for(safe);
    const settings_input& in = host.record;
    const bool address_mode_on = in.mode == address_mode;
    // In address mode `text_8` is not read at all (the host may pass NULL):
    // the address pair takes its place.
    settings_input texts = in;
    if (address_mode_on) texts.fields &= ~settings_bit_text_8;
    std::uint32_t mask = settings_put_texts(record, layout, texts);
    if (address_mode_on && (in.fields & settings_bit_text_8)) {
        put_address_pair(record, layout.text_8, host);
        mask |= settings_bit_text_8;
    }
    if (address_mode_on && (mask & settings_bit_text_7)) {
        put_address_3(record, layout.address_3, host.address_3);
    }
    return settings_put_numbers(record, layout, in, mask);
}

// A number field as text: the signed decimal of the binary value in the
// standard layout; the safe layout's own text, which may fill its field.
void get_number(const unsigned char* record, settings_field field, int safe, char* out) {
    if (safe) {
        const char* text = reinterpret_cast<const char*>(record + field.offset);
        const std::size_t length = strnlen(text, field.size);
        std::memcpy(out, text, length);
        out[length] = '\0';
        return;
    }
    char text[decimal_scratch] = {};
    decimal_text(static_cast<std::int32_t>(settings_get_number(record, field)), text, sizeof text);
    std::memcpy(out, text, std::strlen(text) + 1);
}

void hand_out(const unsigned char* record, int safe, const settings_output& out, char* address_1,
              char* address_2, char* address_3) {
    const settings_layout& layout = layout_for(safe);
    settings_get_texts(record, layout, out);
    get_number(record, layout.number, safe, out.number);
    get_number(record, layout.mode, safe, out.mode);
    const char* pair = reinterpret_cast<const char*>(record + layout.text_8.offset);
    util_get_ipaddr(address_1, pair, address_text_max);
    util_get_ipaddr(address_2, pair + address_slot, address_text_max);
    util_get_ipaddr(address_3, reinterpret_cast<const char*>(record + layout.address_3.offset),
                    address_text_max);
}

}  // namespace

extern "C" int wq_bt_write_settings(BTH_ADDR address, const char* text_1, const char* text_2,
                                    const char* text_3, const char* text_4, const char* number,
                                    const char* choice_number, const char* text_5,
                                    const char* text_6, const char* text_7, const char* text_8,
                                    const char* address_1, const char* address_2,
                                    const char* address_3, char* message, unsigned int choice,
                                    unsigned char choice_byte, int mode, unsigned int fields,
                                    int safe, int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;

    const bt_settings_input host = {{text_1, text_2, text_3, text_4, number, choice_number,
                                      text_5, text_6, text_7, text_8, choice, choice_byte, mode,
                                      fields},
                                     address_1, address_2, address_3};
    unsigned char record[settings_record_capacity] = {};
    fill_record(record, host, safe);
    unsigned char frame[bt_settings_frame_capacity] = {};
    const auto frame_length = static_cast<unsigned int>(
        bt_put_data_frame(frame, sizeof frame, record, layout_for(safe).record_size));

    if (bt_write_settings(socket.get(), reinterpret_cast<const char*>(frame), frame_length, message,
                          language) != wq_status_ok) {
        return wq_status_fail;
    }
    write_message(message, safe ? text_write_success_safe : text_write_success, language);
    return wq_status_ok;
}

extern "C" int wq_bt_read_settings(BTH_ADDR address, char* text_1, char* text_2, char* text_3,
                                   char* text_4, char* number, char* choice_number, char* text_5,
                                   char* text_6, char* text_7, char* text_8, char* mode,
                                   char* address_1, char* address_2, char* address_3,
                                   char* message, int safe, int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;

    const int record_size = static_cast<int>(layout_for(safe).record_size);
    unsigned char record[settings_record_capacity + 2] = {};
    int status = bt_read_settings(socket.get(), record, record_size, message, language);
    if (status == wq_status_ok) {
        hand_out(record, safe,
                 {text_1, text_2, text_3, text_4, number, choice_number, text_5, text_6, text_7,
                  text_8, mode},
                 address_1, address_2, address_3);
        write_message(message, safe ? text_read_success_safe : text_read_success, language);
    }
    // Whatever the box still sends is drained, so it cannot linger on the link.
    bt_flush_rdbuff(socket.get());
    return status;
}

extern "C" int wq_bt_default_settings(BTH_ADDR address, char* message, int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    bt_command_socket socket(address, message, language);
    if (!socket.open()) return wq_status_fail;
    if (bt_set_default_settings(socket.get(), message, language) != wq_status_ok) {
        return wq_status_fail;
    }
    write_message(message, text_default_success, language);
    return wq_status_ok;
}
