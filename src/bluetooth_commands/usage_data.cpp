// The usage-log download over a kept connection: the entry count, one
// record per fetch, and the end request that also closes the connection.
#include <cstring>

#include "bluetooth/bt_link.h"
#include "text/usage_record.h"
#include "text/little_endian.h"

namespace {

constexpr char tag_entry_count_request[] = "BTUDAT_REQ";
constexpr char tag_record_request[] = "BTUDAT_STR";
constexpr char tag_record_repeat[] = "BTUDAT_RET";
constexpr char tag_end_request[] = "BTUDAT_END";

// The count arrives as the first four payload bytes of a frame, least
// significant first; the box may take its time, hence the slow attempts.
constexpr std::uint32_t entry_count_wait_ms = 100;
constexpr std::size_t entry_count_area_size = 32;
constexpr std::size_t entry_count_bytes = 4;

// The record arrives unframed. The zero bytes behind it in the receive
// area end any text field that runs to the record's end.
constexpr std::uint32_t record_wait_ms = 1;
constexpr std::size_t record_area_size = 148;
constexpr int record_attempts = 100;

constexpr wq_text text_entry_count_send_failed = {"Send 'Use Data Entry Count' Failed.",
                                                  "Senden 'Use Data Entry Count' fehlgeschlagen."};
constexpr wq_text text_record_send_failed = {"Send 'Use Data Start' Failed.",
                                             "Senden 'Use Data Start' fehlgeschlagen."};
constexpr wq_text text_end_send_failed = {"Send 'Use Data Done' Failed. ",
                                          "Senden 'Use Data Done' fehlgeschlagen. "};


}  // namespace

extern "C" int wq_bt_use_data_req(unsigned int socket, unsigned int* entry_count, char* message,
                                  int language) noexcept {
    unsigned char area[entry_count_area_size];
    if (!bt_request_reply(socket, tag_entry_count_request, text_entry_count_send_failed,
                          entry_count_wait_ms, area, sizeof area, bt_attempts_slow, message,
                          language)) {
        return wq_status_fail;
    }
    // A payload shorter than four bytes reads as if padded with zeros: the
    // area was zeroed before the receive.
    *entry_count = static_cast<unsigned int>(get_little_endian(area, entry_count_bytes));
    return wq_status_ok;
}

extern "C" int wq_bt_use_data_fetch(unsigned int socket, int product_mode, int water_variant,
                                    char* entry_number, char* water_value, char* usage_text,
                                    char* product_value_1, char* product_value_2,
                                    char* water_value_2, char* water_value_3, char* entry_key,
                                    char* message, int repeat, int language) noexcept {
    const char* tag = repeat != 0 ? tag_record_repeat : tag_record_request;
    if (!bt_send_command_or_report(socket, tag, text_record_send_failed, message, language)) {
        return wq_status_fail;
    }
    plat_sleep_ms(record_wait_ms);
    unsigned char area[record_area_size] = {};
    if (bt_receive_bytes_raw(socket, area, static_cast<int>(usage_record_size), record_attempts,
                             message, language) != static_cast<int>(usage_record_size)) {
        return wq_status_fail;
    }
    const usage_outputs outputs = {entry_number,    water_value,   usage_text,
                                   product_value_1, product_value_2, water_value_2,
                                   water_value_3,   entry_key};
    return util_unpack_usage_record(area, product_mode, water_variant, outputs,
                                    /*number_check=*/true);
}

extern "C" int wq_bt_use_data_done(unsigned int socket, char* message, int language) noexcept {
    const bool sent =
        bt_send_command_or_report(socket, tag_end_request, text_end_send_failed, message, language);
    bt_end_kept_connection(socket);
    return sent ? wq_status_ok : wq_status_fail;
}
