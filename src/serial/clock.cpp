// Setting the box's clock over the serial link: a clock command block, then
// the same block carrying the time in its first four bytes. The box does not
// answer.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "serial/serial_exchange.h"
#include "serial/serial_port.h"
#include "text/messages.h"
#include "wq.h"
#include "text/little_endian.h"

namespace {

// The box takes the time block no sooner than this after the command block.
constexpr std::uint32_t time_block_delay_ms = 10;
constexpr std::size_t time_value_bytes = 4;
constexpr double two_to_the_32 = 4294967296.0;

constexpr wq_text text_clock_block_not_sent = {
    "Send 'Time Sync' Failed. Please Check Connections",
    "Senden 'Time Sync' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
constexpr wq_text text_time_block_not_sent = {
    "Send 'Current Time' Failed. Please Check Connections",
    "Senden 'Current Time' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};

// The low 32 bits of the time's whole part (truncated toward zero, negative
// values in two's complement). Worked out with fmod rather than a cast so
// that any finite value gives its true low bits without overflow; a value
// that is not a number or infinite sends 0.
std::uint32_t low_32_bits_of_time(double time) {
    if (!std::isfinite(time)) return 0;
    double low = std::fmod(std::trunc(time), two_to_the_32);
    if (low < 0) low += two_to_the_32;
    return static_cast<std::uint32_t>(low);
}

void fill_time_block(unsigned char* block, double time) {
    std::memset(block, command_set_clock, command_block_size);
    put_little_endian(block, low_32_bits_of_time(time), time_value_bytes);
}

}  // namespace

// Unlike the other serial commands this one leaves the message buffer as the
// host passed it when it succeeds: it has nothing to report then.
extern "C" int wq_sync_time(int port, double time, char* message, int language) noexcept {
    const plat_handle handle = open_command_port(port, message, language);
    if (handle == plat_invalid_handle) return wq_status_fail;
    port_guard guard(handle);
    if (write_command_block(handle, command_set_clock) != 0) {
        return fail_with_message(message, text_clock_block_not_sent, language);
    }
    unsigned char block[command_block_size];
    fill_time_block(block, time);
    plat_sleep_ms(time_block_delay_ms);
    if (wq_write_port(handle, block, sizeof block) != 0) {
        return fail_with_message(message, text_time_block_not_sent, language);
    }
    return wq_status_ok;
}
