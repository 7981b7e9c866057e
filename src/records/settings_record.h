// The box's user settings record: its fields, their places in each layout,
// the present-mask bits, and the rules for putting host texts into it and
// taking them out again. The serial link carries a short (344-byte) and a
// long (380-byte) layout; the long one is also the standard Bluetooth layout.
#pragma once

#include <cstddef>
#include <cstdint>

// Present-mask bits: the box stores only the fields whose bit is set.
inline constexpr std::uint32_t settings_bit_text_1 = 0x0001;
inline constexpr std::uint32_t settings_bit_text_2 = 0x0002;
inline constexpr std::uint32_t settings_bit_text_3 = 0x0004;
inline constexpr std::uint32_t settings_bit_text_4 = 0x0008;
inline constexpr std::uint32_t settings_bit_text_7_head = 0x0010;
inline constexpr std::uint32_t settings_bit_address_3 = 0x0020;
inline constexpr std::uint32_t settings_bit_choice = 0x0040;
inline constexpr std::uint32_t settings_bit_text_5 = 0x0080;
inline constexpr std::uint32_t settings_bit_text_6 = 0x0100;
inline constexpr std::uint32_t settings_bit_one = 0x0200;
inline constexpr std::uint32_t settings_bit_number = 0x0400;
inline constexpr std::uint32_t settings_bit_text_7 = 0x0800;
inline constexpr std::uint32_t settings_bit_text_8 = 0x1000;
inline constexpr std::uint32_t settings_bit_mode = 0x2000;

// Room for the largest record of any layout.
inline constexpr std::size_t settings_record_capacity = 384;

// The bytes `text_7_head` and `address_3` copy from the start of `text_7`.
inline constexpr std::size_t settings_text_7_head_copy = 6;
inline constexpr std::size_t settings_address_3_copy = 14;

// `choice` values the box knows; only the last one carries the byte and the
// number that go with it.
inline constexpr std::uint32_t settings_choice_last = 4;
inline constexpr std::uint32_t settings_choice_with_values = 4;

// A field's place in a layout. A size of 0: the layout has no such field.
struct settings_field {
    std::size_t offset;
    std::size_t size;
};

struct settings_layout {
    std::size_t record_size;
    settings_field text_1, text_2, text_3, text_4;
    settings_field text_7_head, address_3;
    settings_field choice, choice_byte, choice_number;
    settings_field text_5, text_6, text_7, text_8;
    settings_field one, number, mode, mask;
    // `one`, `number`, `mode` and the mask as decimal texts rather than
    // little-endian numbers.
    bool numbers_as_text;
};

// Both layouts agree up to `text_7`; from offset 328 the short one carries
// `one`, `number` and the mask, the long one adds `text_8` and `mode`.
inline constexpr settings_layout settings_short_layout = {
    344,
    {0, 32}, {32, 32}, {64, 32}, {96, 64},
    {160, 6}, {168, 32},
    {200, 1}, {201, 1}, {202, 2},
    {216, 32}, {248, 32}, {280, 48}, {0, 0},
    {328, 4}, {332, 4}, {0, 0}, {336, 4},
    false,
};
inline constexpr settings_layout settings_long_layout = {
    380,
    {0, 32}, {32, 32}, {64, 32}, {96, 64},
    {160, 6}, {168, 32},
    {200, 1}, {201, 1}, {202, 2},
    {216, 32}, {248, 32}, {280, 48}, {328, 32},
    {360, 4}, {364, 4}, {368, 4}, {372, 4},
    false,
};

inline constexpr bool settings_has(settings_field field) { return field.size != 0; }

// Text fields hold their text and a zero byte, the rest of the field zero.
// A text longer than the field allows is cut to the field's size minus one,
// so it never spills into the next field and the field stays terminated.
void settings_put_text(unsigned char* record, settings_field field, const char* text);
// The same for a host text in UTF-8, stored as single bytes (Latin-1).
void settings_put_converted_text(unsigned char* record, settings_field field, const char* utf8);
// Copies a text field up to its zero byte into `out`, which holds at least
// the field's size. A field the box filled without a zero byte loses its
// last byte, so the output is never longer than the field. A field the
// layout does not have leaves `out` untouched.
void settings_get_text(const unsigned char* record, settings_field field, char* out);

// Little-endian numbers, written into and read from fields of 1, 2 or 4
// bytes.
void settings_put_number(unsigned char* record, settings_field field, std::uint32_t value);
std::uint32_t settings_get_number(const unsigned char* record, settings_field field);

// Copies the start of the stored `text_7`, zero bytes included, into
// `text_7_head` and `address_3` (the rest of `address_3` stays zero).
void settings_copy_text_7_start(unsigned char* record, const settings_layout& layout);

// Fills the three choice fields for a `choice` of 0 to 4 and returns the
// mask bit; any other `choice` leaves them zero and returns 0.
std::uint32_t settings_put_choice(unsigned char* record, const settings_layout& layout,
                                  std::uint32_t choice, int choice_byte,
                                  const char* choice_number);

// What the host hands to a write, in the record's terms.
struct settings_input {
    const char* text_1;
    const char* text_2;
    const char* text_3;
    const char* text_4;
    const char* number;
    const char* choice_number;
    const char* text_5;
    const char* text_6;
    const char* text_7;
    const char* text_8;
    std::uint32_t choice;
    int choice_byte;
    int mode;
    std::uint32_t fields;
};

// Where a read hands the record's fields to the host.
struct settings_output {
    char* text_1;
    char* text_2;
    char* text_3;
    char* text_4;
    char* number;
    char* choice_number;
    char* text_5;
    char* text_6;
    char* text_7;
    char* text_8;
    char* mode;
};

// Stores the selected text fields the layout has (`text_1` to `text_8`;
// `text_7` with its copies) and returns their mask bits.
std::uint32_t settings_put_texts(unsigned char* record, const settings_layout& layout,
                                 const settings_input& in);
// Stores what every write record carries besides its texts: `number` and
// `mode` when selected and the layout has them, the choice, `one`, and the
// present mask: `mask` with the bits this adds, which it returns. A text
// `number` is the host's text as it stands; a binary one its low 16 bits.
std::uint32_t settings_put_numbers(unsigned char* record, const settings_layout& layout,
                                   const settings_input& in, std::uint32_t mask);
// Hands the text fields and `choice_number` to the host; `text_8` only when
// the layout has it (the host's output stays as it was otherwise).
void settings_get_texts(const unsigned char* record, const settings_layout& layout,
                        const settings_output& out);

// The decimal text's value reduced to its low 16 bits: leading blanks, an
// optional sign, then digits up to the first other character; no digits
// give 0. "70000" gives 4464, "-1" gives 65535.
std::uint16_t decimal_text_low_16(const char* text);
