// The Bluetooth link: discovery, the RFCOMM connection, command frames and
// the receive framing every Bluetooth command is built on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "text/messages.h"
#include "wq.h"

// ---- discovery ----------------------------------------------------------------

inline constexpr std::size_t bt_device_name_slot = 32;

// Lists the known devices' names in 32-byte slots; the number stored, or -1
// with a message. The socket layer must be started.
int bt_get_bt_list(char* list, int list_size, char* message, int language);
// Finds the device named exactly `name` and copies its socket address; 0, or
// 1 with a message. The socket layer must be started.
int bt_get_bt_addr(unsigned char address[bth_address_size], const char* name, char* message,
                   int language);

// ---- connection ------------------------------------------------------------------

// The socket as the host holds it (32 bits) widened to the platform's.
inline plat_socket platform_socket(unsigned int socket) { return plat_socket{socket}; }

// The receive time-out that paces every receive, and the buffer sizes.
inline constexpr std::uint32_t bt_receive_timeout_ms = 100;
inline constexpr std::uint32_t bt_socket_buffer_size = 4096;

// Starts the socket layer (version 2.2): 0, or WSAStartup's error with
// "Winsock 2.2 opening error!" in `message`.
int bt_call_winsock(char* message, int language);
// Opens, connects and configures a socket to the btAddr of `address`.
// 0 with the socket in *socket; 1 with a message and no socket left open.
int bt_get_bt_sock(const unsigned char address[bth_address_size], unsigned int* socket,
                   char* message, int language);
// The connect handshake: 0 with the box's second reply in `message`, or 1.
int bt_connect_bt(unsigned int socket, char* message, int language);
// Closes a kept connection's socket and ends the socket layer's use.
void bt_end_kept_connection(unsigned int socket);

// The per-command connection, as two scope guards: the socket layer is ended
// and the socket closed on every path that obtained them, socket first.
class bt_socket_layer {
public:
    bt_socket_layer(char* message, int language);
    ~bt_socket_layer();
    bt_socket_layer(const bt_socket_layer&) = delete;
    bt_socket_layer& operator=(const bt_socket_layer&) = delete;
    bool started() const { return started_; }

private:
    bool started_;
};

class bt_command_socket {
public:
    // Opens and configures a socket to `address`; check open().
    bt_command_socket(const unsigned char address[bth_address_size], char* message, int language);
    bt_command_socket(BTH_ADDR address, char* message, int language);
    ~bt_command_socket();
    bt_command_socket(const bt_command_socket&) = delete;
    bt_command_socket& operator=(const bt_command_socket&) = delete;
    bool open() const { return open_; }
    unsigned int get() const { return socket_; }

private:
    unsigned int socket_ = 0;
    bool open_ = false;
};

// ---- command frames ------------------------------------------------------------------

// "$$" + a 10-character tag + "##", sent with one send of 14 bytes.
inline constexpr std::size_t bt_tag_length = 10;
inline constexpr std::size_t bt_command_frame_length = 14;

// The reply tag of a box that is in use and refuses a change.
inline constexpr char bt_tag_busy[] = "BTBUSY_XXX";
// A data frame is "$$" + data + "##": this many bytes longer than its data.
inline constexpr std::size_t bt_frame_markers_length = 4;

// Sends `length` bytes with one send; on a send error writes `failure` (in
// `language`) with the socket error code appended, and returns false.
bool bt_send_or_report(unsigned int socket, const void* data, int length, const wq_text& failure,
                       char* message, int language);
// bt_send_or_report for the command frame of `tag`.
bool bt_send_command_or_report(unsigned int socket, const char* tag, const wq_text& failure,
                               char* message, int language);
// Writes "$$" + `length` bytes of `data` + "##" to `frame` (of `capacity`
// bytes): the frame's length, or 0 (nothing written) when it does not fit.
std::size_t bt_put_data_frame(unsigned char* frame, std::size_t capacity, const void* data,
                              std::size_t length);
// True when a received reply is exactly `tag` (compared over 11 bytes, the
// ten characters and the terminating zero).
bool bt_reply_is(const unsigned char* reply, const char* tag);
// True when the reply is exactly `expected`. Otherwise writes `busy` when the
// box answered bt_tag_busy and `busy` is given, else `invalid`; false.
bool bt_reply_accepted(const unsigned char* reply, const char* expected, const wq_text* busy,
                       const wq_text& invalid, char* message, int language);

// The common exchange: send the command frame of `tag` (send error: `failure`
// + code, false), sleep `wait_ms`, zero `reply` and receive one framed reply
// into it (none: the receive's message, false). True when a reply arrived.
bool bt_request_reply(unsigned int socket, const char* tag, const wq_text& failure,
                      std::uint32_t wait_ms, unsigned char* reply, std::size_t reply_capacity,
                      int attempts, char* message, int language);
// The receive half of it: zero `reply` and receive one framed reply into it;
// true when one arrived, else false with the receive's message.
bool bt_receive_reply(unsigned int socket, unsigned char* reply, std::size_t reply_capacity,
                      int attempts, char* message, int language);

// ---- receive framing ------------------------------------------------------------------

// Frame states.
inline constexpr int bt_frame_idle = 0;
inline constexpr int bt_frame_start_seen = 1;
inline constexpr int bt_frame_in_payload = 3;
inline constexpr int bt_frame_end_seen = 4;

// Attempts callers pass: ordinary replies, and the slow ones.
inline constexpr int bt_attempts_normal = 10;
inline constexpr int bt_attempts_slow = 100;

// Feeds one byte to the frame state machine; 1 when it completed a frame.
// `capacity` is the payload buffer's size: payload bytes that would leave no
// room for the two closing zero bytes are dropped (the frame is cut).
int bt_get_data(const unsigned char* byte, unsigned char* payload, std::size_t capacity,
                int* state, int* stored);
// Receives one framed reply into `payload` (of `capacity` bytes): 1 with the
// payload and two zero bytes behind it and an empty message; 0 with the
// reason in `message`.
int bt_receive_bytes(unsigned int socket, unsigned char* payload, std::size_t capacity,
                     int attempts, char* message, int language);
// Receives exactly `length` unframed bytes in one receive call, up to
// `attempts` calls: `length`, or 0 with the reason in `message`.
int bt_receive_bytes_raw(unsigned int socket, unsigned char* buffer, int length, int attempts,
                         char* message, int language);
// Discards what is still arriving until the line is quiet for one time-out.
void bt_flush_rdbuff(unsigned int socket);
