#include "serial/serial_exchange.h"

#include <cstring>

#include "serial/serial_port.h"

namespace {
// The longest reply any serial command compares.
constexpr std::uint32_t longest_expected_reply = 16;
}  // namespace

plat_handle open_command_port(int port, char* message, int language) {
    const plat_handle handle = open_port_by_number(port);
    if (handle == plat_invalid_handle) write_message(message, wq_text_port_open_failed, language);
    return handle;
}

reply_outcome read_expected_reply(plat_handle handle, const char* expected, std::uint32_t size) {
    unsigned char reply[longest_expected_reply] = {};
    if (size > sizeof reply) return reply_outcome::not_read;
    if (wq_read_port(handle, reply, size) != static_cast<int>(size)) return reply_outcome::not_read;
    return std::memcmp(reply, expected, size) == 0 ? reply_outcome::matched
                                                   : reply_outcome::different;
}

int expect_reply(plat_handle handle, const char* expected, std::uint32_t size,
                 const wq_text& not_read, const wq_text& different, char* message,
                 int language) {
    switch (read_expected_reply(handle, expected, size)) {
        case reply_outcome::matched: return wq_status_ok;
        case reply_outcome::not_read: return fail_with_message(message, not_read, language);
        case reply_outcome::different: break;
    }
    return fail_with_message(message, different, language);
}

int fail_with_message(char* message, const wq_text& text, int language) {
    write_message(message, text, language);
    return wq_status_fail;
}
