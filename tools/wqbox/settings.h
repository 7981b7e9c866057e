// The box's user settings and the three record layouts they travel in: the
// serial short format (344 bytes), the standard layout (380 bytes, the serial
// long format too) and the Bluetooth safe layout (384 bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wqbox {

enum class record_layout { serial_short, standard, safe };

// The fields that hold bytes as they stand (texts, and the two copies of the
// start of text_7). Each is kept at its widest layout's width.
enum text_id { text_1, text_2, text_3, text_4, text_5, text_6, text_7, text_8, text_7_head,
               address_3, text_field_count };
inline constexpr std::size_t text_field_capacity = 64;

struct box_settings {
    std::array<std::array<unsigned char, text_field_capacity>, text_field_count> text{};
    std::uint8_t choice = 0;
    std::uint8_t choice_byte = 0;
    std::uint16_t choice_number = 0;
    std::uint32_t one = 1;
    std::uint32_t number = 0;
    std::int32_t mode = 0;
};

// Mask bits: which fields a record carries.
inline constexpr std::uint32_t bit_choice = 0x0040;
inline constexpr std::uint32_t bit_one = 0x0200;
inline constexpr std::uint32_t bit_number = 0x0400;
inline constexpr std::uint32_t bit_mode = 0x2000;

std::size_t record_size(record_layout layout);
// The mask of every field the layout carries (what the box sends on a read).
std::uint32_t full_mask(record_layout layout);

// The record the box sends for a read.
std::vector<unsigned char> encode_settings(const box_settings& settings, record_layout layout);
// Stores the fields whose mask bits the record sets; returns that mask.
// `record` holds record_size(layout) bytes.
std::uint32_t apply_settings_record(box_settings& settings, const unsigned char* record,
                                    record_layout layout);

box_settings default_settings();

// A text field up to its first zero byte (tests and the transcript).
std::string field_text(const box_settings& settings, text_id id);
void set_field_text(box_settings& settings, text_id id, const std::string& text);

}  // namespace wqbox
