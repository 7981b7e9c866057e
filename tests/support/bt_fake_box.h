// Unit tests of Bluetooth exchanges: the scripted box at one address, its
// frames, and what every command's own connection does when it fails.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bluetooth/bt_link.h"
#include "fake_fixture.h"

inline constexpr BTH_ADDR test_box_address = 0xA1B2C3D4E5F6ull;  // no byte zero, none alike

inline fake::link& bt_test_box() { return fake::bt_box(test_box_address); }

inline bytes frame(const bytes& payload) { return fake::text("$$") + payload + fake::text("##"); }
inline bytes frame(const std::string& payload) { return frame(fake::text(payload)); }

// The box expects the command frame of `tag` and answers `reply`.
inline box_script answers_tag(const char* tag, const bytes& reply = {}, std::int64_t after_ms = 0) {
    return answers(frame(tag), reply, after_ms);
}

// What a receive leaves when the box stayed silent, or hung up.
inline const expected_message read_timeout = same("An Error Occurred During Reading: 10060");
inline const expected_message read_overflow = same("Read Overflow");

// Opens a kept connection to the box at test_box_address (script it first),
// as a host holds it between calls; 0 when that failed.
inline unsigned int open_test_socket() {
    char message[wq_message_size] = {};
    unsigned int socket = 0;
    return wq_bt_ota_connect(test_box_address, &socket, message, 0) == 0 ? socket : 0;
}

// A command run on the box at test_box_address, or on a kept connection to it.
inline std::function<int(char*, int)> on_test_box(int (*command)(BTH_ADDR, char*, int)) {
    return [command](char* message, int language) { return command(test_box_address, message, language); };
}
inline std::function<int(char*, int)> on_kept_connection(int (*command)(unsigned int, char*, int)) {
    return [command](char* message, int language) { return command(open_test_socket(), message, language); };
}

// The two ways a command's own connection fails: the socket layer does not
// start (nothing to end), or the box cannot be reached (the layer ended).
// Rows that carry more than their outcome (check_rows) keep their defaults.
template <class Row = outcome>
std::vector<Row> with_connection_failures(std::vector<Row> rows) {
    const outcome failures[] = {
        {"socket layer does not start", failing(fake::call::wsa_startup, 1, 10091), 1,
         same("Winsock 2.2 opening error!"), 0},
        {"box out of range", failing(fake::call::connect, 1, 10060), 1, same("Socket Call Failed: 10060"), 0, 0}};
    for (const outcome& failure : failures) rows.push_back(Row{failure});
    return rows;
}
