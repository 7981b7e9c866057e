// Helpers for unit tests of Bluetooth exchanges on the fake platform.
#pragma once

#include <cstring>
#include <string>

#include "bluetooth/bt_link.h"
#include "fake_fixture.h"

inline constexpr BTH_ADDR test_box_address = 0x0011223344AAull;

// A reply frame as the box sends it: "$$" + payload + "##".
inline fake::bytes frame(const std::string& payload) {
    return fake::text("$$") + fake::text(payload) + fake::text("##");
}
inline fake::bytes frame(const fake::bytes& payload) {
    return fake::text("$$") + payload + fake::text("##");
}

// Opens a configured socket to the scripted box at test_box_address, as a
// kept connection would; close it with bt_end_kept_connection.
inline unsigned int open_test_socket() {
    char message[128] = {};
    unsigned int socket = 0;
    if (bt_call_winsock(message, 0) != 0) return 0;
    unsigned char address[bt_socket_address_size] = {};
    for (int i = 0; i < 8; ++i) address[2 + i] = static_cast<unsigned char>(test_box_address >> (8 * i));
    if (bt_get_bt_sock(address, &socket, message, 0) != 0) return 0;
    return socket;
}

inline std::string as_text(const unsigned char* bytes) {
    return std::string(reinterpret_cast<const char*>(bytes));
}
