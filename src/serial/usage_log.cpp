// Downloading the usage log over the serial link, on a port the host keeps
// open: the number of entries, then one record per call, then the end.
#include <cstdint>
#include <cstring>

#include "serial/serial_exchange.h"
#include "serial/serial_port.h"
#include "text/messages.h"
#include "text/usage_record.h"
#include "wq.h"
#include "text/little_endian.h"

namespace {

// Requests that are not command blocks: 13 characters and a zero byte.
constexpr char start_request[] = "USEDATA_START";
constexpr char end_request[] = "USEDATA_END__";
constexpr std::uint32_t request_size = 14;
static_assert(sizeof start_request == request_size && sizeof end_request == request_size);

constexpr std::uint32_t entry_count_size = 4;
// The box answers a request within a few attempts; each waits a little and
// then reads the whole answer. A short read is thrown away, not resumed.
constexpr int answer_attempts = 20;
constexpr std::uint32_t answer_attempt_wait_ms = 10;

constexpr wq_text text_count_request_not_sent = {
    "Send 'Use Data Entry Count Req' Failed. Please Check Connections",
    "Senden 'Use Data Entry Count Req' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_count_not_read = {
    "Read 'Use Data Entry Count' Failed. Please Check Connections",
    "Lesen 'Use Data Entry Count' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_start_not_sent = {
    "Send 'Use Data Start' Failed. Please Check Connections",
    "Senden 'Use Data Start' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_record_not_read = {
    "Read 'Use Data' Failed. Please Check Connections",
    "Lesen 'Use Data' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_end_not_sent = {
    "Send 'Use Data End'. Please Check Connections",
    "Senden 'Use Data End' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};

// Reads a whole answer of `size` bytes within the attempts. Every failed
// attempt writes `not_read`; the message is not cleared again when a later
// attempt succeeds, so the host can tell that the line was slow.
bool read_answer(plat_handle port, unsigned char* answer, std::uint32_t size,
                 const wq_text& not_read, char* message, int language) {
    for (int attempt = 0; attempt < answer_attempts; ++attempt) {
        plat_sleep_ms(answer_attempt_wait_ms);
        std::memset(answer, 0, size);
        if (wq_read_port(port, answer, size) == static_cast<int>(size)) return true;
        write_message(message, not_read, language);
    }
    return false;
}

}  // namespace

extern "C" int wq_use_data_req(int handle, unsigned int* entry_count, char* message,
                               int language) noexcept {
    clear_message(message);
    const plat_handle port = handle_from_host(handle);
    if (write_command_block(port, command_usage_count) != 0) {
        return fail_with_message(message, text_count_request_not_sent, language);
    }
    unsigned char answer[entry_count_size] = {};
    if (!read_answer(port, answer, sizeof answer, text_count_not_read, message, language)) {
        return wq_status_fail;
    }
    *entry_count = static_cast<unsigned int>(get_little_endian(answer, entry_count_size));
    return wq_status_ok;
}

extern "C" int wq_use_data_fetch(int handle, int product_mode, int water_variant,
                                 char* entry_number, char* water_value, char* usage_text,
                                 char* product_value_1, char* product_value_2,
                                 char* water_value_2, char* water_value_3, char* entry_key,
                                 char* message, int language) noexcept {
    clear_message(message);
    const plat_handle port = handle_from_host(handle);
    if (wq_write_port(port, start_request, request_size) != 0) {
        return fail_with_message(message, text_start_not_sent, language);
    }
    unsigned char record[usage_record_size];
    if (!read_answer(port, record, sizeof record, text_record_not_read, message, language)) {
        return wq_status_fail;
    }
    const usage_outputs outputs = {entry_number,    water_value,   usage_text,    product_value_1,
                                   product_value_2, water_value_2, water_value_3, entry_key};
    return util_unpack_usage_record(record, product_mode, water_variant, outputs, false);
}

extern "C" int wq_use_data_done(int handle, char* message, int language) noexcept {
    clear_message(message);
    if (wq_write_port(handle_from_host(handle), end_request, request_size) != 0) {
        return fail_with_message(message, text_end_not_sent, language);
    }
    return wq_status_ok;
}
