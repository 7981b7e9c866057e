// The RFCOMM connection: the socket layer, the socket and its options, the
// connect handshake, command frames and the common request/reply exchange.
#include <cstdio>
#include <cstring>

#include "bluetooth/bt_link.h"

namespace {

constexpr std::uint16_t socket_layer_version = 0x0202;  // 2.2
constexpr char text_socket_layer_failed[] = "Winsock 2.2 opening error!";
constexpr char text_socket_failed[] = "Socket Call Failed";
constexpr char text_connect_failed[] = "Socket Call Failed: ";
constexpr char text_receive_timeout_failed[] = "Set Socket Option SO_RCVTIMEO Failed: ";
constexpr char text_send_buffer_failed[] = "Set Socket Option SO_SNDBUF Failed: ";
constexpr char text_receive_buffer_failed[] = "Set Socket Option SO_RCVBUF Failed: ";

// The connect handshake.
constexpr char tag_connect_request[] = "BTCONN_REQ";
constexpr char tag_connect_ack[] = "BTCONN_ACK";
constexpr wq_text text_connect_request_failed = {"Send BT_CONN_REQ_WORD Failed: ",
                                                 "Send BT_CONN_REQ_WORD Failed: "};
constexpr char text_connect_ack_invalid[] = "Invalid BT_CONN_ACK_WORD Response ";
constexpr std::uint32_t handshake_wait_ms = 100;
constexpr std::size_t handshake_reply_size = 128;

constexpr char frame_marker_start[] = "$$";
constexpr char frame_marker_end[] = "##";
constexpr std::size_t command_frame_buffer = 16;
constexpr std::size_t reply_compare_length = bt_tag_length + 1;

// Assembles "$$" + tag + "##" in a zeroed frame buffer; its string length.
int command_frame(const char* tag, char (&frame)[command_frame_buffer]) {
    std::snprintf(frame, sizeof frame, "%s%s%s", frame_marker_start, tag, frame_marker_end);
    return static_cast<int>(std::strlen(frame));
}

// Writes `text` with the socket layer's last error code appended.
void report_with_code(char* message, const char* text) {
    write_message(message, text);
    append_error_code(message, plat_wsa_get_last_error());
}

struct socket_option_step {
    plat_socket_option option;
    std::uint32_t value;
    const char* failure;
};
constexpr socket_option_step socket_options[] = {
    {plat_socket_option::receive_timeout, bt_receive_timeout_ms, text_receive_timeout_failed},
    {plat_socket_option::send_buffer, bt_socket_buffer_size, text_send_buffer_failed},
    {plat_socket_option::receive_buffer, bt_socket_buffer_size, text_receive_buffer_failed},
};

}  // namespace

int bt_call_winsock(char* message, int /*language*/) {
    const int result = plat_wsa_startup(socket_layer_version);
    if (result != 0) write_message(message, text_socket_layer_failed);
    return result;
}

int bt_get_bt_sock(const unsigned char address[bth_address_size], unsigned int* socket,
                   char* message, int /*language*/) {
    // Only btAddr is taken from the caller; the rest is always ours.
    unsigned char socket_address[bth_address_size];
    bth_address_pack(bth_address_radio(address), socket_address);
    const plat_socket s = plat_socket_open();
    if (s == plat_invalid_socket) {
        write_message(message, text_socket_failed);
        return wq_status_fail;
    }
    if (plat_connect(s, socket_address) == plat_socket_error) {
        report_with_code(message, text_connect_failed);
        plat_close_socket(s);
        return wq_status_fail;
    }
    for (const socket_option_step& step : socket_options) {
        if (plat_set_socket_option(s, step.option, step.value) == plat_socket_error) {
            report_with_code(message, step.failure);
            plat_close_socket(s);
            return wq_status_fail;
        }
    }
    *socket = static_cast<unsigned int>(s);
    return wq_status_ok;
}

int bt_connect_bt(unsigned int socket, char* message, int language) {
    unsigned char reply[handshake_reply_size];
    if (!bt_request_reply(socket, tag_connect_request, text_connect_request_failed,
                          handshake_wait_ms, reply, sizeof reply, bt_attempts_normal, message,
                          language)) {
        return wq_status_fail;
    }
    if (!bt_reply_is(reply, tag_connect_ack)) {
        write_message(message, text_connect_ack_invalid);
        append_message(message, reinterpret_cast<const char*>(reply));
        return wq_status_fail;
    }
    plat_sleep_ms(handshake_wait_ms);
    std::memset(reply, 0, sizeof reply);
    if (!bt_receive_bytes(socket, reply, sizeof reply, bt_attempts_normal, message, language)) {
        return wq_status_fail;
    }
    write_message(message, reinterpret_cast<const char*>(reply));
    return wq_status_ok;
}

void bt_end_kept_connection(unsigned int socket) {
    plat_close_socket(platform_socket(socket));
    plat_wsa_cleanup();
}

// ---- scope guards of the per-command connection ------------------------------------

bt_socket_layer::bt_socket_layer(char* message, int language)
    : started_(bt_call_winsock(message, language) == 0) {}

bt_socket_layer::~bt_socket_layer() {
    if (started_) plat_wsa_cleanup();
}

bt_command_socket::bt_command_socket(const unsigned char address[bth_address_size], char* message,
                                     int language)
    : open_(bt_get_bt_sock(address, &socket_, message, language) == wq_status_ok) {}

bt_command_socket::bt_command_socket(BTH_ADDR address, char* message, int language) {
    unsigned char socket_address[bth_address_size];
    bth_address_pack(address, socket_address);
    open_ = bt_get_bt_sock(socket_address, &socket_, message, language) == wq_status_ok;
}

bt_command_socket::~bt_command_socket() {
    if (open_) plat_close_socket(platform_socket(socket_));
}

// ---- command frames ---------------------------------------------------------------

bool bt_send_or_report(unsigned int socket, const void* data, int length, const wq_text& failure,
                       char* message, int language) {
    if (plat_send(platform_socket(socket), data, length) != plat_socket_error) return true;
    write_message(message, failure, language);
    append_error_code(message, plat_wsa_get_last_error());
    return false;
}

bool bt_send_command_or_report(unsigned int socket, const char* tag, const wq_text& failure,
                               char* message, int language) {
    char frame[command_frame_buffer] = {};
    return bt_send_or_report(socket, frame, command_frame(tag, frame), failure, message, language);
}

std::size_t bt_put_data_frame(unsigned char* frame, std::size_t capacity, const void* data,
                              std::size_t length) {
    const std::size_t marker = bt_frame_markers_length / 2;
    if (capacity < bt_frame_markers_length || length > capacity - bt_frame_markers_length) return 0;
    std::memcpy(frame, frame_marker_start, marker);
    if (length > 0) std::memcpy(frame + marker, data, length);
    std::memcpy(frame + marker + length, frame_marker_end, marker);
    return length + bt_frame_markers_length;
}

bool bt_reply_is(const unsigned char* reply, const char* tag) {
    return std::memcmp(reply, tag, reply_compare_length) == 0;
}

bool bt_reply_accepted(const unsigned char* reply, const char* expected, const wq_text* busy,
                       const wq_text& invalid, char* message, int language) {
    if (bt_reply_is(reply, expected)) return true;
    const bool refused = busy != nullptr && bt_reply_is(reply, bt_tag_busy);
    write_message(message, refused ? *busy : invalid, language);
    return false;
}

bool bt_request_reply(unsigned int socket, const char* tag, const wq_text& failure,
                      std::uint32_t wait_ms, unsigned char* reply, std::size_t reply_capacity,
                      int attempts, char* message, int language) {
    if (!bt_send_command_or_report(socket, tag, failure, message, language)) return false;
    plat_sleep_ms(wait_ms);
    return bt_receive_reply(socket, reply, reply_capacity, attempts, message, language);
}

bool bt_receive_reply(unsigned int socket, unsigned char* reply, std::size_t reply_capacity,
                      int attempts, char* message, int language) {
    std::memset(reply, 0, reply_capacity);
    return bt_receive_bytes(socket, reply, reply_capacity, attempts, message, language) == 1;
}

// ---- exported operations -------------------------------------------------------------

extern "C" int wq_connect_to_bt_device(BTH_ADDR* address, const char* name, char* message,
                                       int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    unsigned char found[bth_address_size] = {};
    if (bt_get_bt_addr(found, name, message, language) != wq_status_ok) return wq_status_fail;
    bt_command_socket socket(found, message, language);
    if (!socket.open()) return wq_status_fail;
    if (bt_connect_bt(socket.get(), message, language) != wq_status_ok) return wq_status_fail;
    *address = bth_address_radio(found);
    return wq_status_ok;
}

extern "C" int wq_bt_ota_connect(BTH_ADDR address, unsigned int* socket, char* message,
                                 int language) noexcept {
    if (bt_call_winsock(message, language) != 0) return wq_status_fail;
    unsigned char socket_address[bth_address_size];
    bth_address_pack(address, socket_address);
    // The interface's one unbalanced path: a socket that cannot be opened
    // leaves the socket layer started (no WSACleanup here), as hosts written
    // against this interface expect.
    return bt_get_bt_sock(socket_address, socket, message, language);
}

extern "C" int wq_bt_ota_disconnect(unsigned int socket) noexcept {
    bt_end_kept_connection(socket);
    return 0;
}
