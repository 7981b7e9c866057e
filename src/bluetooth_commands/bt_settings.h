// The settings record over Bluetooth: its two layouts and the three
// exchanges that carry it on an open socket.
#pragma once

#include <cstddef>

#include "bluetooth/bt_link.h"
#include "records/settings_record.h"

// The standard layout is the serial link's long record, binary numbers and
// all. The safe layout moves the fields about and carries `one`, `number`,
// `mode` and the mask as decimal texts, which the frame markers cannot cut.
inline constexpr const settings_layout& bt_standard_layout = settings_long_layout;
inline constexpr settings_layout bt_safe_layout = {
    384,
    {64, 32}, {96, 32}, {160, 32}, {0, 64},
    {360, 6}, {128, 32},
    {288, 1}, {289, 1}, {290, 2},
    {192, 32}, {224, 32}, {320, 40}, {256, 32},
    {368, 4}, {372, 4}, {376, 8}, {304, 16},
    true,
};

// A settings frame is "$$" + record + "##".
inline constexpr std::size_t bt_settings_frame_capacity =
    settings_record_capacity + bt_frame_markers_length;

// Sends a write request, then the data frame, and waits for the box's
// confirmation: 0, or 1 with a message.
int bt_write_settings(unsigned int socket, const char* frame, unsigned int frame_length,
                      char* message, int language);
// Fetches the record into `record`, which holds record_size + 2 bytes (the
// receive stores two zero bytes behind the payload): 0, or 1 with a message.
int bt_read_settings(unsigned int socket, unsigned char* record, int record_size, char* message,
                     int language);
// Asks the box to restore its defaults: 0, or 1 with a message.
int bt_set_default_settings(unsigned int socket, char* message, int language);

// Address texts: every byte of the first `length` that is not a digit, not
// `keep` and not zero becomes '.'.
void util_fix_ipaddr(char* text, int length, char keep);
// Every zero byte of the first `length` becomes `fill`.
void util_remove_null_char(char* text, char fill, int length);
// Copies the digits and dots among the first `length` bytes of `source` to
// the same places of `destination`; other places are left as they were.
void util_get_ipaddr(char* destination, const char* source, int length);
