// Receive framing: replies arrive as "$$" + payload + "##" on a socket whose
// receive time-out (100 ms) is the clock of every wait here.
#include <cstring>

#include "bluetooth/bt_link.h"

namespace {

constexpr unsigned char frame_start = '$';
constexpr unsigned char frame_end = '#';
constexpr char text_read_error[] = "An Error Occurred During Reading: ";
constexpr char text_link_closed[] = "Read Overflow";
// A payload of n bytes takes n + 2 bytes of the caller's buffer: the two
// zero bytes stored as the end marker arrives.
constexpr std::size_t end_marker_room = 2;

void store(unsigned char* payload, std::size_t capacity, int index, unsigned char value) {
    if (index >= 0 && static_cast<std::size_t>(index) < capacity) payload[index] = value;
}

void report_receive_error(char* message) {
    clear_message(message);
    write_message(message, text_read_error);
    append_error_code(message, plat_wsa_get_last_error());
}

void report_link_closed(char* message) {
    clear_message(message);
    write_message(message, text_link_closed);
}

}  // namespace

int bt_get_data(const unsigned char* byte, unsigned char* payload, std::size_t capacity, int* state,
                int* stored) {
    const unsigned char b = *byte;
    switch (*state) {
        case bt_frame_idle:
            if (b == frame_start) *state = bt_frame_start_seen;
            return 0;
        case bt_frame_start_seen:
            if (b == frame_start) {
                *stored = 0;
                *state = bt_frame_in_payload;
            } else {
                *state = bt_frame_idle;
            }
            return 0;
        case bt_frame_in_payload:
            if (b == frame_end) {
                store(payload, capacity, *stored, 0);
                *stored += 1;
                *state = bt_frame_end_seen;
            } else if (b != frame_start) {
                // A payload longer than the buffer allows is cut: the bytes
                // past its room are dropped, but the frame is still read to
                // its end marker so the next reply starts clean.
                if (capacity >= end_marker_room &&
                    static_cast<std::size_t>(*stored) < capacity - end_marker_room) {
                    payload[*stored] = b;
                    *stored += 1;
                }
            }
            return 0;
        case bt_frame_end_seen:
            if (b != frame_end) return 0;
            store(payload, capacity, *stored, 0);
            *state = bt_frame_idle;
            return 1;
        default:
            *state = bt_frame_idle;
            return 0;
    }
}

int bt_receive_bytes(unsigned int socket, unsigned char* payload, std::size_t capacity, int attempts,
                     char* message, int /*language: the texts are the same in both*/) {
    int state = bt_frame_idle;
    int stored = 0;
    int complete = 0;
    bool link_closed = false;
    for (int attempt = 0; attempt < attempts && !link_closed && !complete; ++attempt) {
        clear_message(message);
        for (;;) {
            unsigned char byte = 0;
            const int received = plat_recv(platform_socket(socket), &byte, 1);
            if (received == 1) {
                complete = bt_get_data(&byte, payload, capacity, &state, &stored);
                if (complete) break;
            } else if (received < 0) {
                report_receive_error(message);
                break;
            } else {
                report_link_closed(message);
                link_closed = true;
                break;
            }
        }
    }
    return complete;
}

int bt_receive_bytes_raw(unsigned int socket, unsigned char* buffer, int length, int attempts,
                         char* message, int /*language*/) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int received = plat_recv(platform_socket(socket), buffer, length);
        if (received == length) return length;
        if (received < 0) {
            report_receive_error(message);
        } else {
            report_link_closed(message);  // nothing, or a short delivery that is dropped
        }
    }
    return 0;
}

void bt_flush_rdbuff(unsigned int socket) {
    unsigned char scratch = 0;
    while (plat_recv(platform_socket(socket), &scratch, 1) == 1) {
    }
}
